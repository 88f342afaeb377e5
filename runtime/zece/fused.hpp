// Fused ops (zeceOP_FUSION_OP_*): convert, resize, crop or letterbox, normalise and
// tensorise a picture in one pass over the output rows.
#pragma once
#include <vector>

#include "zece/op.hpp"
#include "zece/operations.hpp"

namespace zece {

// Runs the fused op `type` with its attributes on one input and one output buffer.
ZECE_INTERNAL uint32_t executeFused(zeceOpType type, const Settings &settings, const Buffer &input,
                                    const Buffer &output);

}  // namespace zece
