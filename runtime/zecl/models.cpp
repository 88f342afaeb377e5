// The model functions of the compute library.
#include "zecl/compute.hpp"

using zecl::Model;

namespace {

uint32_t create(const char *path, const char *config, bool dynamic, void **model) {
    if (!path || !model) return zeclER_INVALID_PARAM;
    if (uint32_t status = zecm::checkInitialized()) return status;
    std::shared_ptr<Model> loaded;
    if (uint32_t status = Model::load(path, config, dynamic, &loaded)) return status;
    *model = zesim::adopt(std::move(loaded), zesim::Kind::Model);
    return zeclER_SUCCESS;
}

std::shared_ptr<Model> find(void *model) { return zesim::find<Model>(model, zesim::Kind::Model); }

template <class T> bool inRange(int32_t index, const std::vector<T> &items) {
    return index >= 0 && static_cast<size_t>(index) < items.size();
}

uint32_t fillShape(const std::vector<int64_t> &dims, zecmShape *shape) {
    *shape = zecmShape{};
    if (dims.size() > ZECM_MAX_DIMS) return zeclER_MODEL_FILE;
    shape->ndims = static_cast<uint32_t>(dims.size());
    std::copy(dims.begin(), dims.end(), shape->dims);
    return zeclER_SUCCESS;
}

// The current (or, before a dynamic model's shapes are set, declared) dims of a port.
uint32_t portShape(void *handle, int32_t index, zecmShape *shape, bool input) {
    auto model = find(handle);
    if (!model) return zeclER_INVALID_HANDLE;
    if (!shape) return zeclER_INVALID_PARAM;
    const auto &ports = input ? model->inputs() : model->outputs();
    if (!inRange(index, ports)) return zeclER_INDEX_OUT_OF_RANGE;
    Model::Shapes shapes = model->shapes();
    if (!shapes.known) return fillShape(ports[index].dims, shape);
    return fillShape((input ? shapes.inputs : shapes.outputs)[index], shape);
}

uint32_t count(void *handle, uint32_t *result, bool inputs) {
    auto model = find(handle);
    if (!model) return zeclER_INVALID_HANDLE;
    if (!result) return zeclER_INVALID_PARAM;
    *result = static_cast<uint32_t>(inputs ? model->inputs().size() : model->outputs().size());
    return zeclER_SUCCESS;
}

}  // namespace

// name and extra are accepted and not used by the software card.
uint32_t zeclCreateModel(const char *path, const char *name, const char *config, const char *extra, zeclModel **model) {
    ZESIM_CALL(path, name, config, extra, model) { return create(path, config, false, model); };
}

uint32_t zeclCreateDynamicModel(const char *path, const char *config, zeclModel **model) {
    ZESIM_CALL(path, config, model) { return create(path, config, true, model); };
}

uint32_t zeclDestroyModel(zeclModel *model) {
    ZESIM_CALL(model) {
        return zesim::unregisterHandle(model, zesim::Kind::Model) ? zeclER_SUCCESS : zeclER_INVALID_HANDLE;
    };
}

uint32_t zeclSetDynamicModelInputShape(zeclModel *model, const zecmShape *shapes, uint32_t count) {
    ZESIM_CALL(model, zesim::array(shapes, count), count) {
        auto found = find(model);
        if (!found) return zeclER_INVALID_HANDLE;
        return found->setInputShapes(shapes, count);
    };
}

uint32_t zeclSetModelBatchSize(zeclModel *model, uint32_t *batchSize) {
    ZESIM_CALL(model, batchSize) {
        auto found = find(model);
        if (!found) return zeclER_INVALID_HANDLE;
        if (!batchSize) return zeclER_INVALID_PARAM;
        return found->setBatch(*batchSize);
    };
}

uint32_t zeclGetModelBatchSize(zeclModel *model, uint32_t *batchSize) {
    ZESIM_CALL(model, batchSize) {
        auto found = find(model);
        if (!found) return zeclER_INVALID_HANDLE;
        if (!batchSize) return zeclER_INVALID_PARAM;
        *batchSize = found->shapes().batch;
        return zeclER_SUCCESS;
    };
}

uint32_t zeclGetModelMaxBatchSize(zeclModel *model, uint32_t *maxBatchSize) {
    ZESIM_CALL(model, maxBatchSize) {
        auto found = find(model);
        if (!found) return zeclER_INVALID_HANDLE;
        if (!maxBatchSize) return zeclER_INVALID_PARAM;
        *maxBatchSize = found->maxBatch();
        return zeclER_SUCCESS;
    };
}

uint32_t zeclGetDynamicModelMaxBatchSize(zeclModel *model, const zecmShape *shapes, uint32_t count,
                                         uint32_t *maxBatchSize) {
    ZESIM_CALL(model, zesim::array(shapes, count), count, maxBatchSize) {
        auto found = find(model);
        if (!found) return zeclER_INVALID_HANDLE;
        if (!maxBatchSize) return zeclER_INVALID_PARAM;
        return found->maxBatchFor(shapes, count, maxBatchSize);
    };
}

uint32_t zeclGetModelInputCount(zeclModel *model, uint32_t *count) {
    ZESIM_CALL(model, count) { return ::count(model, count, true); };
}

uint32_t zeclGetModelOutputCount(zeclModel *model, uint32_t *count) {
    ZESIM_CALL(model, count) { return ::count(model, count, false); };
}

uint32_t zeclGetModelOutputDataTypeByIndex(zeclModel *model, int32_t index, zecmDType *type) {
    ZESIM_CALL(model, index, type) {
        auto found = find(model);
        if (!found) return zeclER_INVALID_HANDLE;
        if (!type) return zeclER_INVALID_PARAM;
        if (!inRange(index, found->outputs())) return zeclER_INDEX_OUT_OF_RANGE;
        *type = found->outputs()[index].type;
        return zeclER_SUCCESS;
    };
}

uint32_t zeclGetModelInputShapeByIndex(zeclModel *model, int32_t index, zecmShape *shape) {
    ZESIM_CALL(model, index, shape) { return portShape(model, index, shape, true); };
}

uint32_t zeclGetModelOutputShapeByIndex(zeclModel *model, int32_t index, zecmShape *shape) {
    ZESIM_CALL(model, index, shape) { return portShape(model, index, shape, false); };
}

uint32_t zeclGetModelOutputSizeByIndex(zeclModel *model, int32_t index, uint64_t *size) {
    ZESIM_CALL(model, index, size) {
        auto found = find(model);
        if (!found) return zeclER_INVALID_HANDLE;
        if (!size) return zeclER_INVALID_PARAM;
        if (!inRange(index, found->outputs())) return zeclER_INDEX_OUT_OF_RANGE;
        Model::Shapes shapes = found->shapes();
        if (!shapes.known) return zeclER_BATCH_SIZE;  // a dynamic model without input shapes
        zecmShape shape{};
        if (uint32_t status = fillShape(shapes.outputs[index], &shape)) return status;
        return zecm::tensorBytes(shape, found->outputs()[index].type, size) ? zeclER_SUCCESS : zeclER_BATCH_SIZE;
    };
}
