// Data buffers, tensors and datasets of the common runtime, as the compute
// library sees them too. Each is registered in the handle registry under its
// own address; functions here do no tracing and no injection (they are for use
// inside the card, not by its callers).
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "zecm/memory.hpp"

namespace zecm {

// Memory that an object allocated itself and frees when it dies (see releaseBlock).
struct OwnedBlock {
    void *block = nullptr;
    zesim::Kind kind = zesim::Kind::DeviceMemory;
    OwnedBlock() = default;
    OwnedBlock(void *b, zesim::Kind k) : block(b), kind(k) {}
    OwnedBlock(const OwnedBlock &) = delete;
    OwnedBlock &operator=(const OwnedBlock &) = delete;
    ~OwnedBlock() {
        if (block) releaseBlock(block, kind);
    }
};

struct DataBuffer {
    std::mutex mutex;  // guards the fields against a concurrent update
    zecmDeviceInfo info{};
    void *address = nullptr;
    uint64_t size = 0;
    std::unique_ptr<OwnedBlock> owned;  // set when the runtime allocated the memory
};

struct Tensor {
    std::mutex mutex;
    zecmDeviceInfo info{};
    zecmShape shape{};
    zecmDType type = zecmDT_UINT8;
    void *data = nullptr;
    std::unique_ptr<OwnedBlock> owned;  // runtime-allocated data, or caller data handed over
};

struct Dataset {
    mutable std::mutex mutex;
    zecmDatasetMode mode = zecmDM_BUFFER;
    std::vector<void *> members;  // data buffer or tensor handles, in order
    // The objects the member handles named when they were added (parallel to
    // `members`): a handle destroyed since and reused by a new object is not
    // mistaken for the member.
    std::vector<std::weak_ptr<void>> objects;
    void *userCtx = nullptr;
};

// The device a device information names for the registry: its index for device
// memory, none for host (CPU) memory.
inline int32_t registryDevice(const zecmDeviceInfo &info) {
    return info.deviceType == zecmDE_ZECC ? static_cast<int32_t>(info.deviceIdx) : zesim::kNoDevice;
}

// zecmER_SUCCESS when the device information names host memory (zecmDE_CPU, any
// index) or an AI device of the inventory (zecmDE_ZECC); needs an initialised runtime.
ZECM_INTERNAL uint32_t checkDeviceInfo(const zecmDeviceInfo &info);
// Whether `size` bytes at `address` may be described as memory of `info`: null only
// with size 0; a range inside a live block must fit it; device memory must be a
// device block of that device; host memory may also be the caller's own.
ZECM_INTERNAL uint32_t checkMemory(const zecmDeviceInfo &info, const void *address, uint64_t size);

// Byte size of one element; 0 for types without a size (zecmDT_ANY, unknown values).
ZECM_INTERNAL uint32_t dataTypeSize(zecmDType type);
// Element count times element size; false when the shape is invalid (more than 6
// dimensions, a negative dimension, overflow) or the type has no size.
ZECM_INTERNAL bool tensorBytes(const zecmShape &shape, zecmDType type, uint64_t *bytes);

ZECM_INTERNAL std::shared_ptr<DataBuffer> findDataBuffer(const void *handle);
ZECM_INTERNAL std::shared_ptr<Tensor> findTensor(const void *handle);
ZECM_INTERNAL std::shared_ptr<Dataset> findDataset(const void *handle);

// Registers a new data buffer; `owned` (may be null) is memory it frees when destroyed.
ZECM_INTERNAL void *newDataBuffer(const zecmDeviceInfo &info, void *address, uint64_t size,
                                  std::unique_ptr<OwnedBlock> owned);
ZECM_INTERNAL void *newDataset(zecmDatasetMode mode);
// The members of a dataset and its mode, as they are now.
ZECM_INTERNAL void datasetMembers(const Dataset &dataset, std::vector<void *> *members, zecmDatasetMode *mode);
// The memory a dataset member of `mode` describes: a data buffer's address and size,
// or a tensor's data and byte size. zecmER_INVALID_HANDLE when the member is gone or of
// the other kind, zecmER_INVALID_PARAM for a tensor whose size cannot be computed.
ZECM_INTERNAL uint32_t memberMemory(void *member, zecmDatasetMode mode, void **address, uint64_t *size);
// Appends a member handle (its kind must match the dataset's mode).
ZECM_INTERNAL uint32_t addDatasetMember(void *dataset, void *member);
// Destroys a dataset, its members and the memory they own.
ZECM_INTERNAL uint32_t destroyDatasetAll(void *dataset);

}  // namespace zecm
