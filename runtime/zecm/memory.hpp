// Memory blocks of the common runtime. Device memory lives in host memory, but
// is accounted per device against the capacity the inventory gives it; model
// input/output memory counts against its device too. Every block is registered
// with its kind, device and size, so that any address or range handed to the
// runtime is checked against live blocks before it is touched.
#pragma once
#include <cstdint>

#include "zecm/runtime.hpp"
#include "zesim/queue.hpp"

namespace zecm {

inline bool isDeviceKind(zesim::Kind kind) {
    return kind == zesim::Kind::DeviceMemory || kind == zesim::Kind::ModelMemory;
}

// Allocates and registers a block of `kind` (DeviceMemory, ModelMemory on
// `device`; HostMemory ignores the device).
ZECM_INTERNAL uint32_t allocateBlock(zesim::Kind kind, uint64_t size, uint32_t device, void **block);
// Waits for queued work (which may still touch the block), then unregisters and
// frees a block of exactly this kind, given by its start address.
ZECM_INTERNAL uint32_t freeBlock(void *block, zesim::Kind kind);
// Unregisters and frees a block without waiting: for objects that own their memory
// and release it when they die (possibly on a worker thread).
ZECM_INTERNAL uint32_t releaseBlock(void *block, zesim::Kind kind);
// The live block holding all of [address, address + size); size 0 needs only
// the address to lie inside a block.
ZECM_INTERNAL uint32_t findRange(const void *address, uint64_t size, zesim::Entry *block);

// The default queue of a device (created on first use, kept for the process).
ZECM_INTERNAL zesim::TaskQueue &deviceQueue(uint32_t device);
// The queue a `stream` argument names: null gives the device's default queue,
// an op stream its own queue; null when the handle is neither.
ZECM_INTERNAL zesim::TaskQueue *resolveQueue(void *stream, uint32_t device);

}  // namespace zecm
