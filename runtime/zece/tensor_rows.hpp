// The fused ops' last step: rows of pixels normalised and written into the tensor in
// its layout (tensorizationType).
#pragma once
#include <cstdint>
#include <vector>

#include "zece/fused_plan.hpp"

namespace zece {

// Whether the layout holds binary16 values (2 bytes each; else bytes).
ZECE_INTERNAL bool halfFloats(zeceTensorizationType type);

// Writes rows of the plan's tensor into `tensor` (output.width x output.height x 3 values).
class TensorRows {
public:
    TensorRows(const Plan &plan, uint8_t *tensor) : plan_(plan), tensor_(tensor) {}

    // Output row y from its pixels (output.width, interleaved, before the plan's channel swap).
    void write(int y, const uint8_t *pixels);

private:
    const Plan &plan_;
    uint8_t *tensor_;
    std::vector<float> values_, ordered_;  // the row normalised; in the tensor's order
};

}  // namespace zece
