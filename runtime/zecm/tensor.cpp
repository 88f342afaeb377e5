// Tensors: typed, shaped data on a device. createTensor allocates the data
// itself (device memory for zecmDE_ZECC, host memory for zecmDE_CPU) and frees it
// with the tensor. A tensor made over a data handle either describes the
// caller's memory (flag 0) or takes over a block the card allocated (flag
// non-zero) and frees it when it is destroyed or given other data.
//
// The data always covers the shape: a shape or data type needing more bytes
// than the data's block holds is refused (zecmER_INVALID_ADDRESS), never
// reallocated, so a data handle read from a tensor stays valid until the tensor
// lets go of it.
#include <algorithm>
#include <map>
#include <mutex>

#include "zecm/objects.hpp"

namespace zecm {

bool tensorBytes(const zecmShape &shape, zecmDType type, uint64_t *bytes) {
    if (shape.ndims > ZECM_MAX_DIMS) return false;
    uint64_t total = dataTypeSize(type);
    if (total == 0) return false;
    for (uint32_t i = 0; i < shape.ndims; ++i) {
        if (shape.dims[i] < 0) return false;
        if (__builtin_mul_overflow(total, static_cast<uint64_t>(shape.dims[i]), &total)) return false;
    }
    if (bytes) *bytes = total;
    return true;
}

std::shared_ptr<Tensor> findTensor(const void *handle) { return zesim::find<Tensor>(handle, zesim::Kind::Tensor); }

}  // namespace zecm

using namespace zecm;

namespace {

// Hand-overs of memory to tensors are ordered by one lock, under which every
// change of a tensor's `owned` is made. `owners` remembers which tensor took
// which block, so that one block is never owned (and later freed) twice.
std::mutex ownershipMutex;
std::map<const void *, std::weak_ptr<Tensor>> owners;
size_t pruneAt = 64;

void recordOwner(const void *block, const std::shared_ptr<Tensor> &tensor) {
    owners[block] = tensor;
    if (owners.size() < pruneAt) return;
    for (auto it = owners.begin(); it != owners.end();) it = it->second.expired() ? owners.erase(it) : std::next(it);
    pruneAt = std::max<size_t>(64, owners.size() * 2);
}

// Whether a live tensor other than `self` owns `block`. Needs ownershipMutex.
bool ownedElsewhere(const void *block, const Tensor *self) {
    auto found = owners.find(block);
    if (found == owners.end()) return false;
    auto owner = found->second.lock();
    return owner && owner.get() != self && owner->owned && owner->owned->block == block;
}

// A valid shape of 1 to 6 non-negative dimensions and a type with a size; the
// bytes they need.
uint32_t checkShape(const zecmShape &shape, zecmDType type, uint64_t *bytes) {
    if (dataTypeSize(type) == 0) return zecmER_INVALID_DATATYPE;
    if (shape.ndims == 0 || shape.ndims > ZECM_MAX_DIMS) return zecmER_INVALID_PARAM;
    if (!tensorBytes(shape, type, bytes)) return zecmER_INVALID_PARAM;
    return zecmER_SUCCESS;
}

// The shape as stored: entries past the dimension count read as 0.
zecmShape normalized(const zecmShape &shape) {
    zecmShape stored{};
    stored.ndims = shape.ndims;
    for (uint32_t i = 0; i < shape.ndims && i < ZECM_MAX_DIMS; ++i) stored.dims[i] = shape.dims[i];
    return stored;
}

// The kind of the live block starting at `data` that a tensor of `info` may own:
// device or model memory of its device, or host memory.
bool ownableBlock(const zecmDeviceInfo &info, const void *data, zesim::Entry *block) {
    if (info.deviceType == zecmDE_CPU) return zesim::findEntry(data, zesim::Kind::HostMemory, block);
    for (zesim::Kind kind : {zesim::Kind::DeviceMemory, zesim::Kind::ModelMemory})
        if (zesim::findEntry(data, kind, block)) return block->device == static_cast<int32_t>(info.deviceIdx);
    return false;
}

// Checks `bytes` of data at `data` for a tensor of `info`; with `owned`, the data
// must be a whole block of the card that no other tensor owns, and `taken`
// receives it. Needs ownershipMutex.
uint32_t takeData(const zecmDeviceInfo &info, void *data, uint32_t owned, uint64_t bytes, const Tensor *self,
                  std::unique_ptr<OwnedBlock> *taken) {
    if (!owned) return checkMemory(info, data, bytes);
    if (!data) return zecmER_INVALID_PARAM;
    zesim::Entry block;
    if (!ownableBlock(info, data, &block) || bytes > block.size) return zecmER_INVALID_ADDRESS;
    if (ownedElsewhere(data, self)) return zecmER_INVALID_PARAM;
    *taken = std::make_unique<OwnedBlock>(data, block.kind);
    return zecmER_SUCCESS;
}

std::shared_ptr<Tensor> makeTensor(const zecmDeviceInfo &info, zecmDType type, const zecmShape &shape) {
    auto tensor = std::make_shared<Tensor>();
    tensor->info = info;
    tensor->type = type;
    tensor->shape = normalized(shape);
    return tensor;
}

// The bytes a tensor needs with this shape and type must lie in its data.
uint32_t checkFits(const Tensor &tensor, const zecmShape &shape, zecmDType type) {
    uint64_t bytes = 0;
    if (uint32_t status = checkShape(shape, type, &bytes)) return status;
    return checkMemory(tensor.info, tensor.data, bytes);
}

}  // namespace

uint32_t zecmCreateTensor(zecmDeviceInfo info, zecmDType type, zecmTensor **tensor, zecmShape shape) {
    ZESIM_CALL(info, type, tensor, shape) {
        if (!tensor) return zecmER_INVALID_PARAM;
        if (uint32_t status = checkDeviceInfo(info)) return status;
        uint64_t bytes = 0;
        if (uint32_t status = checkShape(shape, type, &bytes)) return status;
        auto object = makeTensor(info, type, shape);
        if (bytes) {  // an empty tensor has no data
            zesim::Kind kind = info.deviceType == zecmDE_ZECC ? zesim::Kind::DeviceMemory : zesim::Kind::HostMemory;
            if (uint32_t status = allocateBlock(kind, bytes, info.deviceIdx, &object->data)) return status;
            object->owned = std::make_unique<OwnedBlock>(object->data, kind);
            std::lock_guard<std::mutex> lock(ownershipMutex);
            recordOwner(object->data, object);
        }
        *tensor = zesim::adopt(std::move(object), zesim::Kind::Tensor, registryDevice(info));
        return zecmER_SUCCESS;
    };
}

uint32_t zecmCreateTensorWithDataHandle(zecmDeviceInfo info, zecmDType type, void *data, uint32_t owned,
                                        zecmTensor **tensor, zecmShape shape) {
    ZESIM_CALL(info, type, data, owned, tensor, shape) {
        if (!tensor) return zecmER_INVALID_PARAM;
        if (uint32_t status = checkDeviceInfo(info)) return status;
        uint64_t bytes = 0;
        if (uint32_t status = checkShape(shape, type, &bytes)) return status;
        auto object = makeTensor(info, type, shape);
        object->data = data;
        std::lock_guard<std::mutex> lock(ownershipMutex);
        if (uint32_t status = takeData(info, data, owned, bytes, nullptr, &object->owned)) return status;
        if (object->owned) recordOwner(data, object);
        *tensor = zesim::adopt(std::move(object), zesim::Kind::Tensor, registryDevice(info));
        return zecmER_SUCCESS;
    };
}

uint32_t zecmDestroyTensor(zecmTensor *tensor) {
    ZESIM_CALL(tensor) {
        auto object = std::static_pointer_cast<Tensor>(zesim::unregisterHandle(tensor, zesim::Kind::Tensor));
        if (!object) return zecmER_INVALID_HANDLE;
        // Memory the tensor owns may still be touched by queued copies.
        if (object->owned) zesim::drainAllQueues();
        return zecmER_SUCCESS;
    };
}

uint32_t zecmGetTensorDataHandle(zecmTensor *tensor, void **data) {
    ZESIM_CALL(tensor, data) {
        auto object = findTensor(tensor);
        if (!object) return zecmER_INVALID_HANDLE;
        if (!data) return zecmER_INVALID_PARAM;
        std::lock_guard<std::mutex> lock(object->mutex);
        *data = object->data;
        return zecmER_SUCCESS;
    };
}

// Gives the tensor other data, checked against its current shape and type.
// Memory the tensor owned is freed, unless the new data is that same block: with
// a non-zero flag the tensor keeps owning it, with 0 it hands it back to the
// caller. Data elsewhere inside the owned block is refused: it would dangle.
uint32_t zecmSetTensorDataHandle(zecmTensor *tensor, void *data, uint32_t owned) {
    ZESIM_CALL(tensor, data, owned) {
        auto object = findTensor(tensor);
        if (!object) return zecmER_INVALID_HANDLE;
        std::unique_ptr<OwnedBlock> previous;
        {
            std::lock_guard<std::mutex> ownership(ownershipMutex);
            std::lock_guard<std::mutex> lock(object->mutex);
            bool same = object->owned && object->owned->block == data;
            if (same && owned) return zecmER_SUCCESS;
            // Data inside a block the tensor is about to free would dangle.
            zesim::Entry block;
            if (object->owned && !same && zesim::findBlock(data, &block) && block.handle == object->owned->block)
                return zecmER_INVALID_ADDRESS;
            uint64_t bytes = 0;
            tensorBytes(object->shape, object->type, &bytes);
            std::unique_ptr<OwnedBlock> taken;
            if (uint32_t status = takeData(object->info, data, owned, bytes, object.get(), &taken)) return status;
            previous = std::move(object->owned);
            if (same) previous->block = nullptr;  // back to the caller, not freed
            object->data = data;
            object->owned = std::move(taken);
            if (object->owned) recordOwner(data, object);
        }
        if (previous && previous->block) zesim::drainAllQueues();
        return zecmER_SUCCESS;
    };
}

uint32_t zecmGetTensorDeviceInfo(zecmTensor *tensor, zecmDeviceInfo *info) {
    ZESIM_CALL(tensor, info) {
        auto object = findTensor(tensor);
        if (!object) return zecmER_INVALID_HANDLE;
        if (!info) return zecmER_INVALID_PARAM;
        *info = object->info;  // fixed at creation
        return zecmER_SUCCESS;
    };
}

uint32_t zecmGetTensorShape(zecmTensor *tensor, zecmShape *shape) {
    ZESIM_CALL(tensor, shape) {
        auto object = findTensor(tensor);
        if (!object) return zecmER_INVALID_HANDLE;
        if (!shape) return zecmER_INVALID_PARAM;
        std::lock_guard<std::mutex> lock(object->mutex);
        *shape = object->shape;
        return zecmER_SUCCESS;
    };
}

uint32_t zecmSetTensorShape(zecmTensor *tensor, const zecmShape *shape) {
    ZESIM_CALL(tensor, shape) {
        auto object = findTensor(tensor);
        if (!object) return zecmER_INVALID_HANDLE;
        if (!shape) return zecmER_INVALID_PARAM;
        std::lock_guard<std::mutex> lock(object->mutex);
        if (uint32_t status = checkFits(*object, *shape, object->type)) return status;
        object->shape = normalized(*shape);
        return zecmER_SUCCESS;
    };
}

uint32_t zecmGetTensorDataType(zecmTensor *tensor, zecmDType *type) {
    ZESIM_CALL(tensor, type) {
        auto object = findTensor(tensor);
        if (!object) return zecmER_INVALID_HANDLE;
        if (!type) return zecmER_INVALID_PARAM;
        std::lock_guard<std::mutex> lock(object->mutex);
        *type = object->type;
        return zecmER_SUCCESS;
    };
}

uint32_t zecmSetTensorDataType(zecmTensor *tensor, zecmDType type) {
    ZESIM_CALL(tensor, type) {
        auto object = findTensor(tensor);
        if (!object) return zecmER_INVALID_HANDLE;
        std::lock_guard<std::mutex> lock(object->mutex);
        if (uint32_t status = checkFits(*object, object->shape, type)) return status;
        object->type = type;
        return zecmER_SUCCESS;
    };
}

uint32_t zecmGetTensorSize(zecmTensor *tensor, uint64_t *size) {
    ZESIM_CALL(tensor, size) {
        auto object = findTensor(tensor);
        if (!object) return zecmER_INVALID_HANDLE;
        if (!size) return zecmER_INVALID_PARAM;
        std::lock_guard<std::mutex> lock(object->mutex);
        uint64_t bytes = 0;
        tensorBytes(object->shape, object->type, &bytes);
        *size = bytes;
        return zecmER_SUCCESS;
    };
}
