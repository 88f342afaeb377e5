// Op graphs, ops and op streams. Calls that can wait for the compute library's
// threads release the interpreter lock meanwhile: report callbacks need it.
#include <vector>

#include "groups.hpp"
#include "zecl.h"

namespace halvora::zecl {
namespace {

using WithoutLock = py::call_guard<py::gil_scoped_release>;

template <class Create> Handle created(Create create, const char *message) {
    void *handle = nullptr;
    check(create(&handle), message);
    return handle;
}

}  // namespace

void registerGraphs(py::module_ &m) {
    m.def("createOpGraph", [] {
        return created([](void **graph) { return zeclCreateOpGraph(graph); }, "create graph error, ret: %d.");
    }, "creat the zecl op graph");
    m.def("destroyOpGraph", &zeclDestroyOpGraph, "destroy the zecl op graph");
    m.def("destroyOpStream", &zeclDestroyOpStream, "destroy the zecl op stream", WithoutLock());
}

void registerStreams(py::module_ &m) {
    m.def("createOpStream", [](Handle graph, const zeclBalanceMode *mode) {
        uint32_t value = static_cast<uint32_t>(byValue(mode));
        return created([&](void **stream) { return zeclCreateOpStream(graph, value, stream); },
                       "create stream error, ret: %d.");
    }, "create the zecl stream");
    m.def("buildStream", &zeclBuildStream, "build the zecl stream ", WithoutLock());
    m.def("runStream", &zeclRunStream, "run the zecl stream ", WithoutLock());
    m.def("runStreamAsync", &zeclRunStreamAsync, "run the zecl stream ");
    m.def("synchronizeStream", &zeclSynchronizeStream, "Synchronize the running of a stream.",
          WithoutLock());
    m.def("synchronizeDevice", &zeclSynchronizeDevice,
          "Synchronize the running of all stream of a device.", WithoutLock());
    m.def("getStreamCacheNumber", [](Handle stream) {
        uint32_t count = 0;
        check(zeclGetStreamCacheNumber(stream, &count), "get stream cache number error, ret: %d.");
        return count;
    }, "Get the cache number of a stream.");
    m.def("requestOutputDataset", [](Handle stream) {
        return created([&](void **dataset) { return zeclRequestOutputDataset(stream, dataset); },
                       "request output dataset error, ret: %d.");
    }, "request the output dataset");
}

void registerOps(py::module_ &m) {
    m.def("createGraphInputOp", [](Handle graph, uint32_t count) {
        return created([&](void **op) { return zeclCreateGraphInputOp(graph, count, op); },
                       "create graph input op error, ret: %d.");
    }, "creat the zecl graph input op");
    m.def("connectOps", &zeclConnectOps, "connect the zecl op");
    m.def("createRunModelOp", [](Handle model) {
        return created([&](void **op) { return zeclCreateRunModelOp(model, op); },
                       "create graph run model op error, ret: %d.");
    }, "creat the zecl graph input op");
    m.def("registerGetOutput", &zeclRegisterGetOutput, "regist get the zecl out put");
    m.def("registerGetOutputs", [](Handle graph, const std::vector<Handle> &ops) {
        return zeclRegisterGetOutputs(graph, items(ops), static_cast<uint32_t>(ops.size()));
    }, "regist get the zecl out put");
}

}  // namespace halvora::zecl
