// Fused ops: a picture (NV12, or interleaved RGB/BGR) converted, resized, cropped or
// letterboxed, normalised and tensorised in one pass over the output rows. Only
// the source rows an output row needs are converted and resampled, each once, and
// no full-size intermediate picture is made.
//
// The result equals the same chain of separate steps (OpenCV's cvtColor and resize,
// then normalisation in 32-bit floats): OpenCV's bilinear and nearest resizes and
// Pillow's filters are reproduced with their own fixed-point arithmetic, OpenCV's
// bicubic and Lanczos filters with floating-point taps (within 1 of its bytes).
//
// A run: the plan from the attributes (fused_plan.cpp); per stripe of output rows,
// the resized rows in RGB (resized_rows.cpp, on row_resampler.cpp) written into the
// tensor (tensor_rows.cpp).
#include <algorithm>
#include <atomic>
#include <cstring>
#include <opencv2/core/utility.hpp>

#include "zece/fused.hpp"
#include "zece/fused_plan.hpp"
#include "zece/resized_rows.hpp"
#include "zece/tensor_rows.hpp"

namespace zece {
namespace {

constexpr int kStripeRows = 32;  // least output rows worth a thread of their own

// Bytes of one row of the plan's tensor.
int64_t rowBytes(const Plan &plan) { return int64_t{plan.output.width} * 3 * (halfFloats(plan.tensor) ? 2 : 1); }

// Output rows [first, last) of the tensor.
void runStripe(const Plan &plan, int first, int last, uint8_t *tensor) {
    // The resized rows the stripe reads (letterbox rows outside the picture read none).
    const int shift = plan.letterbox() ? -plan.window.y : plan.window.y;
    cv::Range needed(std::clamp(first + shift, 0, plan.resized.height),
                     std::clamp(last + shift, 0, plan.resized.height));
    ResizedRows rows(plan, needed);
    std::vector<uint8_t> line(static_cast<size_t>(plan.output.width) * 3);
    // The padding values are in the tensor's channel order, the rows before the swap.
    const uint8_t fill[3] = {plan.padding[plan.swap ? 2 : 0], plan.padding[1], plan.padding[plan.swap ? 0 : 2]};
    TensorRows out(plan, tensor);
    for (int y = first; y < last; ++y) {
        const uint8_t *pixels;
        if (plan.letterbox()) {
            for (int x = 0; x < plan.output.width; ++x) std::memcpy(&line[x * 3], fill, 3);
            int inner = y - plan.window.y;
            if (inner >= 0 && inner < plan.window.height)
                std::memcpy(&line[plan.window.x * 3], rows.row(inner), static_cast<size_t>(plan.window.width) * 3);
            pixels = line.data();
        } else {
            pixels = rows.row(y + plan.window.y);
        }
        out.write(y, pixels);
    }
}

// The output rows are split into stripes run on OpenCV's threads, each converting and
// resampling the source rows it needs (a few rows at stripe edges are done twice).
uint32_t run(const Plan &plan, const Buffer &output) {
    if (output.size < static_cast<uint64_t>(rowBytes(plan) * plan.output.height)) return zeceER_BUFFER_TOO_SMALL;
    const int height = plan.output.height;
    const int stripes = std::clamp(height / kStripeRows, 1, std::max(1, cv::getNumThreads()));
    std::atomic<uint32_t> status{zeceER_SUCCESS};
    cv::parallel_for_(cv::Range(0, stripes), [&](const cv::Range &range) {
        for (int stripe = range.start; stripe < range.end; ++stripe) {
            uint32_t result = guarded([&] {
                runStripe(plan, height * stripe / stripes, height * (stripe + 1) / stripes, output.data);
                return uint32_t{zeceER_SUCCESS};
            });
            if (result) status = result;
        }
    });
    return status;
}

}  // namespace

uint32_t executeFused(zeceOpType type, const Settings &settings, const Buffer &input, const Buffer &output) {
    Plan plan;
    if (uint32_t status = makePlan(type, settings, input, &plan)) return status;
    std::vector<cv::Mat> storage;
    Image outputImage;  // the tensor's bytes, for the overlap check
    zeceImageDesc tensorDesc{plan.output.width, plan.output.height, static_cast<int32_t>(rowBytes(plan)),
                             plan.output.height, zeceIMG_RGB888};
    layPlanes(tensorDesc, output.data, &outputImage);
    plan.image = apart(plan.image, &outputImage, 1, &storage);
    return run(plan, output);
}

}  // namespace zece
