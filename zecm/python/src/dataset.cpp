// Datasets and their mode enumeration.
#include "groups.hpp"
#include "zecm.h"

namespace halvora::zecm {

void registerDatasets(py::module_ &m) {
    bindEnum<zecmDatasetMode>(m, "datasetMode",
                              {{"zecmDM_BUFFER", zecmDM_BUFFER}, {"zecmDM_TENSOR", zecmDM_TENSOR}});

    m.def("createDataset", [](const zecmDatasetMode *mode) {
        zecmDatasetMode value = byValue(mode);
        zecmDataset *dataset = nullptr;
        check(zecmCreateDataset(value, &dataset), "create dataset error, ret: %d.");
        return dataset;
    }, "Create a dataset.");
    m.def("destroyDataset", &zecmDestroyDataset, "Destroy a dataset.");
    m.def("addDatasetBuffer", &zecmAddDatasetBuffer, "Add a dataset buffer.");
    m.def("getDatasetBufferCount", [](Handle dataset) {
        uint32_t count = 0;
        check(zecmGetDatasetBufferCount(dataset, &count), "get dataset buffer count error, ret: %d.");
        return count;
    }, "Get the data buffer count for a dataset.");
    m.def("getDatasetBuffer", [](Handle dataset, int32_t index) {
        zecmDataBuffer *buffer = nullptr;
        check(zecmGetDatasetBuffer(dataset, index, &buffer), "get dataset buffer error, ret: %d.");
        return buffer;
    }, "Get the data buffer by index for a dataset.");
    m.def("addDatasetTensor", &zecmAddDatasetTensor, "Add a tensor into a dataset.");
    m.def("getDatasetTensorCount", [](Handle dataset) {
        uint32_t count = 0;
        check(zecmGetDatasetTensorCount(dataset, &count), "get dataset tensor count error, ret: %d.");
        return count;
    }, "Get the tensor count for a dataset.");
    m.def("getDatasetTensor", [](Handle dataset, int32_t index) {
        zecmTensor *tensor = nullptr;
        check(zecmGetDatasetTensor(dataset, index, &tensor), "get dataset tensor error, ret: %d.");
        return tensor;
    }, "Get the tensor by index for a dataset.");
    m.def("getDatasetMode", [](Handle dataset) {
        zecmDatasetMode mode{};
        check(zecmGetDatasetMode(dataset, &mode), "get dataset mode error, ret: %d.");
        return py::cast(mode);
    }, "Get the mode for a dataset.");
    m.def("getDatasetUserCtx", [](Handle dataset) {
        void *userCtx = nullptr;
        check(zecmGetDatasetUserCtx(dataset, &userCtx), "get dataset user ctx error, ret: %d.");
        return userCtx;
    }, "Get the user context data for a dataset.");
    m.def("setDatasetUserCtx", &zecmSetDatasetUserCtx, "Set the user context data for a dataset.");
    m.def("clearDataset", &zecmClearDataset, "Clear a dataset.");
}

void registerDestroyDatasetAll(py::module_ &m) {
    m.def("destroyDatasetAll", &zecmDestroyDatasetAll, "Destroy all data in a dataset including itself.");
}

}  // namespace halvora::zecm
