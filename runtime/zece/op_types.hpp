// The op types of zeceOpType, one row each: what kind of op a type is and the
// attribute groups it takes, and for fused ops the input they take, what they do to
// the picture's size and whether they resize the YUV planes before converting them.
// The attribute checks (op.cpp), executeOp (execute.cpp) and the fused ops
// (fused_plan.cpp) read their facts from here and nowhere else.
//
// The rows are the cases of one switch over the enumeration, which the compiler
// checks: an op type without a row does not build (-Wswitch is an error there), nor
// does a type with two (a repeated case).
#pragma once
#include <cstdint>

#include "zece.h"

namespace zece {

enum class OpKind : uint8_t {
    None,        // not an op: zeceOP_FUSION_OP_MAX_NUM, numbers outside the enumeration
    Copy,        // dataset members copied as they are
    Customized,  // made by createCustomizedOp from a plug-in; takes any attribute name
    Image,       // one input picture into one output picture, or several
    Fused,       // one picture into a model's input tensor (fused.hpp)
};

// The pictures a fused op takes.
enum class FusedInput : uint8_t {
    None,  // not a fused op
    Nv12,
    Rgb,  // RGB888 or BGR888
};

// What a fused op does to the picture's size on the way to the tensor.
enum class Geometry : uint8_t {
    None,            // not a fused op
    Keep,            // the tensor is the picture's size
    Resize,          // the picture resized to the tensor's size
    CropThenResize,  // a rectangle of the picture (crop attributes), resized
    ResizeThenCrop,  // resized to resizeWidth x resizeHeight, then a rectangle of that
    Letterbox,       // resized to fit the tensor, centred, the rest padded
};

// Where a fused NV12 op resamples: the RGB rows after converting the picture, or the
// Y and UV planes, converted afterwards.
enum class Resample : uint8_t { Rgb, Yuv };

// Attribute groups; op.cpp holds the names of each.
namespace group {
constexpr uint32_t kInput = 1u << 0;       // the input picture's size, pitches and format
constexpr uint32_t kOutput = 1u << 1;      // the output picture's, elements
constexpr uint32_t kOutputs = 1u << 2;     // the output pictures', arrays (one entry an output)
constexpr uint32_t kResize = 1u << 3;      // resizeType
constexpr uint32_t kCrop = 1u << 4;        // a rectangle, elements
constexpr uint32_t kCrops = 1u << 5;       // rectangles, arrays (one entry an output)
constexpr uint32_t kColor = 1u << 6;       // a colour conversion, chroma upsampling included
constexpr uint32_t kFlip = 1u << 7;        // flipType
constexpr uint32_t kAffine = 1u << 8;      // affineMatrix, warpAffineMode
constexpr uint32_t kPadding = 1u << 9;     // paddingType, paddingValues
constexpr uint32_t kEdges = 1u << 10;      // the four border widths
constexpr uint32_t kTensor = 1u << 11;     // a fused op's tensor: size, resize, colour, normalisation, layout
constexpr uint32_t kResized = 1u << 12;    // resizeWidth, resizeHeight
constexpr uint32_t kLetterbox = 1u << 13;  // paddingValues alone
}  // namespace group

struct OpTraits {
    OpKind kind = OpKind::None;
    uint32_t groups = 0;  // group:: bits
    FusedInput input = FusedInput::None;
    Geometry geometry = Geometry::None;
    bool resizesYuv = false;  // Resample::Yuv
};

namespace rows {

constexpr OpTraits image(uint32_t groups) { return {OpKind::Image, group::kInput | groups}; }

// A fused op's attribute groups follow from its geometry: the geometry reads them.
constexpr uint32_t fusedGroups(Geometry geometry) {
    switch (geometry) {
    case Geometry::CropThenResize: return group::kInput | group::kTensor | group::kCrop;
    case Geometry::ResizeThenCrop: return group::kInput | group::kTensor | group::kCrop | group::kResized;
    case Geometry::Letterbox: return group::kInput | group::kTensor | group::kLetterbox;
    default: return group::kInput | group::kTensor;
    }
}

constexpr OpTraits nv12(Geometry geometry, Resample resample) {
    return {OpKind::Fused, fusedGroups(geometry), FusedInput::Nv12, geometry, resample == Resample::Yuv};
}

constexpr OpTraits rgb(Geometry geometry) {
    return {OpKind::Fused, fusedGroups(geometry), FusedInput::Rgb, geometry, false};
}

}  // namespace rows

#pragma GCC diagnostic push
#pragma GCC diagnostic error "-Wswitch"
// The row of an op type; an OpKind::None row for a number that is not an op.
constexpr OpTraits opTraits(zeceOpType type) {
    using namespace rows;
    using namespace group;
    using G = Geometry;
    switch (type) {  // no default: every enumerator has its case
    case zeceOP_MEM_COPY_OP: return {OpKind::Copy};
    case zeceOP_CUSTOMIZED_OP: return {OpKind::Customized};
    case zeceOP_RESIZE: return image(kOutput | kResize);
    case zeceOP_CROP: return image(kOutput | kCrop);
    case zeceOP_CVT_COLOR: return image(kOutput | kColor);
    case zeceOP_BATCH_CROP_RESIZE: return image(kOutput | kCrops | kResize);
    case zeceOP_WARP_AFFINE: return image(kOutput | kPadding | kAffine);
    case zeceOP_FLIP: return image(kOutput | kFlip);
    case zeceOP_SCALE: return image(kOutputs | kResize);
    case zeceOP_COPY_MAKE_BORDER: return image(kOutput | kPadding | kEdges | kResize);
    case zeceOP_FUSION_OP_YUV_NV12_RESIZE_2RGB_NORM_TENSOR: return nv12(G::Resize, Resample::Yuv);
    case zeceOP_FUSION_OP_YUV_NV12_CVTCOLOR_RESIZE_NORM_TENSOR: return nv12(G::Resize, Resample::Rgb);
    case zeceOP_FUSION_OP_YUV_NV12_RESIZE_CVTCOLOR_CROP_NORM_TENSOR: return nv12(G::ResizeThenCrop, Resample::Yuv);
    case zeceOP_FUSION_OP_YUV_NV12_CROP_CVTCOLOR_RESIZE_NORM_TENSOR: return nv12(G::CropThenResize, Resample::Rgb);
    case zeceOP_FUSION_OP_YUV_NV12_CVTCOLOR_RESIZE_CROP_NORM_TENSOR: return nv12(G::ResizeThenCrop, Resample::Rgb);
    case zeceOP_FUSION_OP_YUV_NV12_CVTCOLOR_LETTERBOX_NORM_TENSOR: return nv12(G::Letterbox, Resample::Rgb);
    case zeceOP_FUSION_OP_YUV_NV12_LETTERBOX_2RGB_NORM_TENSOR: return nv12(G::Letterbox, Resample::Yuv);
    case zeceOP_FUSION_OP_RGB_CVTCOLOR_NORM_TENSOR: return rgb(G::Keep);
    case zeceOP_FUSION_OP_RGB_RESIZE_CVTCOLOR_NORM_TENSOR: return rgb(G::Resize);
    case zeceOP_FUSION_OP_RGB_RESIZE_CVTCOLOR_CROP_NORM_TENSOR: return rgb(G::ResizeThenCrop);
    case zeceOP_FUSION_OP_RGB_CROP_RESIZE_CVTCOLOR_NORM_TENSOR: return rgb(G::CropThenResize);
    case zeceOP_FUSION_OP_RGB_LETTERBOX_CVTCOLOR_NORM_TENSOR: return rgb(G::Letterbox);
    case zeceOP_FUSION_OP_MAX_NUM: return {};
    }
    return {};
}
#pragma GCC diagnostic pop

}  // namespace zece
