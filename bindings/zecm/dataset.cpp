// Datasets and their mode enumeration.
#include "groups.hpp"
#include "zecm.h"

namespace halvora::zecm {

void registerDatasets(py::module_ &m) {
    bindEnum<zecmDatasetMode>(m, "datasetMode", {{"zecmDM_BUFFER", zecmDM_BUFFER}, {"zecmDM_TENSOR", zecmDM_TENSOR}});

    m.def(
        "createDataset",
        [](const zecmDatasetMode *mode) {
            return output(&zecmCreateDataset, "create dataset error, ret: %d.", byValue(mode));
        },
        "Create a dataset.");
    m.def("destroyDataset", &zecmDestroyDataset, "Destroy a dataset.");
    m.def("addDatasetBuffer", &zecmAddDatasetBuffer, "Add a dataset buffer.");
    m.def(
        "getDatasetBufferCount",
        [](Handle dataset) {
            return output(&zecmGetDatasetBufferCount, "get dataset buffer count error, ret: %d.", dataset);
        },
        "Get the data buffer count for a dataset.");
    m.def(
        "getDatasetBuffer",
        [](Handle dataset, int32_t index) {
            return output(&zecmGetDatasetBuffer, "get dataset buffer error, ret: %d.", dataset, index);
        },
        "Get the data buffer by index for a dataset.");
    m.def("addDatasetTensor", &zecmAddDatasetTensor, "Add a tensor into a dataset.");
    m.def(
        "getDatasetTensorCount",
        [](Handle dataset) {
            return output(&zecmGetDatasetTensorCount, "get dataset tensor count error, ret: %d.", dataset);
        },
        "Get the tensor count for a dataset.");
    m.def(
        "getDatasetTensor",
        [](Handle dataset, int32_t index) {
            return output(&zecmGetDatasetTensor, "get dataset tensor error, ret: %d.", dataset, index);
        },
        "Get the tensor by index for a dataset.");
    m.def(
        "getDatasetMode",
        [](Handle dataset) { return output(&zecmGetDatasetMode, "get dataset mode error, ret: %d.", dataset); },
        "Get the mode for a dataset.");
    m.def(
        "getDatasetUserCtx",
        [](Handle dataset) { return output(&zecmGetDatasetUserCtx, "get dataset user ctx error, ret: %d.", dataset); },
        "Get the user context data for a dataset.");
    m.def("setDatasetUserCtx", &zecmSetDatasetUserCtx, "Set the user context data for a dataset.");
    m.def("clearDataset", &zecmClearDataset, "Clear a dataset.");
}

void registerDestroyDatasetAll(py::module_ &m) {
    m.def("destroyDatasetAll", &zecmDestroyDatasetAll, "Destroy all data in a dataset including itself.");
}

}  // namespace halvora::zecm
