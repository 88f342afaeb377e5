// The plan of a fused op's run: its attributes checked against its row of the op
// table and its input picture, and read into the steps' parameters.
#pragma once
#include <cstdint>
#include <opencv2/core.hpp>

#include "zece/color.hpp"
#include "zece/op.hpp"
#include "zece/op_types.hpp"
#include "zece/operations.hpp"

namespace zece {

struct Plan {
    OpTraits op;  // the op type's row
    Image image;
    zeceResizeType resize = zeceRESIZE_BILINEAR;
    YuvCoding coding;   // NV12 input: its matrix and range (chroma of each 2 x 2 block)
    bool swap = false;  // the rows' first and third channels are exchanged (RGB input)
    bool bgr = false;   // after that exchange the channels are B, G, R
    cv::Rect source;    // the part of the input that is resized
    cv::Size resized;   // the size it is resized to
    cv::Rect window;    // the part of the resized picture written (letterbox: where it goes)
    cv::Size output;    // the tensor's width and height
    uint8_t padding[3] = {0, 0, 0};
    zeceNormType norm = zeceNORM_NORMALIZATION_NONE;
    float mean[3] = {0, 0, 0};
    float std[3] = {1, 1, 1};
    float scale = 1;
    zeceTensorizationType tensor = zeceTENSORIZATION_FP16;

    bool letterbox() const { return op.geometry == Geometry::Letterbox; }
};

// The plan of the fused op `type` with these attributes on the picture in `input`.
// zeceER_OP_NOT_READY for a missing attribute, zeceER_INVALID_PARAM for values the op
// does not take, zeceER_INVALID_IMAGE or zeceER_INVALID_ADDRESS for the picture.
ZECE_INTERNAL uint32_t makePlan(zeceOpType type, const Settings &settings, const Buffer &input, Plan *plan);

}  // namespace zece
