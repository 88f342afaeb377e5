// The handle registry shared by every library of the software card. Each handle
// a library hands out is registered with its kind, so that a null, stale,
// destroyed or wrong-kind handle is answered with an error status, never
// dereferenced. Objects are held by shared pointers: a call that found an object
// keeps it alive even if another thread destroys its handle meanwhile.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "zesim/call.hpp"
#include "zesim/queue.hpp"

namespace zesim {

enum class Kind : uint32_t {
    Context = 1,
    DeviceMemory,
    ModelMemory,
    HostMemory,
    DataBuffer,
    Tensor,
    Dataset,
    Model,
    OpGraph,
    Op,
    OpStream,
    PreprocessOp,
    CustomizedOps,
};

constexpr int32_t kNoDevice = -1;

struct Entry {
    const void *handle = nullptr;
    Kind kind{};
    int32_t device = kNoDevice;  // the device whose reset releases the object
    uint64_t size = 0;           // bytes covered from the handle on (memory blocks)
    std::shared_ptr<void> object;
    std::shared_ptr<TaskQueue> queue;  // op streams: the queue that orders their work
};

ZESIM_EXPORT void registerHandle(Entry entry);
// The object of a live handle of this kind, or null.
ZESIM_EXPORT std::shared_ptr<void> findHandle(const void *handle, Kind kind);
// Removes a live handle of this kind; returns its object, or null if there was none.
ZESIM_EXPORT std::shared_ptr<void> unregisterHandle(const void *handle, Kind kind);
// The whole entry of a live handle of this kind.
ZESIM_EXPORT bool findEntry(const void *handle, Kind kind, Entry *entry);
// The live block whose range [handle, handle + size) holds `address`.
ZESIM_EXPORT bool findBlock(const void *address, Entry *block);
// Removes every handle bound to the device (or, for kNoDevice, every handle).
ZESIM_EXPORT std::vector<Entry> unregisterDevice(int32_t device);
// Waits until the queues of the live handles bound to the device (or, for kNoDevice,
// of every live handle) have run what was pushed so far: op streams deliver the runs
// queued before a reset while their handles, and so their outputs, are still there.
ZESIM_EXPORT void drainHandleQueues(int32_t device);

template <class T> std::shared_ptr<T> find(const void *handle, Kind kind) {
    return std::static_pointer_cast<T>(findHandle(handle, kind));
}

// Registers a new object under its own address and returns that handle.
template <class T> T *adopt(std::shared_ptr<T> object, Kind kind, int32_t device = kNoDevice) {
    T *handle = object.get();
    registerHandle({handle, kind, device, 0, std::move(object)});
    return handle;
}

}  // namespace zesim
