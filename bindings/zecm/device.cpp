// Devices, runtime initialisation, contexts, version and error descriptions.
#include <array>

#include "groups.hpp"
#include "zecm.h"

namespace halvora::zecm {

void registerDeviceSelection(py::module_ &m) {
    m.def("setDevice", &zecmSetDevice, "Set the device to be used in the process.");
    // Waiting for op streams of the device to finish: their report callbacks need the
    // interpreter lock, so it is released meanwhile.
    m.def("resetDevice", &zecmResetDevice,
          "Reset the device used in the process. All resources bound to this device will be "
          "released.",
          py::call_guard<py::gil_scoped_release>());
    m.def(
        "getDevice", [] { return output(&zecmGetDevice, "get device error, ret: %d."); }, "Get current device index");
}

void registerInitialization(py::module_ &m) {
    m.attr("zecmER_SUCCESS") = static_cast<int>(zecmER_SUCCESS);
    m.def("initialize", &zecmInitialize, "Initialize the environment for ZECM API.", py::arg("config") = py::none());
    m.def("uninitialize", &zecmUninitialize, "Release the environment for ZECM API.",
          py::call_guard<py::gil_scoped_release>());
}

void registerContexts(py::module_ &m) {
    m.def(
        "getVersion",
        [] {
            char *text = nullptr;
            uint32_t major = 0, minor = 0, patch = 0, build = 0;
            check(zecmGetVersion(&text, &major, &minor, &patch, &build), "get version error, ret: %d.");
            return optionalText(text);
        },
        "Get the ZEME API version information.");
    m.def(
        "getErrDesc",
        [](uint32_t code) {
            std::array<char, 256> description{};
            check(zecmGetErrDesc(code, description.data(), description.size()),
                  "get error description error, ret: %d.");
            try {
                return boundedText(description.data(), description.size());
            } catch (py::error_already_set &) {
                PyErr_Clear();
                throw std::runtime_error("Could not allocate string object!");
            }
        },
        "Get the description for an error code.");
    m.def(
        "createContext",
        [](uint32_t device) { return output(&zecmCreateContext, "create context error, ret: %d.", device); },
        "Create a context in assigned device");
    m.def("destroyContext", &zecmDestroyContext, "Destroy a context in the device");
    m.def("setCurrentContext", &zecmSetCurrentContext, "Set the current context for the calling thread");
    m.def(
        "getCurrentContext", [] { return output(&zecmGetCurrentContext, "get current context error, ret: %d."); },
        "Get the current context for the calling thread");
}

void registerDeviceIdInfo(py::module_ &m) {
    m.def(
        "getDeviceIdInfo",
        [](uint32_t device) {
            uint32_t cardId = 0, dieId = 0, seqNum = 0;
            check(zecmGetDeviceIdInfo(device, &cardId, &dieId, &seqNum), "get device id info error, ret: %d.");
            return py::list(py::make_tuple(cardId, dieId, seqNum));
        },
        "Get device index information.");
}

}  // namespace halvora::zecm
