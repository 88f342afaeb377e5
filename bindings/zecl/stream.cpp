// Op graphs, ops and op streams. Calls that can wait for the compute library's
// threads release the interpreter lock meanwhile: report callbacks need it.
#include <vector>

#include "groups.hpp"
#include "zecl.h"

namespace halvora::zecl {
namespace {

using WithoutLock = py::call_guard<py::gil_scoped_release>;

}  // namespace

void registerGraphs(py::module_ &m) {
    m.def(
        "createOpGraph", [] { return output(&zeclCreateOpGraph, "create graph error, ret: %d."); },
        "creat the zecl op graph");
    m.def("destroyOpGraph", &zeclDestroyOpGraph, "destroy the zecl op graph");
    m.def("destroyOpStream", &destroyStream, "destroy the zecl op stream");
}

void registerStreams(py::module_ &m) {
    m.def(
        "createOpStream",
        [](Handle graph, const zeclBalanceMode *mode) {
            return output(&zeclCreateOpStream, "create stream error, ret: %d.", graph,
                          static_cast<uint32_t>(byValue(mode)));
        },
        "create the zecl stream");
    m.def("buildStream", &zeclBuildStream, "build the zecl stream ", WithoutLock());
    m.def("runStream", &zeclRunStream, "run the zecl stream ", WithoutLock());
    m.def("runStreamAsync", &zeclRunStreamAsync, "run the zecl stream ");
    m.def("synchronizeStream", &zeclSynchronizeStream, "Synchronize the running of a stream.", WithoutLock());
    m.def("synchronizeDevice", &zeclSynchronizeDevice, "Synchronize the running of all stream of a device.",
          WithoutLock());
    m.def(
        "getStreamCacheNumber",
        [](Handle stream) {
            return output(&zeclGetStreamCacheNumber, "get stream cache number error, ret: %d.", stream);
        },
        "Get the cache number of a stream.");
    m.def(
        "requestOutputDataset",
        [](Handle stream) {
            return output(&zeclRequestOutputDataset, "request output dataset error, ret: %d.", stream);
        },
        "request the output dataset");
}

void registerOps(py::module_ &m) {
    m.def(
        "createGraphInputOp",
        [](Handle graph, uint32_t count) {
            return output(&zeclCreateGraphInputOp, "create graph input op error, ret: %d.", graph, count);
        },
        "creat the zecl graph input op");
    m.def("connectOps", &zeclConnectOps, "connect the zecl op");
    m.def(
        "createRunModelOp",
        [](Handle model) { return output(&zeclCreateRunModelOp, "create graph run model op error, ret: %d.", model); },
        "creat the zecl graph input op");
    m.def("registerGetOutput", &zeclRegisterGetOutput, "regist get the zecl out put");
    m.def(
        "registerGetOutputs",
        [](Handle graph, const std::vector<Handle> &ops) {
            return zeclRegisterGetOutputs(graph, items(ops), static_cast<uint32_t>(ops.size()));
        },
        "regist get the zecl out put");
}

}  // namespace halvora::zecl
