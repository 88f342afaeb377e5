// Customized ops: sets of ops loaded from plug-in libraries (module/include/zeceplugin.h).
#pragma once
#include <vector>

#include "preprocess/op.hpp"
#include "preprocess/operations.hpp"

namespace zece {

// Runs a customized op on the memory of its input and output dataset members.
ZECE_INTERNAL uint32_t executeCustomized(Op &op, const std::vector<Buffer> &inputs,
                                         const std::vector<Buffer> &outputs);

}  // namespace zece
