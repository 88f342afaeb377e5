// Registration groups of the submodule `zecm`, called in order by its init routine.
#pragma once
#include "binding.hpp"

namespace halvora::zecm {

void registerDeviceSelection(py::module_ &m);  // setDevice, resetDevice, getDevice
void registerInitialization(py::module_ &m);   // zecmER_SUCCESS, initialize, uninitialize
void registerContexts(py::module_ &m);         // getVersion ... getCurrentContext
void registerDeviceIdInfo(py::module_ &m);     // getDeviceIdInfo

}  // namespace halvora::zecm
