// Registration groups of the submodule `zecl`, called in order by its init routine.
#pragma once
#include "binding.hpp"

namespace halvora::zecl {

void registerReportStatus(py::module_ &m);  // callBackStatus                      (report.cpp)
void registerGraphs(py::module_ &m);        // createOpGraph, destroyOpGraph, destroyOpStream (stream.cpp)
void registerSubscription(py::module_ &m);  // subscribeStreamReport               (report.cpp)
// destroyOpStream, which also frees the stream's subscriptions           (report.cpp)
uint32_t destroyStream(Handle stream);
void registerStreams(py::module_ &m);    // createOpStream ... requestOutputDataset (stream.cpp)
void registerOps(py::module_ &m);        // createGraphInputOp ... registerGetOutputs (stream.cpp)
void registerModels(py::module_ &m);     // createModel ... getModelOutputShapeByIndex (model.cpp)
void registerLoadImage(py::module_ &m);  // loadImage                           (image.cpp)

}  // namespace halvora::zecl
