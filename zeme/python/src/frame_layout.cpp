#include "frame_layout.hpp"

namespace halvora::zeme {

const char *hostPlanes(const zemeFrame &frame, size_t strideCount, uint64_t available, HostPlanes *planes) {
    *planes = HostPlanes{};
    const bool planar = frame.pixelFormat == ZEME_PIX_FMT_YUV420P;
    if (!planar && frame.pixelFormat != ZEME_PIX_FMT_NV12 && frame.pixelFormat != ZEME_PIX_FMT_NV21)
        return "Format not support!!!";
    if (frame.memoryType == ZEME_MEM_DEVICE || frame.memoryType == ZEME_MEM_FLUSH || frame.dataSize == 0)
        return nullptr;
    if (strideCount < (planar ? 2u : 1u))
        return planar ? "a YUV420P frame needs two strides" : "an NV12 or NV21 frame needs a stride";
    // The strides the runtime reads with: a chroma stride of 0, given or not, is that of
    // the plane before (NV12 and NV21 chroma: the luma's; V: U's). A U stride of 0 is
    // refused by the runtime.
    uint64_t stride[ZEME_MAX_VIDEO_PLANE];
    const int count = planar ? 3 : 2;
    for (int i = 0; i < count; ++i) {
        stride[i] = i < static_cast<int>(strideCount) ? frame.stride[i] : 0;
        if (stride[i] == 0 && i > (planar ? 1 : 0)) stride[i] = stride[i - 1];
    }
    const uint64_t height = frame.height, chromaRows = (height + 1) / 2;
    uint64_t end = stride[0] * height;
    for (int i = 1; i < count; ++i) {
        planes->offsets[i] = end;
        end += stride[i] * chromaRows;
    }
    if (end > available) return "frame.data holds fewer bytes than the planes its strides and height describe";
    planes->read = true;
    return nullptr;
}

const char *runtimePlanes(const zemeFrame &frame, uint8_t *const planes[ZEME_MAX_VIDEO_PLANE], uint64_t handedOut) {
    const bool planar = frame.pixelFormat == ZEME_PIX_FMT_YUV420P;
    if (frame.memoryType != ZEME_MEM_HOST ||
        (!planar && frame.pixelFormat != ZEME_PIX_FMT_NV12 && frame.pixelFormat != ZEME_PIX_FMT_NV21))
        return nullptr;
    const uint64_t height = frame.height;
    uint64_t stride = 0;
    for (int i = 0; i < (planar ? 3 : 2); ++i) {
        // As the encoder takes them: a chroma stride of 0 is the plane before's (not the
        // luma's for U of YUV420P, which it refuses).
        if (frame.stride[i] || (planar && i == 1)) stride = frame.stride[i];
        if (!planes[i]) continue;  // refused by the runtime
        if (planes[i] < planes[0]) return "frame.planes lie apart from the picture the runtime handed out";
        const uint64_t offset = static_cast<uint64_t>(planes[i] - planes[0]);
        const uint64_t rows = i ? (height + 1) / 2 : height;
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
