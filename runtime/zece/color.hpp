// Colour conversion of NV12 rows, shared by cvtColor and the fused ops.
#pragma once
#include "zece/image.hpp"

namespace zece {

// How a picture's YUV samples code its colours.
struct YuvCoding {
    zeceColorSpace space = zeceCOLOR_SPACE_BT601;  // the matrix
    // Full range (JPEG/JFIF): Y and chroma use 0..255; else limited (video) range,
    // Y 16..235 and chroma 16..240 (the op attribute colorRange, 1 or 0).
    bool fullRange = false;
    // Reading 4:2:0 chroma: interpolated between the samples, each at the centre of its
    // 2 x 2 block (cv::resize, bilinear, as libjpeg's "fancy" upsampling), or each
    // sample taken for its whole block (the op attribute chromaUpsampling, 1 or 0).
    bool interpolate = false;
};

// Interleaved RGB (BGR when `bgr`) from Y rows and the UV rows that cover them
// (an even number of Y rows, starting at an even row of the picture). Interpolated
// chroma needs the whole planes: the rows and columns are those of the picture.
ZECE_INTERNAL void nv12ToRgb(const Plane &y, const Plane &uv, const Plane &rgb, bool bgr, const YuvCoding &coding);

}  // namespace zece
