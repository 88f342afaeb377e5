// Internals of the media engine shared by its parts: system state, picture memory,
// stream bytes, the codec devices of channels and the channel tables.
#pragma once
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "zesim/call.hpp"
#include "zeme.h"

#define ZEME_INTERNAL __attribute__((visibility("default")))

namespace zeme {

// Decoder channels of the card; callers number them 0..kDecoderChannels-1.
constexpr uint32_t kDecoderChannels = 32;
// Output pictures of a channel besides its extraBufferNumber.
constexpr uint32_t kDefaultPictures = 8;
// Largest extraBufferNumber a channel accepts.
constexpr uint32_t kMaxExtraPictures = 64;
// Encoder channels of the card; callers number them 0..kEncoderChannels-1.
constexpr uint32_t kEncoderChannels = 32;

// Whether zemeSystemInitialize is in force.
ZEME_INTERNAL bool systemInitialized();
// zemeER_RSLT_ERR_NOT_SYSTEM_INIT unless the system is initialised.
inline uint32_t checkSystem() { return systemInitialized() ? zemeER_SUCCESS : zemeER_RSLT_ERR_NOT_SYSTEM_INIT; }

// Host picture memory. Buffers go back to a store of the system when a picture is
// released and are handed out again to later pictures; the store holds at most 256 MiB
// of them (the ones recycled longest ago go first) and gives them all up at
// zemeSystemUninitialize (a buffer still held elsewhere then dies with its last holder).
// A buffer that dies gives its pages back to the system, but its address range stays
// mapped (reading zeros) and is reused by later buffers: a view of a released picture
// reads stale pixels, and after uninitialise zeros, never unmapped memory.
struct HostBuffer {
    uint8_t *data = nullptr;
    size_t size = 0;
    size_t mapped = 0;  // bytes of the address range
    explicit HostBuffer(size_t bytes);
    ~HostBuffer();
    HostBuffer(const HostBuffer &) = delete;
    HostBuffer &operator=(const HostBuffer &) = delete;
};
// A buffer of at least `size` bytes (throws std::bad_alloc).
ZEME_INTERNAL std::shared_ptr<HostBuffer> acquireHostBuffer(size_t size);
ZEME_INTERNAL void recycleHostBuffer(std::shared_ptr<HostBuffer> buffer);
// Drops every buffer of the store (zemeSystemUninitialize).
ZEME_INTERNAL void clearHostBuffers();

// The bytes of a stream argument: `data` when set, else the device block range at
// `busAddress` (checked against the live blocks of the common library).
ZEME_INTERNAL uint32_t streamBytes(const zemeStream &stream, const uint8_t **bytes);

// The codec device a channel runs on: channel c on codec device c mod D of the inventory
// (D codec devices), as that die's sequence number and core c / D. UNSUPPORTED on a card
// without codec devices.
ZEME_INTERNAL uint32_t channelHardware(uint32_t channel, zemeHardwareID *hardware);
// The index of that codec device (-1 on a card without codec devices): where the
// channel's work is published in the usage registry.
ZEME_INTERNAL int32_t codecDevice(uint32_t channel);

// Stop and destroy every decoder or encoder channel (zemeSystemUninitialize).
ZEME_INTERNAL void destroyAllDecoders();
ZEME_INTERNAL void destroyAllEncoders();

// The number a caller stored in an enumeration field of a record, read without assuming
// that it is one of the enumeration's values.
template <class E> uint32_t rawValue(const E &field) {
    static_assert(sizeof(E) == sizeof(uint32_t), "a 32-bit field");
    uint32_t value;
    std::memcpy(&value, &field, sizeof value);
    return value;
}

// Runs `body`, turning an escaping exception into a status.
template <class Body> uint32_t guarded(Body &&body) {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return zemeER_RSLT_ERR_NO_MEMORY;
    } catch (...) {
        return zemeER_RSLT_ERR_START;
    }
}

}  // namespace zeme
