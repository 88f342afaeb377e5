// Registration groups of the submodule `zece`, called in order by the entry point.
#pragma once
#include "binding.hpp"

namespace halvora::zece {

void registerTypes(py::module_ &m);            // enumerations, image records, attributes, getVersion (types.cpp)
void registerCustomizedOps(py::module_ &m);    // loadCustomizedOp ... createCustomizedOp (customized.cpp)
void registerImageOperations(py::module_ &m);  // resize ... scale                        (imageops.cpp)
void registerOps(py::module_ &m);              // createOp ... executeOp                   (op.cpp)
void registerImageFiles(py::module_ &m);       // readImageFile ... saveHandelToImage      (files.cpp)
void registerConfigExample(py::module_ &m);  // yuvNv12Shape ... setCustomizedOpCfgCallbackExample (config_example.cpp)

}  // namespace halvora::zece
