// The copies between the `frame` and `stream` records and the runtime's structures.
// Bytes the runtime hands out are copied into arrays that Python owns; the runtime's
// own addresses are kept, hidden, so that the same record gives its memory back.
#include <cstring>
#include <string>

#include "frames.hpp"

namespace halvora::zeme {
namespace {

// A new one-dimensional array of `size` bytes, holding a copy of `bytes` when given.
Bytes copyOf(const uint8_t *bytes, size_t size) {
    Bytes array(static_cast<py::ssize_t>(size));
    if (bytes && size) std::memcpy(array.mutable_data(), bytes, size);
    return array;
}

template <class T> void fillSlots(const std::vector<T> &items, T (&slots)[ZEME_MAX_VIDEO_PLANE], const char *name) {
    if (items.size() > ZEME_MAX_VIDEO_PLANE)
        throw py::type_error(std::string("frame.") + name + " holds more than 3 entries");
    std::copy(items.begin(), items.end(), slots);
}

// Host plane addresses of a picture in the record's own `data` array: the planes that
// `stride` and `height` describe must lie inside the array. Device pictures are
// reached through busAddress, and a frame that ends an encoder's input (memory type
// ZEME_MEM_FLUSH or no bytes) has no planes to read.
void planesFromData(const zemeFramePy &record, zemeFrame &frame) {
    const bool planar = record.pixelFormat == ZEME_PIX_FMT_YUV420P;
    if (!planar && record.pixelFormat != ZEME_PIX_FMT_NV12 && record.pixelFormat != ZEME_PIX_FMT_NV21)
        throw py::type_error("Format not support!!!");
    if (record.memoryType == ZEME_MEM_DEVICE || record.memoryType == ZEME_MEM_FLUSH || record.dataSize == 0) return;
    const size_t needed = planar ? 2 : 1;
    if (record.stride.size() < needed)
        throw py::type_error(planar ? "a YUV420P frame needs two strides" : "an NV12 or NV21 frame needs a stride");
    const uint64_t height = record.height, chromaRows = (height + 1) / 2;
    const uint64_t luma = uint64_t{record.stride[0]} * height;
    const uint64_t chromaStride = record.stride.size() > 1 ? record.stride[1] : record.stride[0];
    uint64_t bytes = luma + chromaStride * chromaRows;
    if (planar) bytes += uint64_t{record.stride.size() > 2 ? record.stride[2] : record.stride[1]} * chromaRows;
    if (bytes > static_cast<uint64_t>(record.data.size()))
        throw py::type_error("frame.data holds fewer bytes than the planes its strides and height describe");
    uint8_t *first = static_cast<uint8_t *>(record.data.request().ptr);
    frame.data[0] = first;
    frame.data[1] = first + luma;
    frame.data[2] = planar ? frame.data[1] + uint64_t{record.stride[1]} * chromaRows : nullptr;
}

}  // namespace

void frameFromRuntime(const zemeFrame &frame, zemeFramePy &record) {
    record.data = frame.memoryType == ZEME_MEM_HOST ? copyOf(frame.data[0], frame.dataSize) : Bytes(0);
    record.busAddress.assign(frame.busAddress, frame.busAddress + ZEME_MAX_VIDEO_PLANE);
    record.stride.assign(frame.stride, frame.stride + ZEME_MAX_VIDEO_PLANE);
    record.dataSize = frame.dataSize;
    record.width = frame.width;
    record.height = frame.height;
    record.pts = frame.pts;
    record.memoryType = frame.memoryType;
    record.field = frame.field;
    record.pixelFormat = frame.pixelFormat;
    record.frameType = frame.frameType;
    record.cropInfo = frame.cropInfo;
    record.privateData = frame.privateData;
    std::copy(frame.data, frame.data + ZEME_MAX_VIDEO_PLANE, record.planes);
}

zemeFrame frameToRuntime(const zemeFramePy &record) {
    zemeFrame frame{};
    fillSlots(record.busAddress, frame.busAddress, "busAddress");
    fillSlots(record.stride, frame.stride, "stride");
    if (record.planes[0])
        std::copy(record.planes, record.planes + ZEME_MAX_VIDEO_PLANE, frame.data);
    else
        planesFromData(record, frame);
    frame.dataSize = record.dataSize;
    frame.width = record.width;
    frame.height = record.height;
    frame.pts = record.pts;
    frame.memoryType = record.memoryType;
    frame.field = record.field;
    frame.pixelFormat = record.pixelFormat;
    frame.frameType = record.frameType;
    frame.cropInfo = record.cropInfo;
    frame.privateData = record.privateData;
    return frame;
}

zemeStream streamToRuntime(const zemeStreamPy &record) {
    py::buffer_info buffer = record.stream.request();
    if (buffer.ndim != 1) throw py::type_error("Stream number of dimensions must be one.");
    zemeStream stream{};
    stream.data = record.address ? record.address : static_cast<uint8_t *>(buffer.ptr);
    stream.dataSize = static_cast<uint32_t>(buffer.size);
    stream.pts = record.pts;
    stream.busAddress = record.inputBusAddress;
    return stream;
}

void streamFromRuntime(const zemeStream &stream, zemeStreamPy &record) {
    record.stream = copyOf(stream.data, stream.dataSize);
    record.pts = stream.pts;
    record.inputBusAddress = stream.busAddress;
    record.address = stream.data;
}

}  // namespace halvora::zeme
