// Tensors and the `shape` record.
#include "groups.hpp"
#include "shape.hpp"
#include "zecm.h"

namespace halvora::zecm {

void registerTensors(py::module_ &m) {
    py::class_<zecmShapePy>(m, "shape")
        .def(py::init<>())
        .def_property(
            "ndims", [](const zecmShapePy &shape) { return shape.ndims; },
            [](zecmShapePy &shape, uint32_t ndims) { shape.ndims = ndims; })
        .def_readwrite("shapes", &zecmShapePy::shapes);

    m.def(
        "createTensor",
        [](const zecmDeviceInfo *info, const zecmShapePy *shape, const zecmDType *type) {
            const zecmDeviceInfo &device = required(info, "deviceInfo");
            const zecmShapePy &dims = required(shape, "shape");
            zecmDType dataType = byValue(type);
            zecmShape runtimeShape = toRuntime(dims);
            zecmTensor *tensor = nullptr;
            check(zecmCreateTensor(device, dataType, &tensor, runtimeShape), "create tensor error, ret: %d.");
            return tensor;
        },
        "Create a tensor for a device with specific shapes and data type.");
    m.def(
        "createTensorWithDataHandle",
        [](const zecmDeviceInfo *info, const zecmShapePy *shape, const zecmDType *type, Handle data, bool owned) {
            const zecmDeviceInfo &device = required(info, "deviceInfo");
            const zecmShapePy &dims = required(shape, "shape");
            zecmDType dataType = byValue(type);
            zecmShape runtimeShape = toRuntime(dims);
            zecmTensor *tensor = nullptr;
            check(zecmCreateTensorWithDataHandle(device, dataType, data, owned ? 1 : 0, &tensor, runtimeShape),
                  "create tensor with data handle error, ret: %d.");
            return tensor;
        },
        "Create a tensor with data handle for a device with specific shapes and data type.");
    m.def("destroyTensor", &zecmDestroyTensor, "Destroy a tensor.");
    m.def(
        "getTensorDataHandle",
        [](Handle tensor) {
            return output(&zecmGetTensorDataHandle, "get tensor data handle error, ret: %d.", tensor);
        },
        "Get the data handle of a tensor.");
    m.def(
        "setTensorDataHandle",
        [](Handle tensor, Handle data, bool owned) { return zecmSetTensorDataHandle(tensor, data, owned ? 1 : 0); },
        "Set the data handle for a tensor.");
    // The runtime writes into the caller's own record; None passes a null record.
    m.def("getTensorDeviceInfo", &zecmGetTensorDeviceInfo, "Get the device information of a tensor.");
    m.def(
        "getTensorShape",
        [](Handle tensor, zecmShapePy *shape) {
            zecmShapePy &record = required(shape, "shape");
            zecmShape filled{};
            uint32_t status = zecmGetTensorShape(tensor, &filled);
            if (status == 0) fromRuntime(filled, record);  // left unchanged on failure
            return status;
        },
        "Get the data shape of a tensor.");
    m.def(
        "setTensorShape",
        [](Handle tensor, const zecmShapePy *shape) {
            zecmShape runtimeShape = toRuntime(required(shape, "shape"));
            return zecmSetTensorShape(tensor, &runtimeShape);
        },
        "Set the data shape of a tensor.");
    m.def(
        "getTensorDataType",
        [](Handle tensor) { return output(&zecmGetTensorDataType, "get tensor data type error, ret: %d.", tensor); },
        "Get the data type of a tensor.");
    m.def(
        "setTensorDataType",
        [](Handle tensor, const zecmDType *type) { return zecmSetTensorDataType(tensor, byValue(type)); },
        "Set the data type of a tensor.");
    m.def(
        "getTensorSize",
        [](Handle tensor) { return output(&zecmGetTensorSize, "get tensor size error, ret: %d.", tensor); },
        "Get the size of a tensor.");
}

}  // namespace halvora::zecm
