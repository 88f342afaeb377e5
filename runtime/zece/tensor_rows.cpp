// The fused ops' last step: rows of pixels normalised in 32-bit floats and laid out
// in the tensor, as bytes or binary16, planar or interleaved.
#include "zece/tensor_rows.hpp"

#include <opencv2/core.hpp>

#include "zecm/float16.hpp"

namespace zece {
namespace {

// The row's pixels as floats in the plan's channel order, normalised channel by
// channel in 32-bit floats (the operations and their order as written).
template <class Norm> void normaliseRow(const Plan &plan, const uint8_t *pixels, float *out, Norm norm) {
    const int width = plan.output.width;
    for (int x = 0; x < width; ++x)
        for (int c = 0; c < 3; ++c)
            out[x * 3 + c] = norm(c, static_cast<float>(pixels[x * 3 + (plan.swap ? 2 - c : c)]));
}

void normaliseRow(const Plan &plan, const uint8_t *pixels, float *out) {
    const float *mean = plan.mean, *std = plan.std;
    const float scale = plan.scale;
    switch (plan.norm) {
    case zeceNORM_EQUAL: return normaliseRow(plan, pixels, out, [=](int, float x) { return x * scale; });
    case zeceNORM_MINUSMEAN: return normaliseRow(plan, pixels, out, [=](int c, float x) { return x - mean[c]; });
    case zeceNORM_MINUSMEAN_DIVSTD:
        return normaliseRow(plan, pixels, out, [=](int c, float x) { return (x - mean[c]) / std[c]; });
    case zeceNORM_DIV255_MINUSMEAN_DIVSTD:
        return normaliseRow(plan, pixels, out, [=](int c, float x) { return (x / 255.0f - mean[c]) / std[c]; });
    case zeceNORM_DIV1275_MINUSONE:
        return normaliseRow(plan, pixels, out, [](int, float x) { return x / 127.5f - 1.0f; });
    case zeceNORM_DIV255: return normaliseRow(plan, pixels, out, [](int, float x) { return x / 255.0f; });
    default: return normaliseRow(plan, pixels, out, [](int, float x) { return x; });
    }
}

bool planar(zeceTensorizationType type) { return type == zeceTENSORIZATION_UINT8 || type == zeceTENSORIZATION_FP16; }

}  // namespace

bool halfFloats(zeceTensorizationType type) {
    return type == zeceTENSORIZATION_FP16 || type == zeceTENSORIZATION_FP16_INTERLEAVE ||
           type == zeceTENSORIZATION_FP16_INTERLEAVE_RGB;
}

// Channel c is normalised with mean[c] and std[c]; FP16_INTERLEAVE_RGB then writes
// R, G, B whatever order the conversion made.
void TensorRows::write(int y, const uint8_t *pixels) {
    const Plan &plan = plan_;
    const int width = plan.output.width;
    const size_t area = static_cast<size_t>(width) * plan.output.height;
    const size_t row = static_cast<size_t>(y) * width;
    values_.resize(static_cast<size_t>(width) * 3);
    normaliseRow(plan, pixels, values_.data());
    // The values in the tensor's order: planes of `width`, or pixels of 3.
    const bool toRgb = plan.tensor == zeceTENSORIZATION_FP16_INTERLEAVE_RGB && plan.bgr;
    const float *source = values_.data();
    if (planar(plan.tensor) || toRgb) {
        ordered_.resize(values_.size());
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c) {
                size_t at = planar(plan.tensor) ? static_cast<size_t>(c) * width + x
                                                : static_cast<size_t>(x) * 3 + 2 - c;
                ordered_[at] = values_[static_cast<size_t>(x) * 3 + c];
            }
        source = ordered_.data();
    }
    if (halfFloats(plan.tensor)) {
        auto *out = reinterpret_cast<uint16_t *>(tensor_);
        if (planar(plan.tensor))
            for (int c = 0; c < 3; ++c)
                zecm::half::toFloat16(source + static_cast<size_t>(c) * width, width, out + c * area + row);
        else
            zecm::half::toFloat16(source, static_cast<size_t>(width) * 3, out + row * 3);
        return;
    }
    if (planar(plan.tensor))
        for (int c = 0; c < 3; ++c) {
            uint8_t *out = tensor_ + c * area + row;
            const float *in = source + static_cast<size_t>(c) * width;
            for (int x = 0; x < width; ++x) out[x] = cv::saturate_cast<uint8_t>(in[x]);
        }
    else
        for (size_t i = 0; i < static_cast<size_t>(width) * 3; ++i)
            tensor_[row * 3 + i] = cv::saturate_cast<uint8_t>(source[i]);
}

}  // namespace zece
