// Models: loading, batch sizes, and the shapes, sizes and types of inputs and outputs.
#include <vector>

#include "zecm/python/src/shape.hpp"
#include "groups.hpp"
#include "zecl.h"

namespace halvora::zecl {
namespace {

// Text passed as null when empty.
const char *nullIfEmpty(const std::string &text) { return text.empty() ? nullptr : text.c_str(); }

// Shape records in a runtime array: each item must be a `shape` (None is refused
// like a failed reference cast), each copied with the shape-to-runtime copy.
std::vector<zecmShape> toRuntimeArray(const std::vector<const zecmShapePy *> &records) {
    std::vector<zecmShape> shapes;
    shapes.reserve(records.size());
    for (const zecmShapePy *record : records) shapes.push_back(toRuntime(byValue(record)));
    return shapes;
}

using ShapeQuery = uint32_t (*)(void *, int32_t, zecmShape *);

// The record is filled only on success, from a structure that starts zeroed.
uint32_t fillShape(ShapeQuery query, Handle model, int32_t index, zecmShapePy *record) {
    zecmShapePy &target = required(record, "shape");
    zecmShape shape{};
    uint32_t status = query(model, index, &shape);
    if (status == 0) fromRuntime(shape, target);
    return status;
}

template <class T> T value(uint32_t (*query)(void *, T *), Handle model, const char *message) {
    T result{};
    check(query(model, &result), message);
    return result;
}

}  // namespace

void registerModels(py::module_ &m) {
    m.def("createModel", [](const std::string &path, const std::string &name, const std::string &config,
                            const std::string &extra) {
        void *model = nullptr;
        check(zeclCreateModel(path.c_str(), name.c_str(), config.c_str(), nullIfEmpty(extra), &model),
              "create model error, ret: %d.");
        return static_cast<Handle>(model);
    }, "create the zecl model");
    m.def("destroyModel", &zeclDestroyModel, "destroy the zecl model");
    m.def("createDynamicModel", [](const std::string &path, const std::string &config) {
        void *model = nullptr;
        check(zeclCreateDynamicModel(path.c_str(), nullIfEmpty(config), &model),
              "create dynamic model error, ret: %d.");
        return static_cast<Handle>(model);
    }, "create the zecl model");
    m.def("setDynamicModelInputShape", [](Handle model, const std::vector<const zecmShapePy *> &records) {
        std::vector<zecmShape> shapes = toRuntimeArray(records);
        return zeclSetDynamicModelInputShape(model, items(shapes), static_cast<uint32_t>(shapes.size()));
    }, "set the zecl model batch size");
    m.def("setModelBatchSize", [](Handle model, uint32_t batch) {
        return zeclSetModelBatchSize(model, &batch);
    }, "set the zecl model batch size");
    m.def("getModelBatchSize", [](Handle model) {
        return value(&zeclGetModelBatchSize, model, "get model batch size error, ret: %d.");
    }, "get the zecl model batch size");
    m.def("getModelMaxBatchSize", [](Handle model) {
        return value(&zeclGetModelMaxBatchSize, model, "get model max batch size error, ret: %d.");
    }, "get the zecl model max batch size");
    m.def("getDynamicModelMaxBatchSize", [](Handle model, const std::vector<const zecmShapePy *> &records) {
        std::vector<zecmShape> shapes = toRuntimeArray(records);
        uint32_t batch = 0;
        check(zeclGetDynamicModelMaxBatchSize(model, items(shapes), static_cast<uint32_t>(shapes.size()), &batch),
              "get dynamic model max batch size error, ret: %d.");
        return batch;
    }, "get the zecl model max batch size");
    m.def("getModelInputCount", [](Handle model) {
        return value(&zeclGetModelInputCount, model, "get model input count error, ret: %d.");
    }, "Get the input count for a model.");
    m.def("getModelOutputDataTypeByIndex", [](Handle model, int32_t index) {
        zecmDType type{};
        check(zeclGetModelOutputDataTypeByIndex(model, index, &type),
              "get model output data type by index error, ret: %d.");
        return type;
    }, "Get the input count for a model.");
    m.def("getModelOutputCount", [](Handle model) {
        return value(&zeclGetModelOutputCount, model, "get model output count error, ret: %d.");
    }, "Get the output count for a model.");
    m.def("getModelInputShapeByIndex", [](Handle model, int32_t index, zecmShapePy *record) {
        return fillShape(&zeclGetModelInputShapeByIndex, model, index, record);
    }, "Get the input shape by index for a model.");
    m.def("getModelOutputSizeByIndex", [](Handle model, int32_t index) {
        uint64_t size = 0;
        check(zeclGetModelOutputSizeByIndex(model, index, &size),
              "get model output size by index error, ret: %d.");
        return size;
    }, "Get the output data size by index for a model.");
    m.def("getModelOutputShapeByIndex", [](Handle model, int32_t index, zecmShapePy *record) {
        return fillShape(&zeclGetModelOutputShapeByIndex, model, index, record);
    }, "Get the output shape by index for a model.");
}

}  // namespace halvora::zecl
