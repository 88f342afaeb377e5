// Models: loading, batch sizes, and the shapes, sizes and types of inputs and outputs.
#include <vector>

#include "bindings/zecm/shape.hpp"
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

}  // namespace

void registerModels(py::module_ &m) {
    m.def(
        "createModel",
        [](const std::string &path, const std::string &name, const std::string &config, const std::string &extra) {
            return output(&zeclCreateModel, "create model error, ret: %d.", path.c_str(), name.c_str(), config.c_str(),
                          nullIfEmpty(extra));
        },
        "create the zecl model");
    m.def("destroyModel", &zeclDestroyModel, "destroy the zecl model");
    m.def(
        "createDynamicModel",
        [](const std::string &path, const std::string &config) {
            return output(&zeclCreateDynamicModel, "create dynamic model error, ret: %d.", path.c_str(),
                          nullIfEmpty(config));
        },
        "create the zecl model");
    m.def(
        "setDynamicModelInputShape",
        [](Handle model, const std::vector<const zecmShapePy *> &records) {
            std::vector<zecmShape> shapes = toRuntimeArray(records);
            return zeclSetDynamicModelInputShape(model, items(shapes), static_cast<uint32_t>(shapes.size()));
        },
        "set the zecl model batch size");
    m.def(
        "setModelBatchSize", [](Handle model, uint32_t batch) { return zeclSetModelBatchSize(model, &batch); },
        "set the zecl model batch size");
    m.def(
        "getModelBatchSize",
        [](Handle model) { return output(&zeclGetModelBatchSize, "get model batch size error, ret: %d.", model); },
        "get the zecl model batch size");
    m.def(
        "getModelMaxBatchSize",
        [](Handle model) {
            return output(&zeclGetModelMaxBatchSize, "get model max batch size error, ret: %d.", model);
        },
        "get the zecl model max batch size");
    m.def(
        "getDynamicModelMaxBatchSize",
        [](Handle model, const std::vector<const zecmShapePy *> &records) {
            std::vector<zecmShape> shapes = toRuntimeArray(records);
            return output(&zeclGetDynamicModelMaxBatchSize, "get dynamic model max batch size error, ret: %d.", model,
                          items(shapes), static_cast<uint32_t>(shapes.size()));
        },
        "get the zecl model max batch size");
    m.def(
        "getModelInputCount",
        [](Handle model) { return output(&zeclGetModelInputCount, "get model input count error, ret: %d.", model); },
        "Get the input count for a model.");
    m.def(
        "getModelOutputDataTypeByIndex",
        [](Handle model, int32_t index) {
            return output(&zeclGetModelOutputDataTypeByIndex, "get model output data type by index error, ret: %d.",
                          model, index);
        },
        "Get the input count for a model.");
    m.def(
        "getModelOutputCount",
        [](Handle model) { return output(&zeclGetModelOutputCount, "get model output count error, ret: %d.", model); },
        "Get the output count for a model.");
    m.def(
        "getModelInputShapeByIndex",
        [](Handle model, int32_t index, zecmShapePy *record) {
            return fillShape(&zeclGetModelInputShapeByIndex, model, index, record);
        },
        "Get the input shape by index for a model.");
    m.def(
        "getModelOutputSizeByIndex",
        [](Handle model, int32_t index) {
            return output(&zeclGetModelOutputSizeByIndex, "get model output size by index error, ret: %d.", model,
                          index);
        },
        "Get the output data size by index for a model.");
    m.def(
        "getModelOutputShapeByIndex",
        [](Handle model, int32_t index, zecmShapePy *record) {
            return fillShape(&zeclGetModelOutputShapeByIndex, model, index, record);
        },
        "Get the output shape by index for a model.");
}

}  // namespace halvora::zecl
