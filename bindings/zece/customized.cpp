// Customized ops: a set of ops loaded from a file, listed by name and created.
#include "groups.hpp"
#include "zece.h"

namespace halvora::zece {

void registerCustomizedOps(py::module_ &m) {
    m.def(
        "loadCustomizedOp",
        [](const std::string &path) {
            return output(&zeceLoadCustomizedOps, "load customized op error, ret: %d.", path.c_str());
        },
        "zentri preprocess op loadCustomizedOp.");
    m.def("destroyCustomizedOpInfo", &zeceDestroyCustomizedOpInfo, "zentri preprocess op destroyCustomizedOpInfo.");
    m.def("unloadCustomizedOps", &zeceUnloadCustomizedOps, "zentri preprocess op unloadCustomizedOps.");
    m.def(
        "getCustomizedOpCount",
        [](Handle info) { return output(&zeceGetCustomizedOpCount, "get customized op count error, ret: %d.", info); },
        "zentri preprocess op getCustomizedOpCount.");
    m.def(
        "getCustomizedOpName",
        [](Handle info, int32_t index) {
            char name[OPNAME_MAX_LEN] = {};
            check(zeceGetCustomizedOpName(info, index, name, OPNAME_MAX_LEN), "get customized op name error, ret: %d.");
            return boundedText(name, sizeof name);
        },
        "zentri preprocess op getCustomizedOpName.");
    m.def(
        "createCustomizedOp",
        [](Handle info, const std::string &name) {
            return output(&zeceCreateCustomizedOp, "create customized op error, ret: %d.", info, name.c_str());
        },
        "zentri preprocess op createCustomizedOp.");
}

}  // namespace halvora::zece
