// Trace forms of the common runtime's structures.
#pragma once
#include <string>

#include "zesim/call.hpp"
#include "zecm.h"

inline void describe(std::string &out, const zecmDeviceInfo &info) {
    out += '{';
    zesim::putList(out, info.deviceType, info.deviceIdx);
    out += '}';
}

inline void describe(std::string &out, const zecmShape &shape) {
    out += '{';
    zesim::putList(out, shape.ndims, zesim::array(shape.dims, ZECM_MAX_DIMS));
    out += '}';
}
