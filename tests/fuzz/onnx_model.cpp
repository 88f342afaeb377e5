// ONNX model files handed to zeclCreateModel and zeclCreateDynamicModel (the input
// as the file), with each engine: the compiled plan forced, then the engine the card
// chooses (the plan where it covers the graph, OpenCV's DNN otherwise). A model is
// loaded or refused with a status; what a loaded model reports (counts, shapes,
// sizes, batch sizes) is read back, and a static model runs once on zeros, before it
// is destroyed.
#include <cstdlib>
#include <vector>

#include "support.hpp"
#include "zecl.h"
#include "zecm.h"

namespace {

// Everything a loaded model tells about itself, and a change of batch size.
void inspect(zeclModel *model) {
    uint32_t inputs = 0, outputs = 0, batch = 0, maxBatch = 0;
    FUZZ_CHECK(zeclGetModelInputCount(model, &inputs) == 0 && inputs > 0);
    FUZZ_CHECK(zeclGetModelOutputCount(model, &outputs) == 0 && outputs > 0);
    zeclGetModelBatchSize(model, &batch);
    FUZZ_CHECK(zeclGetModelMaxBatchSize(model, &maxBatch) == 0 && maxBatch > 0);
    for (uint32_t i = 0; i <= inputs; ++i) {
        zecmShape shape{};
        const uint32_t status = zeclGetModelInputShapeByIndex(model, static_cast<int32_t>(i), &shape);
        FUZZ_CHECK((status == 0) == (i < inputs));
        FUZZ_CHECK(shape.ndims <= ZECM_MAX_DIMS);
    }
    for (uint32_t i = 0; i <= outputs; ++i) {
        zecmShape shape{};
        zecmDType type;
        uint64_t size = 0;
        zeclGetModelOutputShapeByIndex(model, static_cast<int32_t>(i), &shape);
        FUZZ_CHECK(shape.ndims <= ZECM_MAX_DIMS);
        zeclGetModelOutputDataTypeByIndex(model, static_cast<int32_t>(i), &type);
        zeclGetModelOutputSizeByIndex(model, static_cast<int32_t>(i), &size);
    }
    zeclGetModelOutputShapeByIndex(model, -1, nullptr);
    uint32_t two = 2;
    zeclSetModelBatchSize(model, &two);
}

// A dynamic model's inputs shaped as declared, batch 1 and 1 for every unknown dimension.
void shapeDynamic(zeclModel *model) {
    uint32_t inputs = 0;
    if (zeclGetModelInputCount(model, &inputs) || inputs == 0 || inputs > 64) return;
    std::vector<zecmShape> shapes(inputs);
    for (uint32_t i = 0; i < inputs; ++i) {
        FUZZ_CHECK(zeclGetModelInputShapeByIndex(model, static_cast<int32_t>(i), &shapes[i]) == 0);
        FUZZ_CHECK(shapes[i].ndims <= ZECM_MAX_DIMS);
        for (uint32_t d = 0; d < shapes[i].ndims; ++d)
            if (d == 0 || shapes[i].dims[d] <= 0) shapes[i].dims[d] = 1;
    }
    uint32_t maxBatch = 0;
    zeclGetDynamicModelMaxBatchSize(model, shapes.data(), inputs, &maxBatch);
    if (zeclSetDynamicModelInputShape(model, shapes.data(), inputs) == 0) inspect(model);
}

// Input bytes of one run: bounded, so that a model declaring huge inputs is not run.
constexpr uint64_t kMaxRunBytes = 16u << 20;

// The model's inputs as a dataset of zeroed device buffers, or null when they are too large.
zecmDataset *zeroInputs(zeclModel *model) {
    uint32_t inputs = 0;
    if (zeclGetModelInputCount(model, &inputs) || inputs == 0 || inputs > 64) return nullptr;
    zecmDataset *dataset = nullptr;
    FUZZ_CHECK(zecmCreateDataset(zecmDM_BUFFER, &dataset) == 0);
    uint64_t total = 0;
    for (uint32_t i = 0; i < inputs; ++i) {
        zecmShape shape{};
        FUZZ_CHECK(zeclGetModelInputShapeByIndex(model, static_cast<int32_t>(i), &shape) == 0);
        uint64_t bytes = 8;  // room for the widest element type
        for (uint32_t d = 0; d < shape.ndims && bytes <= kMaxRunBytes; ++d)
            bytes *= shape.dims[d] > 0 ? static_cast<uint64_t>(shape.dims[d]) : 1;
        total += bytes;
        void *block = nullptr;
        zecmDataBuffer *buffer = nullptr;
        if (bytes > kMaxRunBytes || total > kMaxRunBytes || zecmMalloc(bytes, &block)) {
            FUZZ_CHECK(zecmDestroyDatasetAll(dataset) == 0);
            return nullptr;
        }
        FUZZ_CHECK(zecmMemset(block, 0, bytes) == 0);
        FUZZ_CHECK(zecmCreateDataBuffer(zecmDeviceInfo{zecmDE_ZECC, 0}, block, bytes, &buffer) == 0);
        FUZZ_CHECK(zecmAddDatasetBuffer(dataset, buffer) == 0);
    }
    return dataset;
}

// One run through a graph-input op and a run-model op on a stream: it succeeds or
// fails with a status, and its outputs are destroyed.
void runOnce(zeclModel *model) {
    zecmDataset *input = zeroInputs(model);
    if (!input) return;
    zeclOpGraph *graph = nullptr;
    zeclOp *feed = nullptr, *run = nullptr;
    zeclOpStream *stream = nullptr;
    FUZZ_CHECK(zeclCreateOpGraph(&graph) == 0);
    uint32_t inputs = 0;
    FUZZ_CHECK(zeclGetModelInputCount(model, &inputs) == 0);
    FUZZ_CHECK(zeclCreateGraphInputOp(graph, inputs, &feed) == 0);
    FUZZ_CHECK(zeclCreateRunModelOp(model, &run) == 0);
    FUZZ_CHECK(zeclConnectOps(feed, run) == 0);
    FUZZ_CHECK(zeclRegisterGetOutput(graph, run) == 0);
    FUZZ_CHECK(zeclCreateOpStream(graph, zeclBM_ONCE, &stream) == 0);
    FUZZ_CHECK(zeclBuildStream(stream) == 0);
    if (zeclRunStream(stream, feed, input, 0xFFFFFFFFu) == 0) {
        zecmDataset *output = nullptr;
        if (zeclRequestOutputDataset(stream, &output) == 0) FUZZ_CHECK(zecmDestroyDatasetAll(output) == 0);
    }
    FUZZ_CHECK(zeclDestroyOpStream(stream) == 0);
    FUZZ_CHECK(zeclDestroyOpGraph(graph) == 0);
    FUZZ_CHECK(zecmDestroyDatasetAll(input) == 0);
}

// Loads, inspects and runs the file with the engine that ZESIM_ENGINE names.
void loadWith(const char *engine, const char *path) {
    setenv("ZESIM_ENGINE", engine, 1);
    zeclModel *model = nullptr;
    if (zeclCreateModel(path, "fuzz", nullptr, nullptr, &model) == 0) {
        inspect(model);
        uint32_t one = 1;
        zeclSetModelBatchSize(model, &one);
        runOnce(model);
        FUZZ_CHECK(zeclDestroyModel(model) == 0);
    }
    model = nullptr;
    if (zeclCreateDynamicModel(path, nullptr, &model) == 0) {
        shapeDynamic(model);
        FUZZ_CHECK(zeclDestroyModel(model) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    FUZZ_CHECK(zecmInitialize(nullptr) == 0);
    FUZZ_CHECK(zecmSetDevice(0) == 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const fuzz::ScratchFile scratch("model.onnx");
    const char *path = scratch.write(data, size).c_str();
    loadWith("plan", path);
    loadWith("auto", path);
    return 0;
}
