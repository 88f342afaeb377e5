// Colour conversion of NV12 rows, shared by cvtColor and the fused ops.
#pragma once
#include "preprocess/image.hpp"

namespace zece {

// Interleaved RGB (BGR when `bgr`) from Y rows and the UV rows that cover them
// (an even number of Y rows, starting at an even row of the picture).
ZECE_INTERNAL void nv12ToRgb(const Plane &y, const Plane &uv, const Plane &rgb, bool bgr,
                             zeceColorSpace space);

}  // namespace zece
