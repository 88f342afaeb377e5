// Resize of whole pictures, plane by plane: OpenCV's interpolations with
// cv::resize, Pillow's filters with the card's own resampler.
#include <opencv2/imgproc.hpp>

#include "zece/operations.hpp"
#include "zece/resample.hpp"

namespace zece {

int cvInterpolation(zeceResizeType type) {
    switch (type) {
    case zeceRESIZE_BILINEAR:
    case zeceRESIZE_BILINEAR_CV: return cv::INTER_LINEAR;
    case zeceRESIZE_NEAREST:
    case zeceRESIZE_NEAREST_CV: return cv::INTER_NEAREST;
    case zeceRESIZE_BICUBIC: return cv::INTER_CUBIC;
    case zeceRESIZE_LANCZOS:
    case zeceRESIZE_LANCZOS_CV: return cv::INTER_LANCZOS4;
    default: return -1;
    }
}

bool knownResize(zeceResizeType type) {
    return type == zeceRESIZE_NO_RESIZE || cvInterpolation(type) >= 0 || isPillow(type);
}

uint32_t checkResize(zeceResizeType type, const Image &in, const Image &out) {
    if (!knownResize(type)) return zeceER_INVALID_PARAM;
    if (in.desc.format != out.desc.format) return zeceER_INVALID_IMAGE;
    if (type == zeceRESIZE_NO_RESIZE && (in.desc.width != out.desc.width || in.desc.height != out.desc.height))
        return zeceER_INVALID_IMAGE;
    return zeceER_SUCCESS;
}

uint32_t resizeImage(zeceResizeType type, const Image &in, const Image &out) {
    if (uint32_t status = checkResize(type, in, out)) return status;
    for (int i = 0; i < in.planeCount; ++i) {
        const Plane &from = in.planes[i];
        const Plane &to = out.planes[i];
        cv::Mat target = to.mat();
        if (type == zeceRESIZE_NO_RESIZE) {
            from.mat().copyTo(target);
        } else if (isPillow(type)) {
            if (!resamplePlane(from, to, makeTaps(type, from.width, to.width), makeTaps(type, from.height, to.height)))
                return zeceER_INVALID_IMAGE;
        } else {
            cv::resize(from.mat(), target, target.size(), 0, 0, cvInterpolation(type));
        }
    }
    return zeceER_SUCCESS;
}

}  // namespace zece
