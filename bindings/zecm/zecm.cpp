// Init routine of the submodule `zecm`: creates it and registers its groups in order.
#include "groups.hpp"
#include "init.hpp"
#include "zecm.h"

namespace halvora {

void initZecm(py::module_ &root) {
    py::module_ m = root.def_submodule("zecm", "zentri common library.");
    m.attr("ER_SUCCESS") = static_cast<int>(zecmER_SUCCESS);
    m.attr("ER_NOT_IMPLEMENT") = static_cast<int>(zecmER_NOT_IMPLEMENT);
    zecm::registerDataTypeEnum(m);
    zecm::registerDataBuffers(m);
    zecm::registerDatasets(m);
    zecm::registerDeviceSelection(m);
    zecm::registerInitialization(m);
    zecm::registerContexts(m);
    zecm::registerMemory(m);
    zecm::registerTensors(m);
    zecm::registerDataTypes(m);
    zecm::registerDestroyDatasetAll(m);
    zecm::registerHostMemory(m);
    zecm::registerDeviceIdInfo(m);
    zecm::registerLogging(m);
}

}  // namespace halvora
