// Separable resampling with precomputed coefficients ("taps"), one pass per axis:
// Pillow's filters, whose support widens when downscaling (no library offers
// Pillow's resampler), and taps that follow cv::resize's geometry for the fused ops.
#pragma once
#include <vector>

#include "preprocess/image.hpp"

namespace zece {

// For each output position: the first source index and `width` weights. Every
// tap lies inside the source (taps past an edge are folded onto it), and each
// position's weights sum to 1.
struct Taps {
    int width = 0;
    std::vector<int> first;
    std::vector<float> weights;  // width x outSize, position by position
};

// Whether a resize kind is one of Pillow's filters (resampled here, not by OpenCV).
ZECE_INTERNAL bool isPillow(zeceResizeType type);
// Taps mapping `inSize` source positions onto `outSize` output positions. Pillow
// kinds as Pillow computes them; OpenCV kinds (and the plain names, which are
// OpenCV's) with cv::resize's coordinate mapping and replicated borders.
ZECE_INTERNAL Taps makeTaps(zeceResizeType type, int inSize, int outSize);
// Pillow's resampling of one plane (any number of channels, same in and out):
// the horizontal pass into bytes, then the vertical pass, each rounded and clipped.
ZECE_INTERNAL void resamplePlane(const Plane &in, const Plane &out, const Taps &horizontal,
                                 const Taps &vertical);

}  // namespace zece
