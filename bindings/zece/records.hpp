// Mirror records of the preprocess bindings: padding values and the affine
// matrix as growable vectors, copied into the runtime's fixed arrays per call.
#pragma once
#include <vector>

#include "binding.hpp"
#include "zece.h"

namespace halvora::zece {

struct zecePaddingValuesPy {
    std::vector<uint8_t> value;
};

struct zeceAffineMatrixPy {
    std::vector<double> matrix;
};

}  // namespace halvora::zece
