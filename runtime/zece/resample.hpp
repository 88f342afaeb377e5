// Separable resampling with precomputed coefficients ("taps"), one pass per axis:
// Pillow's filters, whose support widens when downscaling (no library offers
// Pillow's resampler), and taps that follow cv::resize's geometry for the fused ops.
// Pillow's two passes serve both whole planes (resamplePlane) and the fused ops'
// rows (row_resampler.hpp).
#pragma once
#include <cstdint>
#include <vector>

#include "zece/image.hpp"

namespace zece {

// For each output position: the first source index and `width` weights. Every
// tap lies inside the source (taps past an edge are folded onto it), and each
// position's weights sum to 1. A window shorter than `width` is padded with zero
// weights after it, or before it where it ends at the source's last index (its
// `first` then moves left so that first + width <= inSize).
struct Taps {
    int width = 0;
    std::vector<int> first;
    std::vector<float> weights;  // width x outSize, position by position
    // The weights in fixed point with kTapBits fraction bits, rounded from double
    // precision as Pillow rounds them (Pillow kinds only; empty for the others).
    std::vector<int32_t> fixed;
};

// Fraction bits of Taps::fixed and of the sums resamplePlane computes.
constexpr int kTapBits = 22;
// Where a fixed-point sum starts: half of the last unit, so that the shift rounds.
constexpr int32_t kTapHalf = int32_t{1} << (kTapBits - 1);

// A fixed-point sum (started at kTapHalf) as a byte, clipped as Pillow clips.
inline uint8_t clip8(int32_t sum) {
    const int32_t value = sum >> kTapBits;
    return static_cast<uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value);
}

// Whether a resize kind is one of Pillow's filters (resampled here, not by OpenCV).
ZECE_INTERNAL bool isPillow(zeceResizeType type);
// Taps mapping `inSize` source positions onto `outSize` output positions (both from
// 1 to kMaxSide; empty taps otherwise). Pillow kinds exactly as Pillow computes them
// for Image.resize; OpenCV kinds (and the plain names, which are OpenCV's) with
// cv::resize's coordinate mapping and replicated borders, in floats: nearest picks
// the pixel cv::resize picks, bilinear is within 1 of it for bytes. Empty taps
// (width 0) for zeceRESIZE_NO_RESIZE and unknown kinds.
ZECE_INTERNAL Taps makeTaps(zeceResizeType type, int inSize, int outSize);
// One pass's fixed-point coefficients in the form the passes below take: for each
// output position the source index of its first non-zero weight, how many follow,
// and the weights from there (`width` apart).
struct Kernel {
    int width = 0;
    int longest = 0;  // the largest count
    std::vector<int> start;
    std::vector<int> count;
    std::vector<int32_t> coefficients;

    const int32_t *at(int position) const { return coefficients.data() + static_cast<size_t>(position) * width; }
};

// The kernel of taps from `inSize` to `outSize` positions: their fixed weights, or
// weights rounded from the float ones. False when the taps do not fit the sizes, or
// when a sum of 255 x weights could leave the 32-bit accumulator.
ZECE_INTERNAL bool prepareKernel(const Taps &taps, int inSize, int outSize, Kernel *kernel);
// Pillow's horizontal pass of one row: kernel.start.size() pixels of `channels` bytes
// from the row `in`, each summed from half a unit, shifted and clipped to a byte.
ZECE_INTERNAL void horizontalPass(const Kernel &kernel, int channels, const uint8_t *in, uint8_t *out);
// Pillow's vertical pass for one output row: `count` source rows of `bytes` bytes,
// weighted, summed from half a unit, shifted and clipped.
ZECE_INTERNAL void verticalPass(const uint8_t *const *rows, const int32_t *weights, int count, uint8_t *out,
                                size_t bytes);
// Pillow's resampling of one plane (any number of channels, same in and out):
// the horizontal pass into bytes, then the vertical pass, each rounded and clipped;
// a pass whose size does not change is skipped. Taps without fixed weights are
// rounded from their float weights. Returns false, with `out` untouched, when the
// planes or taps do not fit together (sizes, channels, taps outside the source).
ZECE_INTERNAL bool resamplePlane(const Plane &in, const Plane &out, const Taps &horizontal, const Taps &vertical);

}  // namespace zece
