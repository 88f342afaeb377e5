// Crops, flips, affine warps and resizes with a border, plane by plane with
// OpenCV. Chroma planes of NV12 and I420 take the picture's geometry halved.
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "zece/operations.hpp"

namespace zece {
namespace {

// How many picture pixels one pixel of the plane spans in each direction.
int subsampling(const Image &image, int plane) { return image.planes[plane].width == image.desc.width ? 1 : 2; }

// The padding bytes that fill plane `plane`: interleaved pictures take all three in
// memory order, a grey picture the first, planar ones one byte per plane (NV12: Y,
// then U and V for the interleaved chroma plane).
cv::Scalar fillValue(const Image &image, int plane, const uint8_t *values) {
    switch (image.desc.format) {
    case zeceIMG_RGB888:
    case zeceIMG_BGR888: return cv::Scalar(values[0], values[1], values[2]);
    case zeceIMG_YUV_NV12: return plane == 0 ? cv::Scalar(values[0]) : cv::Scalar(values[1], values[2]);
    default: return cv::Scalar(values[plane]);
    }
}

bool sameShape(const Image &a, const Image &b) {
    return a.desc.format == b.desc.format && a.desc.width == b.desc.width && a.desc.height == b.desc.height;
}

bool evenEnough(const Image &image, int64_t value) { return !isYuv(image.desc.format) || value % 2 == 0; }

}  // namespace

int cvBorder(zecePaddingType type) {
    switch (type) {
    case zeceEDGE_PADDING_TYPE_CONSTANT: return cv::BORDER_CONSTANT;
    case zeceEDGE_PADDING_REPLICATE: return cv::BORDER_REPLICATE;
    case zeceEDGE_PADDING_TYPE_REFLECT: return cv::BORDER_REFLECT;
    default: return -1;
    }
}

uint32_t subImage(const Image &image, const cropRect &rect, Image *part) {
    const int64_t x = rect.start_x, y = rect.start_y, w = rect.width, h = rect.height;
    if (x < 0 || y < 0 || w < 1 || h < 1 || x + w > image.desc.width || y + h > image.desc.height)
        return zeceER_INVALID_PARAM;
    if (!evenEnough(image, x) || !evenEnough(image, y) || !evenEnough(image, w) || !evenEnough(image, h))
        return zeceER_INVALID_PARAM;
    *part = image;
    part->desc.width = rect.width;
    part->desc.height = rect.height;
    for (int i = 0; i < image.planeCount; ++i) {
        int s = subsampling(image, i);
        part->planes[i] = image.planes[i].region(rect.start_x / s, rect.start_y / s, rect.width / s, rect.height / s);
    }
    return zeceER_SUCCESS;
}

uint32_t cropImage(const cropRect &rect, const Image &in, const Image &out) {
    Image part;
    if (uint32_t status = subImage(in, rect, &part)) return status;
    if (!sameShape(part, out)) return zeceER_INVALID_IMAGE;
    for (int i = 0; i < in.planeCount; ++i) {
        cv::Mat target = out.planes[i].mat();
        part.planes[i].mat().copyTo(target);
    }
    return zeceER_SUCCESS;
}

uint32_t flipImage(zeceFlipType type, const Image &in, const Image &out) {
    static const int codes[] = {0, 1, -1};  // X axis, Y axis, both
    if (type < zeceFLIP_X_AXIS || type > zeceFLIP_BOTH_AXES) return zeceER_INVALID_PARAM;
    if (!sameShape(in, out)) return zeceER_INVALID_IMAGE;
    for (int i = 0; i < in.planeCount; ++i) {
        cv::Mat target = out.planes[i].mat();
        cv::flip(in.planes[i].mat(), target, codes[type]);
    }
    return zeceER_SUCCESS;
}

uint32_t warpImage(const double *matrix, zeceWarpAffineMode mode, zecePaddingType padType, const uint8_t *values,
                   const Image &in, const Image &out) {
    int interpolation = mode == zeceWARP_AFFINE_MODE_NEAREST    ? cv::INTER_NEAREST
                        : mode == zeceWARP_AFFINE_MODE_BILINEAR ? cv::INTER_LINEAR
                                                                : -1;
    int border = cvBorder(padType);
    if (interpolation < 0 || border < 0) return zeceER_INVALID_PARAM;
    for (int i = 0; i < ZECE_AFFINE_MATRIX_NUM; ++i)
        if (!std::isfinite(matrix[i])) return zeceER_INVALID_PARAM;
    if (in.desc.format != out.desc.format) return zeceER_INVALID_IMAGE;
    for (int i = 0; i < in.planeCount; ++i) {
        // A chroma pixel at (x, y) sits at picture pixel (2x, 2y): its source lies at
        // half the picture's, so the translation halves and the linear part stays.
        double s = subsampling(in, i);
        cv::Mat m = (cv::Mat_<double>(2, 3) << matrix[0], matrix[1], matrix[2] / s, matrix[3], matrix[4],
                     matrix[5] / s);
        cv::Mat target = out.planes[i].mat();
        cv::warpAffine(in.planes[i].mat(), target, m, target.size(), interpolation | cv::WARP_INVERSE_MAP, border,
                       fillValue(in, i, values));
    }
    return zeceER_SUCCESS;
}

uint32_t borderImage(zeceResizeType type, zecePaddingType padType, const uint8_t *values, const zecePaddingEdges &edges,
                     const Image &in, const Image &out) {
    int border = cvBorder(padType);
    if (border < 0) return zeceER_INVALID_PARAM;
    const int64_t width = int64_t{out.desc.width} - edges.left - edges.right;
    const int64_t height = int64_t{out.desc.height} - edges.top - edges.bottom;
    if (width < 1 || height < 1) return zeceER_INVALID_PARAM;
    cropRect inner{static_cast<int32_t>(edges.left), static_cast<int32_t>(edges.top), static_cast<int32_t>(width),
                   static_cast<int32_t>(height)};
    Image target;
    if (uint32_t status = subImage(out, inner, &target)) return status;
    if (uint32_t status = checkResize(type, in, target)) return status;
    // The picture is resized apart, then bordered into the output: copyMakeBorder
    // reads its source whole, so the source may not be part of its destination.
    std::vector<cv::Mat> resized(in.planeCount);
    Image staged = target;
    for (int i = 0; i < in.planeCount; ++i) {
        const Plane &plane = target.planes[i];
        resized[i].create(plane.height, plane.width, CV_8UC(plane.channels));
        staged.planes[i] = {resized[i].data, plane.width, plane.height, plane.channels, resized[i].step};
    }
    if (uint32_t status = resizeImage(type, in, staged)) return status;
    for (int i = 0; i < in.planeCount; ++i) {
        int s = subsampling(out, i);
        cv::Mat whole = out.planes[i].mat();
        cv::copyMakeBorder(resized[i], whole, edges.top / s, edges.bottom / s, edges.left / s, edges.right / s, border,
                           fillValue(out, i, values));
    }
    return zeceER_SUCCESS;
}

}  // namespace zece
