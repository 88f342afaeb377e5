// Trace forms of the preprocess library's structures.
#pragma once
#include <string>

#include "zesim/call.hpp"
#include "zece.h"

inline void describe(std::string &out, const zeceImageDesc &desc) {
    out += '{';
    zesim::putList(out, desc.width, desc.height, desc.widthPitch, desc.heightPitch, desc.format);
    out += '}';
}

inline void describe(std::string &out, const cropRect &rect) {
    out += '{';
    zesim::putList(out, rect.start_x, rect.start_y, rect.width, rect.height);
    out += '}';
}

inline void describe(std::string &out, const zecePaddingEdges &edges) {
    out += '{';
    zesim::putList(out, edges.top, edges.bottom, edges.left, edges.right);
    out += '}';
}
