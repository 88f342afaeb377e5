#include "frame_layout.hpp"

#include "zeme/picture_layout.hpp"

namespace halvora::zeme {

const char *hostPlanes(const zemeFrame &frame, size_t strideCount, uint64_t available, HostPlanes *planes) {
    *planes = HostPlanes{};
    const uint32_t format = frame.pixelFormat;
    if (!::zeme::pictureFormat(format)) return "Format not support!!!";
    if (frame.memoryType == ZEME_MEM_DEVICE || frame.memoryType == ZEME_MEM_FLUSH || frame.dataSize == 0)
        return nullptr;
    if (strideCount < static_cast<size_t>(::zeme::stridesNeeded(format)))
        return ::zeme::interleavedChroma(format) ? "an NV12 or NV21 frame needs a stride"
                                                 : "a YUV420P frame needs two strides";
    // The strides the runtime reads with (planeStride), of those the record gave: one left
    // out counts as 0. A U stride of 0 is refused by the runtime.
    uint32_t given[ZEME_MAX_VIDEO_PLANE] = {};
    uint64_t stride[ZEME_MAX_VIDEO_PLANE] = {};
    for (size_t i = 0; i < strideCount && i < ZEME_MAX_VIDEO_PLANE; ++i) given[i] = frame.stride[i];
    for (int i = 0; i < ::zeme::planeCount(format); ++i) stride[i] = ::zeme::planeStride(format, given, i);
    const ::zeme::PictureLayout layout = ::zeme::pictureLayout(format, frame.width, frame.height, stride);
    if (layout.bytes > available) return "frame.data holds fewer bytes than the planes its strides and height describe";
    for (int i = 0; i < layout.planes; ++i) planes->offsets[i] = layout.plane[i].offset;
    planes->read = true;
    return nullptr;
}

const char *runtimePlanes(const zemeFrame &frame, uint8_t *const planes[ZEME_MAX_VIDEO_PLANE], uint64_t handedOut) {
    const uint32_t format = frame.pixelFormat;
    if (frame.memoryType != ZEME_MEM_HOST || !::zeme::pictureFormat(format)) return nullptr;
    for (int i = 0; i < ::zeme::planeCount(format); ++i) {
        // As the encoder reads them (planeStride).
        const uint64_t stride = ::zeme::planeStride(format, frame.stride, i);
        if (!planes[i]) continue;  // refused by the runtime
        if (planes[i] < planes[0]) return "frame.planes lie apart from the picture the runtime handed out";
        const uint64_t offset = static_cast<uint64_t>(planes[i] - planes[0]);
        const uint64_t rows = ::zeme::planeRows(i, frame.height);
        if (offset > handedOut || stride * rows > handedOut - offset)
            return "frame's height and strides reach past the picture the runtime handed out";
    }
    return nullptr;
}

const char *streamBytes(uint8_t *address, uint32_t handedOut, uint8_t *array, uint64_t count, zemeStream *stream) {
    if (address && count > handedOut)
        return "stream.stream holds more bytes than the runtime handed out for this record";
    stream->data = address ? address : array;
    stream->dataSize = static_cast<uint32_t>(count);
    return nullptr;
}

}  // namespace halvora::zeme
