// Where the planes of a host picture lie in a `frame` record's bytes: the checks and
// arithmetic of the copy to the runtime's zemeFrame, apart from Python, so that they
// can be exercised without an interpreter.
#pragma once
#include <cstddef>
#include <cstdint>

#include "zeme.h"

namespace halvora::zeme {

struct HostPlanes {
    bool read = false;                            // false: the frame has no planes to read
    uint64_t offsets[ZEME_MAX_VIDEO_PLANE] = {};  // of each plane in the record's bytes
};

// The planes of the picture that `frame` describes (its pixel format, memory type,
// dataSize, height and strides, of which the record gave `strideCount`) in a record
// holding `available` bytes. Returns null, or the text of the TypeError that refuses
// the frame. Device pictures are reached through busAddress, and a frame that ends an
// encoder's input (memory type ZEME_MEM_FLUSH or no bytes) has no planes to read.
// Strides count as the runtime counts them: a chroma stride of 0 is the stride of the
// plane before, so that the bytes checked are the bytes it reads.
const char *hostPlanes(const zemeFrame &frame, size_t strideCount, uint64_t available, HostPlanes *planes);

// The planes of a host picture that a `frame` record hands back at the runtime's own
// addresses (`planes`; the runtime handed out `handedOut` bytes from planes[0]), read as
// `frame` now describes them (height, strides): an encoder reads every row of every
// plane at its stride. Returns null, or the text of the ValueError that refuses a
// description reaching past those bytes. Frames of other memory types or formats are
// left to the runtime's own checks.
const char *runtimePlanes(const zemeFrame &frame, uint8_t *const planes[ZEME_MAX_VIDEO_PLANE], uint64_t handedOut);

// The bytes a `stream` record hands the runtime: at the runtime's own `address` once a
// copy from the runtime filled the record (it handed out `handedOut` bytes there), else
// the record's `array` of `count` bytes; the size is the array's count, truncated to 32
// bits. With the runtime's address, a count above `handedOut` would have the runtime
// read past the bytes it handed out: such a record is refused. Fills `stream`'s data
// address and size; returns null, or the text of the ValueError that refuses the record.
const char *streamBytes(uint8_t *address, uint32_t handedOut, uint8_t *array, uint64_t count, zemeStream *stream);

}  // namespace halvora::zeme
