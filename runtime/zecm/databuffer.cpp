// Data buffers: a memory range together with the device it lives on. A data
// buffer describes memory; it owns it only when the card made it with memory of
// its own (newDataBuffer with an OwnedBlock, e.g. model outputs).
#include <cstdint>

#include "zecm/objects.hpp"

namespace zecm {

uint32_t checkDeviceInfo(const zecmDeviceInfo &info) {
    if (uint32_t status = checkInitialized()) return status;
    switch (info.deviceType) {
    case zecmDE_CPU: return zecmER_SUCCESS;  // host memory: the index means nothing and is kept as given
    case zecmDE_ZECC: return checkDevice(info.deviceIdx);
    }
    return zecmER_INVALID_PARAM;
}

uint32_t checkMemory(const zecmDeviceInfo &info, const void *address, uint64_t size) {
    if (!address) return size == 0 ? zecmER_SUCCESS : zecmER_INVALID_PARAM;
    auto start = reinterpret_cast<uintptr_t>(address);
    if (size > UINTPTR_MAX - start) return zecmER_INVALID_ADDRESS;
    zesim::Entry block;
    if (!zesim::findBlock(address, &block)) {
        // The caller's own host memory (a stack or heap buffer, a NumPy array) is
        // unknown to the card but may be described; device memory comes only from it.
        return info.deviceType == zecmDE_CPU ? zecmER_SUCCESS : zecmER_INVALID_ADDRESS;
    }
    uint64_t offset = start - reinterpret_cast<uintptr_t>(block.handle);
    if (size > block.size - offset) return zecmER_INVALID_ADDRESS;
    if (info.deviceType == zecmDE_ZECC &&
        (!isDeviceKind(block.kind) || block.device != static_cast<int32_t>(info.deviceIdx)))
        return zecmER_INVALID_ADDRESS;
    return zecmER_SUCCESS;
}

std::shared_ptr<DataBuffer> findDataBuffer(const void *handle) {
    return zesim::find<DataBuffer>(handle, zesim::Kind::DataBuffer);
}

void *newDataBuffer(const zecmDeviceInfo &info, void *address, uint64_t size, std::unique_ptr<OwnedBlock> owned) {
    auto buffer = std::make_shared<DataBuffer>();
    buffer->info = info;
    buffer->address = address;
    buffer->size = size;
    buffer->owned = std::move(owned);
    return zesim::adopt(std::move(buffer), zesim::Kind::DataBuffer, registryDevice(info));
}

}  // namespace zecm

using namespace zecm;

namespace {

// The device a buffer made "from the context" lives on: the calling thread's
// current context's device, else the device selected by the process. Host
// buffers need no device: without either they get index 0.
uint32_t contextDeviceInfo(zecmDeviceType type, zecmDeviceInfo *info) {
    info->deviceType = type;
    info->deviceIdx = 0;
    if (currentContextDevice(&info->deviceIdx)) return zecmER_SUCCESS;
    uint32_t status = currentDevice(&info->deviceIdx);
    if (status && type == zecmDE_CPU) return zecmER_SUCCESS;
    return status;
}

uint32_t createBuffer(const zecmDeviceInfo &info, void *address, uint64_t size, zecmDataBuffer **buffer) {
    if (!buffer) return zecmER_INVALID_PARAM;
    if (uint32_t status = checkDeviceInfo(info)) return status;
    if (uint32_t status = checkMemory(info, address, size)) return status;
    *buffer = newDataBuffer(info, address, size, nullptr);
    return zecmER_SUCCESS;
}

}  // namespace

uint32_t zecmCreateDataBuffer(zecmDeviceInfo info, void *address, uint64_t size, zecmDataBuffer **buffer) {
    ZESIM_CALL(info, address, size, buffer) { return createBuffer(info, address, size, buffer); };
}

uint32_t zecmCreateDataBufferFromContext(zecmDeviceType type, void *address, uint64_t size, zecmDataBuffer **buffer) {
    ZESIM_CALL(type, address, size, buffer) {
        if (!buffer) return zecmER_INVALID_PARAM;
        if (uint32_t status = checkInitialized()) return status;
        if (type != zecmDE_CPU && type != zecmDE_ZECC) return zecmER_INVALID_PARAM;
        zecmDeviceInfo info{};
        if (uint32_t status = contextDeviceInfo(type, &info)) return status;
        return createBuffer(info, address, size, buffer);
    };
}

uint32_t zecmDestroyDataBuffer(zecmDataBuffer *buffer) {
    ZESIM_CALL(buffer) {
        auto object = std::static_pointer_cast<DataBuffer>(zesim::unregisterHandle(buffer, zesim::Kind::DataBuffer));
        if (!object) return zecmER_INVALID_HANDLE;
        // Memory the buffer owns may still be touched by queued copies.
        if (object->owned) zesim::drainAllQueues();
        return zecmER_SUCCESS;
    };
}

uint32_t zecmGetDataBufferAddr(zecmDataBuffer *buffer, void **address) {
    ZESIM_CALL(buffer, address) {
        auto object = findDataBuffer(buffer);
        if (!object) return zecmER_INVALID_HANDLE;
        if (!address) return zecmER_INVALID_PARAM;
        std::lock_guard<std::mutex> lock(object->mutex);
        *address = object->address;
        return zecmER_SUCCESS;
    };
}

uint32_t zecmGetDataBufferSize(zecmDataBuffer *buffer, uint64_t *size) {
    ZESIM_CALL(buffer, size) {
        auto object = findDataBuffer(buffer);
        if (!object) return zecmER_INVALID_HANDLE;
        if (!size) return zecmER_INVALID_PARAM;
        std::lock_guard<std::mutex> lock(object->mutex);
        *size = object->size;
        return zecmER_SUCCESS;
    };
}

uint32_t zecmGetDataBufferDeviceInfo(zecmDataBuffer *buffer, zecmDeviceInfo *info) {
    ZESIM_CALL(buffer, info) {
        auto object = findDataBuffer(buffer);
        if (!object) return zecmER_INVALID_HANDLE;
        if (!info) return zecmER_INVALID_PARAM;
        std::lock_guard<std::mutex> lock(object->mutex);
        *info = object->info;
        return zecmER_SUCCESS;
    };
}

// Points the buffer at other memory. Memory the buffer owned is released unless
// the new range starts at it (a range elsewhere inside it is refused). A buffer
// moved to another device is then released by that device's reset.
uint32_t zecmUpdateDataBuffer(zecmDataBuffer *buffer, zecmDeviceInfo info, void *address, uint64_t size) {
    ZESIM_CALL(buffer, info, address, size) {
        auto object = findDataBuffer(buffer);
        if (!object) return zecmER_INVALID_HANDLE;
        if (uint32_t status = checkDeviceInfo(info)) return status;
        if (uint32_t status = checkMemory(info, address, size)) return status;
        std::unique_ptr<OwnedBlock> released;
        bool moved = false;
        {
            std::lock_guard<std::mutex> lock(object->mutex);
            // A range inside owned memory that is about to be freed would dangle.
            zesim::Entry block;
            if (object->owned && object->owned->block != address && zesim::findBlock(address, &block) &&
                block.handle == object->owned->block)
                return zecmER_INVALID_ADDRESS;
            moved = registryDevice(object->info) != registryDevice(info);
            object->info = info;
            object->address = address;
            object->size = size;
            if (object->owned && object->owned->block != address) released = std::move(object->owned);
        }
        if (released) zesim::drainAllQueues();
        // Re-register under the new device, unless the handle was destroyed meanwhile.
        if (moved && zesim::findHandle(buffer, zesim::Kind::DataBuffer) == object)
            zesim::registerHandle({buffer, zesim::Kind::DataBuffer, registryDevice(info), 0, object});
        return zecmER_SUCCESS;
    };
}
