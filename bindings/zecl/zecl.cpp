// Init routine of the submodule `zecl`: creates it and registers its groups in order.
#include <cstring>

#include "groups.hpp"
#include "init.hpp"
#include "zecl.h"

namespace halvora {
namespace {

// The status is not checked: the text, when there is one, is the answer.
py::str version() {
    char *text = nullptr;
    uint32_t major = 0, minor = 0, patch = 0, build = 0;
    zeclGetVersion(&text, &major, &minor, &patch, &build);
    if (!text) throw std::runtime_error("get the zecl version: the runtime gave no text.");
    return boundedText(text, std::strlen(text));
}

}  // namespace

void initZecl(py::module_ &root) {
    py::module_ m = root.def_submodule("zecl", "zentri Accelerate Language.");
    m.attr("zeclER_SUCCESS") = static_cast<int>(zeclER_SUCCESS);
    m.attr("zeclER_WAIT_MORE_INPUT") = static_cast<int>(zeclER_WAIT_MORE_INPUT);
    m.def("getVersion", &version, "get the zecl version.");
    bindEnum<zeclBalanceMode>(m, "balance_mode", {{"zeclBM_ONCE", zeclBM_ONCE}, {"zeclBM_RUN", zeclBM_RUN}});
    zecl::registerReportStatus(m);
    zecl::registerGraphs(m);
    zecl::registerSubscription(m);
    zecl::registerStreams(m);
    zecl::registerOps(m);
    zecl::registerModels(m);
    zecl::registerLoadImage(m);
}

}  // namespace halvora
