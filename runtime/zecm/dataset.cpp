// Datasets: ordered lists of data buffers or of tensors (the dataset's mode),
// with a user context pointer kept for the caller. A dataset refers to its
// members by handle and owns none of them, except through destroyDatasetAll.
// Datasets belong to no device: a device reset leaves them (their members on
// that device become stale handles, which destroyDatasetAll skips).
#include "zecm/objects.hpp"

namespace zecm {
namespace {

zesim::Kind memberKind(zecmDatasetMode mode) {
    return mode == zecmDM_TENSOR ? zesim::Kind::Tensor : zesim::Kind::DataBuffer;
}

// Whether `object` was never given an object (as opposed to one that has died).
bool unknown(const std::weak_ptr<void> &object) {
    std::weak_ptr<void> none;
    return !object.owner_before(none) && !none.owner_before(object);
}

}  // namespace

std::shared_ptr<Dataset> findDataset(const void *handle) { return zesim::find<Dataset>(handle, zesim::Kind::Dataset); }

void *newDataset(zecmDatasetMode mode) {
    auto dataset = std::make_shared<Dataset>();
    dataset->mode = mode;
    return zesim::adopt(std::move(dataset), zesim::Kind::Dataset);
}

void datasetMembers(const Dataset &dataset, std::vector<void *> *members, zecmDatasetMode *mode) {
    std::lock_guard<std::mutex> lock(dataset.mutex);
    *members = dataset.members;
    *mode = dataset.mode;
}

uint32_t memberMemory(void *member, zecmDatasetMode mode, void **address, uint64_t *size) {
    if (mode == zecmDM_BUFFER) {
        auto buffer = findDataBuffer(member);
        if (!buffer) return zecmER_INVALID_HANDLE;
        std::lock_guard<std::mutex> lock(buffer->mutex);
        *address = buffer->address;
        *size = buffer->size;
        return zecmER_SUCCESS;
    }
    auto tensor = findTensor(member);
    if (!tensor) return zecmER_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(tensor->mutex);
    *address = tensor->data;
    return tensorBytes(tensor->shape, tensor->type, size) ? zecmER_SUCCESS : zecmER_INVALID_PARAM;
}

uint32_t addDatasetMember(void *dataset, void *member) {
    auto object = findDataset(dataset);
    if (!object) return zecmER_INVALID_HANDLE;
    zesim::Kind kind = memberKind(object->mode);
    auto added = zesim::findHandle(member, kind);
    if (!added) {
        zesim::Kind other = kind == zesim::Kind::Tensor ? zesim::Kind::DataBuffer : zesim::Kind::Tensor;
        return zesim::findHandle(member, other) ? zecmER_DATASET_MODE : zecmER_INVALID_HANDLE;
    }
    std::lock_guard<std::mutex> lock(object->mutex);
    object->members.push_back(member);
    object->objects.resize(object->members.size() - 1);  // members added without an identity
    object->objects.push_back(added);
    return zecmER_SUCCESS;
}

// Members are destroyed only while they are still the objects that were added:
// a member destroyed separately (and its address perhaps reused by a new object)
// is skipped. Memory the members own (allocated by the card) is freed with them;
// memory a caller allocated and merely wrapped stays the caller's. Does not wait
// for queued work: the public call does.
uint32_t destroyDatasetAll(void *dataset) {
    auto object = std::static_pointer_cast<Dataset>(zesim::unregisterHandle(dataset, zesim::Kind::Dataset));
    if (!object) return zecmER_INVALID_HANDLE;
    std::vector<void *> members;
    std::vector<std::weak_ptr<void>> objects;
    {
        std::lock_guard<std::mutex> lock(object->mutex);
        members.swap(object->members);
        objects.swap(object->objects);
    }
    zesim::Kind kind = memberKind(object->mode);
    std::vector<std::shared_ptr<void>> destroyed;  // released together, after the loop
    for (size_t i = 0; i < members.size(); ++i) {
        // While `added` is held, no other object can live at the member's address.
        std::shared_ptr<void> added;
        if (i < objects.size() && !unknown(objects[i])) {
            added = objects[i].lock();
            if (!added) continue;  // destroyed separately
        }
        if (auto removed = zesim::unregisterHandle(members[i], kind)) destroyed.push_back(removed);
    }
    return zecmER_SUCCESS;
}

}  // namespace zecm

using namespace zecm;

namespace {

// The dataset for a call that needs the given mode.
uint32_t datasetOfMode(void *dataset, zecmDatasetMode mode, std::shared_ptr<Dataset> *found) {
    *found = findDataset(dataset);
    if (!*found) return zecmER_INVALID_HANDLE;
    return (*found)->mode == mode ? zecmER_SUCCESS : zecmER_DATASET_MODE;
}

uint32_t addMember(void *dataset, void *member, zecmDatasetMode mode) {
    std::shared_ptr<Dataset> object;
    if (uint32_t status = datasetOfMode(dataset, mode, &object)) return status;
    return addDatasetMember(dataset, member);
}

uint32_t memberCount(void *dataset, zecmDatasetMode mode, uint32_t *count) {
    std::shared_ptr<Dataset> object;
    if (uint32_t status = datasetOfMode(dataset, mode, &object)) return status;
    if (!count) return zecmER_INVALID_PARAM;
    std::lock_guard<std::mutex> lock(object->mutex);
    *count = static_cast<uint32_t>(object->members.size());
    return zecmER_SUCCESS;
}

// The member handle at `index`, as it was added (it may have been destroyed since).
uint32_t memberAt(void *dataset, zecmDatasetMode mode, int32_t index, void **member) {
    std::shared_ptr<Dataset> object;
    if (uint32_t status = datasetOfMode(dataset, mode, &object)) return status;
    if (!member) return zecmER_INVALID_PARAM;
    std::lock_guard<std::mutex> lock(object->mutex);
    if (index < 0 || static_cast<size_t>(index) >= object->members.size()) return zecmER_INVALID_INDEX;
    *member = object->members[static_cast<size_t>(index)];
    return zecmER_SUCCESS;
}

}  // namespace

uint32_t zecmCreateDataset(zecmDatasetMode mode, zecmDataset **dataset) {
    ZESIM_CALL(mode, dataset) {
        if (!dataset) return zecmER_INVALID_PARAM;
        if (uint32_t status = checkInitialized()) return status;
        if (mode != zecmDM_BUFFER && mode != zecmDM_TENSOR) return zecmER_INVALID_PARAM;
        *dataset = newDataset(mode);
        return zecmER_SUCCESS;
    };
}

// Releases the dataset only; its members stay alive.
uint32_t zecmDestroyDataset(zecmDataset *dataset) {
    ZESIM_CALL(dataset) {
        return zesim::unregisterHandle(dataset, zesim::Kind::Dataset) ? zecmER_SUCCESS : zecmER_INVALID_HANDLE;
    };
}

// A buffer may be added more than once; it is one member per addition.
uint32_t zecmAddDatasetBuffer(zecmDataset *dataset, zecmDataBuffer *buffer) {
    ZESIM_CALL(dataset, buffer) { return addMember(dataset, buffer, zecmDM_BUFFER); };
}

// Counting or reading buffers of a tensor dataset (or tensors of a buffer
// dataset) returns zecmER_DATASET_MODE.
uint32_t zecmGetDatasetBufferCount(zecmDataset *dataset, uint32_t *count) {
    ZESIM_CALL(dataset, count) { return memberCount(dataset, zecmDM_BUFFER, count); };
}

uint32_t zecmGetDatasetBuffer(zecmDataset *dataset, int32_t index, zecmDataBuffer **buffer) {
    ZESIM_CALL(dataset, index, buffer) { return memberAt(dataset, zecmDM_BUFFER, index, buffer); };
}

uint32_t zecmAddDatasetTensor(zecmDataset *dataset, zecmTensor *tensor) {
    ZESIM_CALL(dataset, tensor) { return addMember(dataset, tensor, zecmDM_TENSOR); };
}

uint32_t zecmGetDatasetTensorCount(zecmDataset *dataset, uint32_t *count) {
    ZESIM_CALL(dataset, count) { return memberCount(dataset, zecmDM_TENSOR, count); };
}

uint32_t zecmGetDatasetTensor(zecmDataset *dataset, int32_t index, zecmTensor **tensor) {
    ZESIM_CALL(dataset, index, tensor) { return memberAt(dataset, zecmDM_TENSOR, index, tensor); };
}

uint32_t zecmGetDatasetMode(zecmDataset *dataset, zecmDatasetMode *mode) {
    ZESIM_CALL(dataset, mode) {
        auto object = findDataset(dataset);
        if (!object) return zecmER_INVALID_HANDLE;
        if (!mode) return zecmER_INVALID_PARAM;
        *mode = object->mode;  // fixed at creation
        return zecmER_SUCCESS;
    };
}

uint32_t zecmGetDatasetUserCtx(zecmDataset *dataset, void **userCtx) {
    ZESIM_CALL(dataset, userCtx) {
        auto object = findDataset(dataset);
        if (!object) return zecmER_INVALID_HANDLE;
        if (!userCtx) return zecmER_INVALID_PARAM;
        std::lock_guard<std::mutex> lock(object->mutex);
        *userCtx = object->userCtx;
        return zecmER_SUCCESS;
    };
}

// The user context is the caller's: any pointer, null included, kept and never read.
uint32_t zecmSetDatasetUserCtx(zecmDataset *dataset, void *userCtx) {
    ZESIM_CALL(dataset, userCtx) {
        auto object = findDataset(dataset);
        if (!object) return zecmER_INVALID_HANDLE;
        std::lock_guard<std::mutex> lock(object->mutex);
        object->userCtx = userCtx;
        return zecmER_SUCCESS;
    };
}

// Empties the member list; the members stay alive.
uint32_t zecmClearDataset(zecmDataset *dataset) {
    ZESIM_CALL(dataset) {
        auto object = findDataset(dataset);
        if (!object) return zecmER_INVALID_HANDLE;
        std::lock_guard<std::mutex> lock(object->mutex);
        object->members.clear();
        object->objects.clear();
        return zecmER_SUCCESS;
    };
}

uint32_t zecmDestroyDatasetAll(zecmDataset *dataset) {
    ZESIM_CALL(dataset) {
        if (!findDataset(dataset)) return zecmER_INVALID_HANDLE;
        zesim::drainAllQueues();  // queued copies may still touch the members' memory
        return destroyDatasetAll(dataset);
    };
}
