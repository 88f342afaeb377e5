// A fused op's attributes, checked and read into the plan its run follows.
#include "zece/fused_plan.hpp"

#include <algorithm>
#include <cmath>

namespace zece {
namespace {

// A size the card takes: each side from 1 to kMaxSide.
bool usable(const cv::Size &size) {
    return size.width >= 1 && size.height >= 1 && size.width <= kMaxSide && size.height <= kMaxSide;
}

bool inside(const cv::Rect &rect, const cv::Size &size) {
    return rect.x >= 0 && rect.y >= 0 && rect.width >= 1 && rect.height >= 1 &&
           int64_t{rect.x} + rect.width <= size.width && int64_t{rect.y} + rect.height <= size.height;
}

bool even(const cv::Rect &rect) {
    return rect.x % 2 == 0 && rect.y % 2 == 0 && rect.width % 2 == 0 && rect.height % 2 == 0;
}

// The crop attributes as a rectangle.
uint32_t cropOf(const Settings &settings, cv::Rect *rect) {
    cropRect crop;
    if (uint32_t status = cropRectangle(settings, -1, &crop)) return status;
    *rect = cv::Rect(crop.start_x, crop.start_y, crop.width, crop.height);
    return zeceER_SUCCESS;
}

uint32_t colourOf(const Settings &settings, zeceImageType format, Plan *plan) {
    if (plan->op.input == FusedInput::Nv12) {
        auto code = enumeration(settings, "colorCvtCode", zeceCOLOR_YUV2RGB_NV12);
        if (code != zeceCOLOR_YUV2RGB_NV12 && code != zeceCOLOR_YUV2BGR_NV12) return zeceER_INVALID_PARAM;
        plan->bgr = code == zeceCOLOR_YUV2BGR_NV12;
        plan->coding.space = enumeration(settings, "colorSpace", zeceCOLOR_SPACE_BT601);
        if (plan->coding.space != zeceCOLOR_SPACE_BT601 && plan->coding.space != zeceCOLOR_SPACE_BT709)
            return zeceER_INVALID_PARAM;
        return yuvCoding(settings, false, &plan->coding);
    }
    auto code = enumeration(settings, "colorCvtCode", zeceCOLOR_NO_CHANGE);
    if (code != zeceCOLOR_NO_CHANGE && code != zeceCOLOR_BGR2RGB) return zeceER_INVALID_PARAM;
    plan->swap = code == zeceCOLOR_BGR2RGB;
    plan->bgr = (format == zeceIMG_BGR888) != plan->swap;
    return zeceER_SUCCESS;
}

uint32_t geometryPlan(const Settings &settings, Plan *plan) {
    const cv::Size picture(plan->image.desc.width, plan->image.desc.height);
    const bool yuv = plan->op.input == FusedInput::Nv12;
    const Geometry geometry = plan->op.geometry;
    plan->source = cv::Rect(cv::Point(0, 0), picture);
    if (geometry == Geometry::CropThenResize) {
        if (uint32_t status = cropOf(settings, &plan->source)) return status;
        if (!inside(plan->source, picture) || (yuv && !even(plan->source))) return zeceER_INVALID_PARAM;
    }
    cv::Rect crop;
    if (geometry == Geometry::ResizeThenCrop) {
        if (uint32_t status = cropOf(settings, &crop)) return status;
        if (uint32_t status = sizeOf(settings, "resize", -1, -1, -1, &plan->resized.width, &plan->resized.height))
            return status;
    }
    // The output size defaults to the crop's where a crop decides it, to the picture's
    // where nothing is resized, and is required otherwise.
    const cv::Size fallback = geometry == Geometry::ResizeThenCrop ? crop.size()
                              : geometry == Geometry::Keep         ? picture
                                                                   : cv::Size(-1, -1);
    if (uint32_t status = sizeOf(settings, "output", fallback.width, fallback.height, -1, &plan->output.width,
                                 &plan->output.height))
        return status;
    if (!usable(plan->output)) return zeceER_INVALID_PARAM;

    switch (geometry) {
    case Geometry::None: return zeceER_INVALID_PARAM;  // not a fused op
    case Geometry::Keep:
        if (plan->output != picture) return zeceER_INVALID_PARAM;
        plan->resized = picture;
        plan->window = cv::Rect(cv::Point(0, 0), picture);
        break;
    case Geometry::Resize:
    case Geometry::CropThenResize:
        plan->resized = plan->output;
        plan->window = cv::Rect(cv::Point(0, 0), plan->output);
        break;
    case Geometry::ResizeThenCrop:
        if (!usable(plan->resized) || !inside(crop, plan->resized) || crop.size() != plan->output)
            return zeceER_INVALID_PARAM;
        plan->window = crop;
        break;
    case Geometry::Letterbox: {
        // The largest size of the source's shape that fits, centred.
        double ratio = std::min(static_cast<double>(plan->output.width) / plan->source.width,
                                static_cast<double>(plan->output.height) / plan->source.height);
        int width = std::clamp(static_cast<int>(std::lround(plan->source.width * ratio)), 1, plan->output.width);
        int height = std::clamp(static_cast<int>(std::lround(plan->source.height * ratio)), 1, plan->output.height);
        if (plan->op.resizesYuv) {  // a resized NV12 picture has even sizes
            width = std::max(2, width & ~1);
            height = std::max(2, height & ~1);
            if (width > plan->output.width || height > plan->output.height) return zeceER_INVALID_PARAM;
        }
        plan->resized = cv::Size(width, height);
        plan->window = cv::Rect((plan->output.width - width) / 2, (plan->output.height - height) / 2, width, height);
        paddingValues(settings, plan->padding);
        break;
    }
    }
    if (plan->op.resizesYuv && (plan->resized.width % 2 || plan->resized.height % 2)) return zeceER_INVALID_PARAM;
    return zeceER_SUCCESS;
}

uint32_t normalisationPlan(const Settings &settings, Plan *plan) {
    plan->norm = enumeration(settings, "normType", zeceNORM_NORMALIZATION_NONE);
    if (plan->norm < zeceNORM_NORMALIZATION_NONE || plan->norm > zeceNORM_DIV255) return zeceER_INVALID_PARAM;
    for (int i = 0; i < 3; ++i) {
        plan->mean[i] = static_cast<float>(settings.real("mean", 0.0, i));
        plan->std[i] = static_cast<float>(settings.real("std", 1.0, i));
    }
    plan->scale = static_cast<float>(settings.real("scale", 1.0));
    plan->tensor = enumeration(settings, "tensorizationType", zeceTENSORIZATION_FP16);
    if (plan->tensor < zeceTENSORIZATION_NONE || plan->tensor > zeceTENSORIZATION_FP16_INTERLEAVE_RGB)
        return zeceER_INVALID_PARAM;
    return zeceER_SUCCESS;
}

}  // namespace

uint32_t makePlan(zeceOpType type, const Settings &settings, const Buffer &input, Plan *plan) {
    plan->op = opTraits(type);
    const bool yuv = plan->op.input == FusedInput::Nv12;
    zeceImageDesc defaults = {-1, -1, 0, 0, yuv ? zeceIMG_YUV_NV12 : zeceIMG_RGB888};
    zeceImageDesc desc;
    if (uint32_t status = descriptor(settings, "input", defaults, -1, &desc)) return status;
    bool fits = yuv ? desc.format == zeceIMG_YUV_NV12 : desc.format == zeceIMG_RGB888 || desc.format == zeceIMG_BGR888;
    if (!fits) return zeceER_INVALID_IMAGE;
    if (uint32_t status = mapImage(desc, input.data, &plan->image, input.size)) return status;
    plan->resize = enumeration(settings, "resizeType", zeceRESIZE_BILINEAR);
    if (!knownResize(plan->resize)) return zeceER_INVALID_PARAM;
    if (uint32_t status = colourOf(settings, desc.format, plan)) return status;
    if (uint32_t status = geometryPlan(settings, plan)) return status;
    if (plan->resize == zeceRESIZE_NO_RESIZE && plan->resized != plan->source.size()) return zeceER_INVALID_PARAM;
    return normalisationPlan(settings, plan);
}

}  // namespace zece
