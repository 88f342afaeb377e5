// The `frame` and `stream` records: mirrors of the runtime's zemeFrame and
// zemeStream whose bytes live in NumPy arrays, and the four copies that move them
// to and from the runtime's structures.
#pragma once
#include <pybind11/numpy.h>

#include <vector>

#include "binding.hpp"
#include "zeme.h"

namespace halvora::zeme {

// Unsigned bytes in C order: other array-likes are converted (and copied) on assignment.
using Bytes = py::array_t<uint8_t, py::array::c_style | py::array::forcecast>;

struct zemeFramePy {
    Bytes data;  // the picture's bytes in host memory, or empty
    std::vector<uint64_t> busAddress;
    std::vector<uint32_t> stride;
    uint32_t dataSize = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    int64_t pts = 0;
    zemeMemoryType memoryType{};
    zemeVideoField field{};
    zemePixelFormat pixelFormat{};
    zemeFrameType frameType{};
    zemeFrameCropInfo cropInfo{};
    void *privateData = nullptr;
    uint8_t *planes[ZEME_MAX_VIDEO_PLANE] = {};  // the runtime's plane addresses, once it filled the record
    uint64_t hostBytes = 0;                      // of a host picture, the bytes the runtime handed out from planes[0]
};

struct zemeStreamPy {
    int64_t pts = 0;
    uint64_t inputBusAddress = 0;
    Bytes stream;
    uint8_t *address = nullptr;  // the runtime's bytes, once it filled the record
    uint32_t handedOut = 0;      // how many the runtime handed out there
};

void frameFromRuntime(const zemeFrame &frame, zemeFramePy &record);
// Refuses (TypeError) what cannot be handed to the runtime safely.
zemeFrame frameToRuntime(const zemeFramePy &record);
// The copy for an encoder, which reads the picture: a record holding the runtime's own
// planes is also refused (ValueError) when it describes more than the runtime handed out.
zemeFrame frameToEncoder(const zemeFramePy &record);
// Refuses (ValueError) a record whose array is longer than the runtime bytes it stands for.
zemeStream streamToRuntime(const zemeStreamPy &record);
void streamFromRuntime(const zemeStream &stream, zemeStreamPy &record);

}  // namespace halvora::zeme
