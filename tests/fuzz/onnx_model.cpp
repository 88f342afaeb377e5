// ONNX model files handed to zeclCreateModel and zeclCreateDynamicModel (the input
// as the file): a model is loaded or refused with a status, and what a loaded model
// reports (counts, shapes, sizes, batch sizes) is read back before it is destroyed.
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

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    FUZZ_CHECK(zecmInitialize(nullptr) == 0);
    FUZZ_CHECK(zecmSetDevice(0) == 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const fuzz::ScratchFile scratch("model.onnx");
    const char *path = scratch.write(data, size).c_str();
    zeclModel *model = nullptr;
    if (zeclCreateModel(path, "fuzz", nullptr, nullptr, &model) == 0) {
        inspect(model);
        FUZZ_CHECK(zeclDestroyModel(model) == 0);
    }
    model = nullptr;
    if (zeclCreateDynamicModel(path, nullptr, &model) == 0) {
        shapeDynamic(model);
        FUZZ_CHECK(zeclDestroyModel(model) == 0);
    }
    return 0;
}
