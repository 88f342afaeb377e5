// The configuration example of customized ops: an NV12 geometry record, a
// configuration record sent as a fixed 36-byte block, and a table of callbacks
// of the module's own that the runtime may call at any time.
#include <vector>

#include "groups.hpp"
#include "zece.h"

namespace halvora::zece {
namespace {

struct yuvNv12Shape {
    int32_t height = 0;
    int32_t width = 0;
    int32_t h_pitch = 0;
    int32_t w_pitch = 0;
};

struct customCfgExamplePy {
    yuvNv12Shape iimage_shape;
    std::vector<yuvNv12Shape> oimage_shape;
    float scale = 0.0f;
};

// The block as the runtime receives it: input shape, output shape, scale.
#pragma pack(push, 1)
struct ConfigBlock {
    yuvNv12Shape input;
    yuvNv12Shape output;
    float scale;
};
#pragma pack(pop)
static_assert(sizeof(ConfigBlock) == 36, "the configuration block is 36 bytes");

uint32_t setConfigExample(Handle op, customCfgExamplePy *config) {
    const customCfgExamplePy &record = required(config, "customCfgExample");
    if (record.oimage_shape.size() != 1) throw py::type_error("Op output count not same as define");
    ConfigBlock block{record.iimage_shape, record.oimage_shape.front(), record.scale};
    if (zeceSetCustomizedOpConfig(op, &block, sizeof block) != 0)
        throw py::type_error("zece setCustomizedOpConfig error.");
    return 0;
}

// Two shape records the callbacks hand out; never written after load.
const zecmShape kShapeA = {4, {1, 3, 720, 1280, 0, 0}};
const zecmShape kShapeB = {4, {1, 3, 720, 1280, 0, 0}};

int32_t inputCount() { return 1; }
const zecmShape *inputShape() { return &kShapeA; }
int32_t outputCount() { return 1; }
const zecmShape *outputShape() { return &kShapeB; }
int32_t inputDepth() { return 100; }
int32_t outputDepth() { return 100; }

uint32_t setCallbackExample(Handle op) {
    const zeceCfgCallback table[ZECE_CFG_CALLBACK_NUM] = {
        reinterpret_cast<zeceCfgCallback>(&inputCount),
        reinterpret_cast<zeceCfgCallback>(&inputShape),
        reinterpret_cast<zeceCfgCallback>(&outputCount),
        reinterpret_cast<zeceCfgCallback>(&outputShape),
        reinterpret_cast<zeceCfgCallback>(&inputDepth),
        reinterpret_cast<zeceCfgCallback>(&outputDepth),
        nullptr,
    };
    return zeceSetCustomizedOpCfgCallback(op, table);
}

}  // namespace

void registerConfigExample(py::module_ &m) {
    py::class_<yuvNv12Shape>(m, "yuvNv12Shape")
        .def(py::init<>())
        .def_readwrite("height", &yuvNv12Shape::height)
        .def_readwrite("width", &yuvNv12Shape::width)
        .def_readwrite("h_pitch", &yuvNv12Shape::h_pitch)
        .def_readwrite("w_pitch", &yuvNv12Shape::w_pitch);
    // oimage_shape reads as copies of the stored shapes: a later assignment
    // replaces the vector, and no Python object may point into the old one.
    py::class_<customCfgExamplePy> config(m, "customCfgExample");
    // Accessors made as methods of the class, so that their signatures read "(self: ...)"
    // as those of every other property do.
    config.def(py::init<>())
        .def_readwrite("iimage_shape", &customCfgExamplePy::iimage_shape)
        .def_property(
            "oimage_shape",
            py::cpp_function([](const customCfgExamplePy &record) { return record.oimage_shape; },
                             py::is_method(config)),
            py::cpp_function([](customCfgExamplePy &record,
                                std::vector<yuvNv12Shape> shapes) { record.oimage_shape = std::move(shapes); },
                             py::is_method(config)))
        .def_readwrite("scale", &customCfgExamplePy::scale);
    m.def("setCustomizedOpConfigExample", &setConfigExample, "zentri preprocess op setCustomizedOpConfig.");
    m.def("setCustomizedOpCfgCallbackExample", &setCallbackExample, "zentri preprocess op setCustomizedOpConfig.");
}

}  // namespace halvora::zece
