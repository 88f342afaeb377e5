// Device, model input/output and host memory; copies, fills and NumPy transfers.
#include <pybind11/numpy.h>

#include <cstring>

#include "groups.hpp"
#include "zecm.h"

namespace halvora::zecm {
namespace {

// Unsigned bytes in C order: other array-likes are converted (forced casting) and
// non-contiguous arrays made contiguous before their bytes are read.
using ByteArray = py::array_t<uint8_t, py::array::c_style | py::array::forcecast>;

const void *readableAddress(Handle address) {
    if (!address) throw py::value_error("the host address must not be None");
    return address;
}

py::array_t<uint8_t> numpyFromHandle(Handle address, uint64_t size) {
    const void *source = readableAddress(address);
    py::array_t<uint8_t> array(static_cast<py::ssize_t>(size));
    std::memcpy(array.mutable_data(), source, size);
    return array;
}

// The whole array, with its full 64-bit byte count, in a new host block.
Handle handleFromNumpy(const ByteArray &array) {
    uint64_t size = static_cast<uint64_t>(array.nbytes());
    void *block = output(&zecmMallocHost, "malloc host error, ret: %d.", size);
    if (block) std::memcpy(block, array.data(), size);
    return block;
}

}  // namespace

void registerMemory(py::module_ &m) {
    bindEnum<zecmCopyMemType>(m, "copyMemType",
                              {{"zecmCT_COPY_FROM_DEVICE", zecmCT_COPY_FROM_DEVICE},
                               {"zecmCT_COPY_TO_DEVICE", zecmCT_COPY_TO_DEVICE},
                               {"zecmCT_COPY_DEVICE_TO_DEVICE", zecmCT_COPY_DEVICE_TO_DEVICE}});
    m.def(
        "malloc", [](uint64_t size) { return output(&zecmMalloc, "malloc error, ret: %d.", size); },
        "Allocate memory from device.");
    m.def("free", &zecmFree, "Free a memory in device.");
    m.def(
        "mallocModelInOut",
        [](uint64_t size) { return output(&zecmMallocModelInOut, "malloc model input error, ret: %d.", size); },
        "Allocate memory for model input or output from device.");
    m.def("freeModelInOut", &zecmFreeModelInOut, "Free a model input or output memory in device.");
    m.def(
        "memcpy",
        [](Handle src, Handle dst, uint64_t size, const zecmCopyMemType *type) {
            return zecmMemcpy(src, dst, size, byValue(type));
        },
        "Copy a memory between host and device according to copy type. Synchronous interface.");
    m.def("getNumpyFromHandle", &numpyFromHandle, "get the numpy array from data handle");
    m.def("getHandleFromNumpy", &handleFromNumpy, "get the data handle from numpy array");
    m.def(
        "memcpyAsync",
        [](Handle src, Handle dst, uint64_t size, const zecmCopyMemType *type, Handle stream) {
            return zecmMemcpyAsync(src, dst, size, byValue(type), stream);
        },
        "Copy a memory between host and device according to copy type. Asynchronous interface.");
    m.def("memcpyDevices", &zecmMemcpyDevices, "Copy a memory between two devices. Synchronous interface.");
    m.def("memcpyDevicesAsync", &zecmMemcpyDevicesAsync, "Copy a memory between two devices. Asynchronous interface.");
    m.def("memset", &zecmMemset, "Set a memory block with a specific value. Synchronous interface.");
    m.def("memsetAsync", &zecmMemsetAsync, "Set a memory block with a specific value. Asynchronous interface.");
}

void registerHostMemory(py::module_ &m) {
    m.def(
        "mallocHost", [](uint64_t size) { return output(&zecmMallocHost, "malloc host error, ret: %d.", size); },
        "Allocate memory from host.");
    m.def("freeHost", &zecmFreeHost, "Free a memory in host.");
}

}  // namespace halvora::zecm
