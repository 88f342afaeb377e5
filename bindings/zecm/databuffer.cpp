// Data buffers, with the device kinds and the device information record.
#include "groups.hpp"
#include "zecm.h"

namespace halvora::zecm {

void registerDataBuffers(py::module_ &m) {
    bindEnum<zecmDeviceType>(m, "deviceType", {{"zecmDE_CPU", zecmDE_CPU}, {"zecmDE_ZECC", zecmDE_ZECC}});
    py::class_<zecmDeviceInfo>(m, "deviceInfo")
        .def(py::init<>())
        .def_readwrite("deviceType", &zecmDeviceInfo::deviceType)
        .def_readwrite("deviceIdx", &zecmDeviceInfo::deviceIdx);

    m.def(
        "createDataBuffer",
        [](const zecmDeviceInfo *info, Handle address, uint64_t size) {
            return output(&zecmCreateDataBuffer, "create data buffer error, ret: %d.", required(info, "deviceInfo"),
                          address, size);
        },
        "Create a data buffer.");
    m.def(
        "createDataBufferFromContext",
        [](const zecmDeviceType *type, Handle address, uint64_t size) {
            return output(&zecmCreateDataBufferFromContext, "create data buffer from context error, ret: %d.",
                          byValue(type), address, size);
        },
        "Create a data buffer from device context.");
    m.def("destroyDataBuffer", &zecmDestroyDataBuffer, "Destroy a data buffer.");
    m.def(
        "getDataBufferAddr",
        [](Handle buffer) { return output(&zecmGetDataBufferAddr, "get data buffer addr error, ret: %d.", buffer); },
        "Get the buffer address for a data buffer.");
    m.def(
        "getDataBufferSize",
        [](Handle buffer) { return output(&zecmGetDataBufferSize, "get data buffer size error, ret: %d.", buffer); },
        "Get the buffer size for a data buffer.");
    // The runtime writes into the caller's own record; None passes a null record.
    m.def("getDataBufferDeviceInfo", &zecmGetDataBufferDeviceInfo, "Get the device information for a data buffer.");
    m.def(
        "updateDataBuffer",
        [](Handle buffer, const zecmDeviceInfo *info, Handle address, uint64_t size) {
            return zecmUpdateDataBuffer(buffer, required(info, "deviceInfo"), address, size);
        },
        "Update a data buffer.");
}

}  // namespace halvora::zecm
