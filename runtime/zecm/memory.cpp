// Device, model input/output and host memory; synchronous and asynchronous
// copies and fills.
#include "zecm/memory.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "zesim/thread_safety.hpp"
#include "zesim/usage.hpp"

namespace zecm {
namespace {

constexpr size_t kAlignment = 64;
constexpr size_t kHugePage = 2u << 20;
constexpr uint64_t kHugeThreshold = 4u << 20;

zesim::Mutex usageMutex;
std::map<uint32_t, uint64_t> usedBytes GUARDED_BY(usageMutex);  // per device

// The memory of one block; freeing it gives the bytes back to the device.
struct Block {
    void *data = nullptr;
    uint64_t size = 0;
    bool onDevice = false;
    uint32_t device = 0;

    ~Block() {
        std::free(data);
        if (!onDevice) return;
        zesim::usage::addMemory(device, -static_cast<int64_t>(size));
        zesim::MutexLock lock(usageMutex);
        usedBytes[device] -= size;
    }
};

// Reserves the bytes on the device and publishes them in the usage registry.
bool reserve(uint32_t device, uint64_t size) {
    uint64_t capacity = zesim::inventory().aiDevices[device].memory;
    {
        zesim::MutexLock lock(usageMutex);
        uint64_t &used = usedBytes[device];
        if (size > capacity - used) return false;
        used += size;
    }
    zesim::usage::addMemory(device, static_cast<int64_t>(size));
    return true;
}

// Large blocks are backed by huge pages where the kernel offers them on request:
// far fewer page faults and TLB misses for bulk copies.
void *allocateAligned(uint64_t size) {
    size_t alignment = size >= kHugeThreshold ? kHugePage : kAlignment;
    if (size > SIZE_MAX - alignment) return nullptr;
    size_t rounded = (static_cast<size_t>(size) + alignment - 1) / alignment * alignment;
    void *memory = std::aligned_alloc(alignment, rounded);
    if (memory && alignment == kHugePage) madvise(memory, rounded, MADV_HUGEPAGE);
    return memory;
}

}  // namespace

uint32_t allocateBlock(zesim::Kind kind, uint64_t size, uint32_t device, void **block) {
    if (!block || size == 0) return zecmER_INVALID_PARAM;
    auto memory = std::make_shared<Block>();
    memory->size = size;
    memory->onDevice = isDeviceKind(kind);
    memory->device = device;
    if (memory->onDevice && !reserve(device, size)) {
        memory->onDevice = false;  // nothing reserved to give back
        return zecmER_OUT_OF_MEMORY;
    }
    memory->data = allocateAligned(size);
    if (!memory->data) return zecmER_OUT_OF_MEMORY;
    *block = memory->data;
    int32_t owner = memory->onDevice ? static_cast<int32_t>(device) : zesim::kNoDevice;
    zesim::registerHandle({memory->data, kind, owner, size, std::move(memory)});
    return zecmER_SUCCESS;
}

uint32_t freeBlock(void *block, zesim::Kind kind) {
    if (!zesim::findHandle(block, kind)) return zecmER_INVALID_ADDRESS;
    zesim::drainAllQueues();
    return releaseBlock(block, kind);
}

uint32_t releaseBlock(void *block, zesim::Kind kind) {
    return zesim::unregisterHandle(block, kind) ? zecmER_SUCCESS : zecmER_INVALID_ADDRESS;
}

uint32_t findRange(const void *address, uint64_t size, zesim::Entry *block) {
    if (!zesim::findBlock(address, block)) return zecmER_INVALID_ADDRESS;
    uint64_t offset = static_cast<const char *>(address) - static_cast<const char *>(block->handle);
    if (size > block->size - offset) return zecmER_INVALID_ADDRESS;
    return zecmER_SUCCESS;
}

zesim::TaskQueue &deviceQueue(uint32_t device) {
    static std::mutex &mutex = *new std::mutex;  // never destroyed, like the queues
    static auto *queues = new std::map<uint32_t, std::shared_ptr<zesim::TaskQueue>>();  // kept for the process
    std::lock_guard<std::mutex> lock(mutex);
    auto &queue = (*queues)[device];
    if (!queue) {
        queue = std::make_shared<zesim::SerialQueue>();
        zesim::trackQueue(queue);
    }
    return *queue;
}

zesim::TaskQueue *resolveQueue(void *stream, uint32_t device) {
    if (!stream) return &deviceQueue(device);
    zesim::Entry entry;
    if (!zesim::findEntry(stream, zesim::Kind::OpStream, &entry) || !entry.queue) return nullptr;
    return entry.queue.get();
}

}  // namespace zecm

using namespace zecm;

namespace {

uint32_t allocateOnCurrentDevice(zesim::Kind kind, uint64_t size, void **block) {
    uint32_t device = 0;
    if (uint32_t status = currentDevice(&device)) return status;
    return allocateBlock(kind, size, device, block);
}

// One side of a copy. Device memory must lie in a live device or model block.
// Host memory may lie in a live host block (then the range must fit it) or be
// memory of the caller's own that the card does not know (a plain malloc, a
// NumPy array), which it takes on trust.
uint32_t checkSide(const void *address, uint64_t size, bool device, zesim::Entry *block) {
    if (!address) return zecmER_INVALID_PARAM;
    if (!zesim::findBlock(address, block)) {
        if (device) return zecmER_INVALID_ADDRESS;
        *block = zesim::Entry{address, zesim::Kind::HostMemory, zesim::kNoDevice, size, nullptr};
        return zecmER_SUCCESS;
    }
    if (isDeviceKind(block->kind) != device) return zecmER_INVALID_COPY;
    return findRange(address, size, block);
}

// Checks that a copy of `size` bytes from `src` to `dst` is valid for `type`.
// Writes the two blocks and the device whose queue orders the copy.
uint32_t checkCopy(const void *src, const void *dst, uint64_t size, zecmCopyMemType type, zesim::Entry *from,
                   zesim::Entry *to, uint32_t *device) {
    if (type != zecmCT_COPY_TO_DEVICE && type != zecmCT_COPY_FROM_DEVICE && type != zecmCT_COPY_DEVICE_TO_DEVICE)
        return zecmER_INVALID_COPY;
    bool fromDevice = type != zecmCT_COPY_TO_DEVICE, toDevice = type != zecmCT_COPY_FROM_DEVICE;
    if (uint32_t status = checkSide(src, size, fromDevice, from)) return status;
    if (uint32_t status = checkSide(dst, size, toDevice, to)) return status;
    *device = static_cast<uint32_t>(toDevice ? to->device : from->device);
    return zecmER_SUCCESS;
}

// Checks the two ranges of a copy between devices: each must lie in device
// memory of the device named beside it.
uint32_t checkDeviceCopy(const void *src, uint32_t srcDevice, const void *dst, uint32_t dstDevice, uint64_t size,
                         zesim::Entry *from, zesim::Entry *to) {
    if (!src || !dst) return zecmER_INVALID_PARAM;
    if (uint32_t status = checkDevice(srcDevice)) return status;
    if (uint32_t status = checkDevice(dstDevice)) return status;
    if (uint32_t status = findRange(src, size, from)) return status;
    if (uint32_t status = findRange(dst, size, to)) return status;
    if (!isDeviceKind(from->kind) || !isDeviceKind(to->kind)) return zecmER_INVALID_COPY;
    if (from->device != static_cast<int32_t>(srcDevice) || to->device != static_cast<int32_t>(dstDevice))
        return zecmER_INVALID_ADDRESS;
    return zecmER_SUCCESS;
}

uint32_t checkFill(const void *block, uint64_t size, zesim::Entry *entry, uint32_t *device) {
    if (!block) return zecmER_INVALID_PARAM;
    if (uint32_t status = findRange(block, size, entry)) return status;
    *device = entry->device == zesim::kNoDevice ? 0 : static_cast<uint32_t>(entry->device);
    return zecmER_SUCCESS;
}

// Queues a copy or fill on the queue `stream` names for `device`. The task holds
// the blocks it touches, so their memory outlives a free that comes first.
uint32_t enqueue(void *stream, uint32_t device, std::vector<std::shared_ptr<void>> blocks, std::function<void()> work) {
    zesim::TaskQueue *queue = resolveQueue(stream, device);
    if (!queue) return zecmER_INVALID_HANDLE;
    queue->push([blocks = std::move(blocks), work = std::move(work)] { work(); });
    return zecmER_SUCCESS;
}

}  // namespace

uint32_t zecmMalloc(uint64_t size, void **block) {
    ZESIM_CALL(size, block) { return allocateOnCurrentDevice(zesim::Kind::DeviceMemory, size, block); };
}

uint32_t zecmFree(void *block) {
    ZESIM_CALL(block) { return freeBlock(block, zesim::Kind::DeviceMemory); };
}

uint32_t zecmMallocModelInOut(uint64_t size, void **block) {
    ZESIM_CALL(size, block) { return allocateOnCurrentDevice(zesim::Kind::ModelMemory, size, block); };
}

uint32_t zecmFreeModelInOut(void *block) {
    ZESIM_CALL(block) { return freeBlock(block, zesim::Kind::ModelMemory); };
}

uint32_t zecmMallocHost(uint64_t size, void **block) {
    ZESIM_CALL(size, block) {
        if (uint32_t status = checkInitialized()) return status;
        return allocateBlock(zesim::Kind::HostMemory, size, 0, block);
    };
}

uint32_t zecmFreeHost(void *block) {
    ZESIM_CALL(block) { return freeBlock(block, zesim::Kind::HostMemory); };
}

uint32_t zecmMemcpy(void *src, void *dst, uint64_t size, zecmCopyMemType type) {
    ZESIM_CALL(src, dst, size, type) {
        zesim::Entry from, to;
        uint32_t device = 0;
        if (uint32_t status = checkCopy(src, dst, size, type, &from, &to, &device)) return status;
        zesim::drainAllQueues();
        std::memmove(dst, src, size);
        return zecmER_SUCCESS;
    };
}

uint32_t zecmMemcpyAsync(void *src, void *dst, uint64_t size, zecmCopyMemType type, zecmStream *stream) {
    ZESIM_CALL(src, dst, size, type, stream) {
        zesim::Entry from, to;
        uint32_t device = 0;
        if (uint32_t status = checkCopy(src, dst, size, type, &from, &to, &device)) return status;
        return enqueue(stream, device, {from.object, to.object}, [=] { std::memmove(dst, src, size); });
    };
}

uint32_t zecmMemcpyDevices(void *src, uint32_t srcDevice, void *dst, uint32_t dstDevice, uint64_t size) {
    ZESIM_CALL(src, srcDevice, dst, dstDevice, size) {
        zesim::Entry from, to;
        if (uint32_t status = checkDeviceCopy(src, srcDevice, dst, dstDevice, size, &from, &to)) return status;
        zesim::drainAllQueues();
        std::memmove(dst, src, size);
        return zecmER_SUCCESS;
    };
}

uint32_t zecmMemcpyDevicesAsync(void *src, uint32_t srcDevice, void *dst, uint32_t dstDevice, uint64_t size,
                                zecmStream *stream) {
    ZESIM_CALL(src, srcDevice, dst, dstDevice, size, stream) {
        zesim::Entry from, to;
        if (uint32_t status = checkDeviceCopy(src, srcDevice, dst, dstDevice, size, &from, &to)) return status;
        return enqueue(stream, dstDevice, {from.object, to.object}, [=] { std::memmove(dst, src, size); });
    };
}

uint32_t zecmMemset(void *block, int32_t value, uint64_t size) {
    ZESIM_CALL(block, value, size) {
        zesim::Entry entry;
        uint32_t device = 0;
        if (uint32_t status = checkFill(block, size, &entry, &device)) return status;
        zesim::drainAllQueues();
        std::memset(block, value, size);
        return zecmER_SUCCESS;
    };
}

uint32_t zecmMemsetAsync(void *block, int32_t value, uint64_t size, zecmStream *stream) {
    ZESIM_CALL(block, value, size, stream) {
        zesim::Entry entry;
        uint32_t device = 0;
        if (uint32_t status = checkFill(block, size, &entry, &device)) return status;
        return enqueue(stream, device, {entry.object}, [=] { std::memset(block, value, size); });
    };
}
