// Descriptors, plane layouts and the checks every picture passes before use.
#include "zece/image.hpp"

namespace zece {

bool knownFormat(zeceImageType format) {
    switch (format) {
    case zeceIMG_YUV_NV12:
    case zeceIMG_YUV_I420:
    case zeceIMG_RGB_PLANAR:
    case zeceIMG_RGB888:
    case zeceIMG_BGR888:
    case zeceIMG_GRAY: return true;
    default: return false;
    }
}

int pixelBytes(zeceImageType format) { return format == zeceIMG_RGB888 || format == zeceIMG_BGR888 ? 3 : 1; }

uint32_t checkDesc(const zeceImageDesc &desc) {
    if (!knownFormat(desc.format)) return zeceER_INVALID_IMAGE;
    if (desc.width < 1 || desc.height < 1 || desc.width > kMaxSide || desc.height > kMaxSide)
        return zeceER_INVALID_IMAGE;
    if (static_cast<int64_t>(desc.widthPitch) < int64_t{desc.width} * pixelBytes(desc.format) ||
        desc.heightPitch < desc.height)
        return zeceER_INVALID_IMAGE;
    if (isYuv(desc.format) && (desc.width % 2 || desc.height % 2 || desc.heightPitch % 2)) return zeceER_INVALID_IMAGE;
    if (desc.format == zeceIMG_YUV_I420 && desc.widthPitch % 2) return zeceER_INVALID_IMAGE;
    return zeceER_SUCCESS;
}

uint64_t imageBytes(const zeceImageDesc &desc) {
    if (checkDesc(desc)) return 0;
    uint64_t plane = static_cast<uint64_t>(desc.widthPitch) * static_cast<uint64_t>(desc.heightPitch);
    switch (desc.format) {
    case zeceIMG_YUV_NV12:
    case zeceIMG_YUV_I420: return plane + plane / 2;
    case zeceIMG_RGB_PLANAR: return plane * 3;
    default: return plane;
    }
}

void layPlanes(const zeceImageDesc &desc, uint8_t *data, Image *image) {
    const int w = desc.width, h = desc.height;
    const size_t pitch = static_cast<size_t>(desc.widthPitch);
    const size_t plane = pitch * static_cast<size_t>(desc.heightPitch);
    image->desc = desc;
    switch (desc.format) {
    case zeceIMG_YUV_NV12:
        image->planeCount = 2;
        image->planes[0] = {data, w, h, 1, pitch};
        image->planes[1] = {data + plane, w / 2, h / 2, 2, pitch};
        break;
    case zeceIMG_YUV_I420: {
        const size_t quarter = plane / 4;
        image->planeCount = 3;
        image->planes[0] = {data, w, h, 1, pitch};
        image->planes[1] = {data + plane, w / 2, h / 2, 1, pitch / 2};
        image->planes[2] = {data + plane + quarter, w / 2, h / 2, 1, pitch / 2};
        break;
    }
    case zeceIMG_RGB_PLANAR:
        image->planeCount = 3;
        for (int i = 0; i < 3; ++i) image->planes[i] = {data + plane * i, w, h, 1, pitch};
        break;
    default:
        image->planeCount = 1;
        image->planes[0] = {data, w, h, pixelBytes(desc.format), pitch};
        break;
    }
}

namespace {

// The bytes from the first plane's first pixel to the last plane's last one.
std::pair<const uint8_t *, const uint8_t *> extent(const Image &image) {
    const uint8_t *low = nullptr, *high = nullptr;
    for (int i = 0; i < image.planeCount; ++i) {
        const Plane &plane = image.planes[i];
        const uint8_t *end = plane.data + (plane.height - 1) * plane.pitch + size_t(plane.width) * plane.channels;
        if (!low || plane.data < low) low = plane.data;
        if (!high || end > high) high = end;
    }
    return {low, high};
}

}  // namespace

Image apart(const Image &source, const Image *targets, size_t count, std::vector<cv::Mat> *storage) {
    auto [low, high] = extent(source);
    bool overlapping = false;
    for (size_t i = 0; i < count && !overlapping; ++i) {
        auto [otherLow, otherHigh] = extent(targets[i]);
        overlapping = low < otherHigh && otherLow < high;
    }
    if (!overlapping) return source;
    Image copy = source;
    for (int i = 0; i < source.planeCount; ++i) {
        storage->push_back(source.planes[i].mat().clone());
        const cv::Mat &plane = storage->back();
        copy.planes[i].data = plane.data;
        copy.planes[i].pitch = plane.step;
    }
    return copy;
}

uint32_t mapImage(const zeceImageDesc &desc, void *buffer, Image *image, uint64_t limit) {
    if (uint32_t status = checkDesc(desc)) return status;
    uint64_t bytes = imageBytes(desc);
    if (bytes > limit) return zeceER_INVALID_ADDRESS;
    if (zecm::findRange(buffer, bytes, &image->block) || !zecm::isDeviceKind(image->block.kind))
        return zeceER_INVALID_ADDRESS;
    layPlanes(desc, static_cast<uint8_t *>(buffer), image);
    return zeceER_SUCCESS;
}

}  // namespace zece
