// Registration groups of the submodule `zecm`, called in order by its init routine.
#pragma once
#include "binding.hpp"

namespace halvora::zecm {

void registerDataTypeEnum(py::module_ &m);       // dType                          (datatype.cpp)
void registerDataBuffers(py::module_ &m);        // deviceType, deviceInfo, ...    (databuffer.cpp)
void registerDatasets(py::module_ &m);           // datasetMode, createDataset ... (dataset.cpp)
void registerDeviceSelection(py::module_ &m);    // setDevice, resetDevice, getDevice
void registerInitialization(py::module_ &m);     // zecmER_SUCCESS, initialize, uninitialize
void registerContexts(py::module_ &m);           // getVersion ... getCurrentContext
void registerMemory(py::module_ &m);             // copyMemType, malloc ... memsetAsync (memory.cpp)
void registerTensors(py::module_ &m);            // shape, createTensor ...       (tensor.cpp)
void registerDataTypes(py::module_ &m);          // getDataTypeSize ... getFloat16Array (datatype.cpp)
void registerDestroyDatasetAll(py::module_ &m);  // destroyDatasetAll           (dataset.cpp)
void registerHostMemory(py::module_ &m);         // mallocHost, freeHost           (memory.cpp)
void registerDeviceIdInfo(py::module_ &m);       // getDeviceIdInfo
void registerLogging(py::module_ &m);            // logChannel, logLevel, initLogger, logMessage (log/log.cpp)

}  // namespace halvora::zecm
