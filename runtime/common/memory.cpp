// Device, model input/output and host memory; synchronous and asynchronous
// copies and fills.
#include "common/memory.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace zecm {
namespace {

constexpr size_t kAlignment = 64;
constexpr size_t kHugePage = 2u << 20;
constexpr uint64_t kHugeThreshold = 4u << 20;

std::mutex usageMutex;
std::map<uint32_t, uint64_t> usedBytes;  // per device

// The memory of one block; freeing it gives the bytes back to the device.
struct Block {
    void *data = nullptr;
    uint64_t size = 0;
    bool onDevice = false;
    uint32_t device = 0;

    ~Block() {
        std::free(data);
        if (!onDevice) return;
        std::lock_guard<std::mutex> lock(usageMutex);
        usedBytes[device] -= size;
    }
};

bool reserve(uint32_t device, uint64_t size) {
    uint64_t capacity = zesim::inventory().aiDevices[device].memory;
    std::lock_guard<std::mutex> lock(usageMutex);
    uint64_t &used = usedBytes[device];
    if (size > capacity - used) return false;
    used += size;
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
    static std::mutex mutex;
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

// Checks that a copy of `size` bytes from `src` to `dst` is valid for `type`.
// Writes the device whose queue orders the copy.
uint32_t checkCopy(const void *src, const void *dst, uint64_t size, zecmCopyMemType type,
                   uint32_t *device) {
    if (!src || !dst) return zecmER_INVALID_PARAM;
    zesim::Entry from, to;
    if (uint32_t status = findRange(src, size, &from)) return status;
    if (uint32_t status = findRange(dst, size, &to)) return status;
    bool fromDevice = isDeviceKind(from.kind), toDevice = isDeviceKind(to.kind);
    switch (type) {
    case zecmCT_COPY_TO_DEVICE:
        if (fromDevice || !toDevice) return zecmER_INVALID_COPY;
        *device = static_cast<uint32_t>(to.device);
        return zecmER_SUCCESS;
    case zecmCT_COPY_FROM_DEVICE:
        if (!fromDevice || toDevice) return zecmER_INVALID_COPY;
        *device = static_cast<uint32_t>(from.device);
        return zecmER_SUCCESS;
    case zecmCT_COPY_DEVICE_TO_DEVICE:
        if (!fromDevice || !toDevice) return zecmER_INVALID_COPY;
        *device = static_cast<uint32_t>(to.device);
        return zecmER_SUCCESS;
    }
    return zecmER_INVALID_COPY;
}

// Checks the two ranges of a copy between devices: each must lie in device
// memory of the device named beside it.
uint32_t checkDeviceCopy(const void *src, uint32_t srcDevice, const void *dst, uint32_t dstDevice,
                         uint64_t size) {
    if (!src || !dst) return zecmER_INVALID_PARAM;
    if (uint32_t status = checkDevice(srcDevice)) return status;
    if (uint32_t status = checkDevice(dstDevice)) return status;
    zesim::Entry from, to;
    if (uint32_t status = findRange(src, size, &from)) return status;
    if (uint32_t status = findRange(dst, size, &to)) return status;
    if (!isDeviceKind(from.kind) || !isDeviceKind(to.kind)) return zecmER_INVALID_COPY;
    if (from.device != static_cast<int32_t>(srcDevice) || to.device != static_cast<int32_t>(dstDevice))
        return zecmER_INVALID_ADDRESS;
    return zecmER_SUCCESS;
}

uint32_t checkFill(const void *block, uint64_t size, uint32_t *device) {
    if (!block) return zecmER_INVALID_PARAM;
    zesim::Entry entry;
    if (uint32_t status = findRange(block, size, &entry)) return status;
    *device = entry.device == zesim::kNoDevice ? 0 : static_cast<uint32_t>(entry.device);
    return zecmER_SUCCESS;
}

// Queues a copy or fill on the queue `stream` names for `device`.
uint32_t enqueue(void *stream, uint32_t device, std::function<void()> work) {
    zesim::TaskQueue *queue = resolveQueue(stream, device);
    if (!queue) return zecmER_INVALID_HANDLE;
    queue->push(std::move(work));
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
        uint32_t device = 0;
        if (uint32_t status = checkCopy(src, dst, size, type, &device)) return status;
        zesim::drainAllQueues();
        std::memmove(dst, src, size);
        return zecmER_SUCCESS;
    };
}

uint32_t zecmMemcpyAsync(void *src, void *dst, uint64_t size, zecmCopyMemType type,
                         zecmStream *stream) {
    ZESIM_CALL(src, dst, size, type, stream) {
        uint32_t device = 0;
        if (uint32_t status = checkCopy(src, dst, size, type, &device)) return status;
        return enqueue(stream, device, [=] { std::memmove(dst, src, size); });
    };
}

uint32_t zecmMemcpyDevices(void *src, uint32_t srcDevice, void *dst, uint32_t dstDevice,
                           uint64_t size) {
    ZESIM_CALL(src, srcDevice, dst, dstDevice, size) {
        if (uint32_t status = checkDeviceCopy(src, srcDevice, dst, dstDevice, size)) return status;
        zesim::drainAllQueues();
        std::memmove(dst, src, size);
        return zecmER_SUCCESS;
    };
}

uint32_t zecmMemcpyDevicesAsync(void *src, uint32_t srcDevice, void *dst, uint32_t dstDevice,
                                uint64_t size, zecmStream *stream) {
    ZESIM_CALL(src, srcDevice, dst, dstDevice, size, stream) {
        if (uint32_t status = checkDeviceCopy(src, srcDevice, dst, dstDevice, size)) return status;
        return enqueue(stream, dstDevice, [=] { std::memmove(dst, src, size); });
    };
}

uint32_t zecmMemset(void *block, int32_t value, uint64_t size) {
    ZESIM_CALL(block, value, size) {
        uint32_t device = 0;
        if (uint32_t status = checkFill(block, size, &device)) return status;
        zesim::drainAllQueues();
        std::memset(block, value, size);
        return zecmER_SUCCESS;
    };
}

uint32_t zecmMemsetAsync(void *block, int32_t value, uint64_t size, zecmStream *stream) {
    ZESIM_CALL(block, value, size, stream) {
        uint32_t device = 0;
        if (uint32_t status = checkFill(block, size, &device)) return status;
        return enqueue(stream, device, [=] { std::memset(block, value, size); });
    };
}
