// The copies between the `frame` and `stream` records and the runtime's structures.
// Bytes the runtime hands out are copied into arrays that Python owns; the runtime's
// own addresses are kept, hidden, so that the same record gives its memory back.
#include <cstring>
#include <string>

#include "frames.hpp"
#include "frame_layout.hpp"
#include "zeme/picture_layout.hpp"

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

// Host plane addresses of a picture in the record's own `data` array (see hostPlanes).
void planesFromData(const zemeFramePy &record, zemeFrame &frame) {
    HostPlanes planes;
    if (const char *refusal = hostPlanes(frame, record.stride.size(), static_cast<uint64_t>(record.data.size()),
                                         &planes))
        throw py::type_error(refusal);
    if (!planes.read) return;
    uint8_t *first = static_cast<uint8_t *>(record.data.request().ptr);
    frame.data[0] = first + planes.offsets[0];
    frame.data[1] = first + planes.offsets[1];
    frame.data[2] = ::zeme::planeCount(frame.pixelFormat) > 2 ? first + planes.offsets[2] : nullptr;
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
    record.hostBytes = frame.memoryType == ZEME_MEM_HOST ? frame.dataSize : 0;
}

zemeFrame frameToRuntime(const zemeFramePy &record) {
    zemeFrame frame{};
    fillSlots(record.busAddress, frame.busAddress, "busAddress");
    fillSlots(record.stride, frame.stride, "stride");
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
    if (record.planes[0])
        std::copy(record.planes, record.planes + ZEME_MAX_VIDEO_PLANE, frame.data);
    else
        planesFromData(record, frame);
    return frame;
}

zemeFrame frameToEncoder(const zemeFramePy &record) {
    zemeFrame frame = frameToRuntime(record);
    if (record.planes[0])
        if (const char *refusal = runtimePlanes(frame, record.planes, record.hostBytes)) throw py::value_error(refusal);
    return frame;
}

zemeStream streamToRuntime(const zemeStreamPy &record) {
    py::buffer_info buffer = record.stream.request();
    if (buffer.ndim != 1) throw py::type_error("Stream number of dimensions must be one.");
    zemeStream stream{};
    if (const char *refusal = streamBytes(record.address, record.handedOut, static_cast<uint8_t *>(buffer.ptr),
                                          static_cast<uint64_t>(buffer.size), &stream))
        throw py::value_error(refusal);
    stream.pts = record.pts;
    stream.busAddress = record.inputBusAddress;
    return stream;
}

void streamFromRuntime(const zemeStream &stream, zemeStreamPy &record) {
    record.stream = copyOf(stream.data, stream.dataSize);
    record.pts = stream.pts;
    record.inputBusAddress = stream.busAddress;
    record.address = stream.data;
    record.handedOut = stream.dataSize;
}

}  // namespace halvora::zeme
