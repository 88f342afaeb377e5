// The example customized-op plug-in: one op, "nv12_scale", that resizes an NV12
// picture into another NV12 picture with bilinear interpolation (cv::resize,
// INTER_LINEAR, on the Y plane and on the interleaved UV plane).
//
// Configuration block (36 bytes, native byte order):
//   int32 height, width, h_pitch, w_pitch   the input picture
//   int32 height, width, h_pitch, w_pitch   the output picture
//   float scale
// A pitch of 0 is the tight one (w_pitch = width, h_pitch = height). An output of
// width and height 0 is the input times `scale`, each side rounded down to even.
// A buffer holds the Y plane (w_pitch x h_pitch bytes) followed by the UV plane
// (w_pitch x h_pitch / 2 bytes).
#include <cmath>
#include <cstring>
#include <new>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "zeceplugin.h"

namespace {

constexpr const char *kName = "nv12_scale";
constexpr int32_t kMaxSide = 16384;
constexpr int32_t kMaxPitch = 4 * kMaxSide;

struct Shape {
    int32_t height;
    int32_t width;
    int32_t h_pitch;
    int32_t w_pitch;
};

struct Config {
    Shape input;
    Shape output;
    float scale;
};
static_assert(sizeof(Config) == 36, "the configuration block is 36 bytes");

struct Instance {
    bool configured = false;
    Shape input{};
    Shape output{};
};

// Bytes an NV12 picture of this shape occupies.
uint64_t bytesOf(const Shape &shape) { return uint64_t(shape.w_pitch) * uint64_t(shape.h_pitch) * 3 / 2; }

// Fills in tight pitches and checks the picture: even sides from 2 to kMaxSide, pitches
// that hold them, an even row count.
bool settle(Shape *shape) {
    if (shape->w_pitch == 0) shape->w_pitch = shape->width;
    if (shape->h_pitch == 0) shape->h_pitch = shape->height;
    auto evenSide = [](int32_t side) { return side >= 2 && side <= kMaxSide && side % 2 == 0; };
    return evenSide(shape->width) && evenSide(shape->height) && shape->w_pitch >= shape->width &&
           shape->w_pitch <= kMaxPitch && shape->h_pitch >= shape->height && shape->h_pitch <= kMaxPitch &&
           shape->h_pitch % 2 == 0;
}

// A side times the scale, rounded down to even; 0 when out of range.
int32_t scaled(int32_t side, float scale) {
    double value = std::floor(double(side) * double(scale) / 2.0) * 2.0;
    return value >= 2.0 && value <= kMaxSide ? int32_t(value) : 0;
}

zecePluginInstance *create(const char *name) {
    if (!name || std::strcmp(name, kName) != 0) return nullptr;
    return new (std::nothrow) Instance;
}

void destroy(zecePluginInstance *instance) { delete static_cast<Instance *>(instance); }

uint32_t configure(zecePluginInstance *instance, const void *block, uint32_t size) {
    if (!instance || !block || size != sizeof(Config)) return zeceER_INVALID_PARAM;
    Config config;
    std::memcpy(&config, block, sizeof config);
    if (!settle(&config.input)) return zeceER_INVALID_IMAGE;
    Shape &output = config.output;
    if (output.width == 0 && output.height == 0) {
        if (!std::isfinite(config.scale) || config.scale <= 0.0f) return zeceER_INVALID_PARAM;
        output.width = scaled(config.input.width, config.scale);
        output.height = scaled(config.input.height, config.scale);
    }
    if (!settle(&output)) return zeceER_INVALID_IMAGE;
    auto *self = static_cast<Instance *>(instance);
    self->input = config.input;
    self->output = output;
    self->configured = true;
    return zeceER_SUCCESS;
}

// The op takes one input and one output: a table declaring other counts is refused.
uint32_t setCallbacks(zecePluginInstance *instance, const zeceCfgCallback *table) {
    if (!instance || !table) return zeceER_INVALID_PARAM;
    for (int slot : {0, 2}) {
        if (!table[slot]) continue;
        if (reinterpret_cast<zeceCfgCountFn>(table[slot])() != 1) return zeceER_INVALID_PARAM;
    }
    return zeceER_SUCCESS;
}

// The Y plane (or the interleaved UV plane) of a picture, as a matrix over its buffer.
cv::Mat plane(const Shape &shape, void *data, bool chroma) {
    auto *bytes = static_cast<uint8_t *>(data);
    if (!chroma) return cv::Mat(shape.height, shape.width, CV_8UC1, bytes, size_t(shape.w_pitch));
    bytes += size_t(shape.w_pitch) * size_t(shape.h_pitch);
    return cv::Mat(shape.height / 2, shape.width / 2, CV_8UC2, bytes, size_t(shape.w_pitch));
}

uint32_t execute(zecePluginInstance *instance, const zecePluginBuffer *inputs, uint32_t inputCount,
                 const zecePluginBuffer *outputs, uint32_t outputCount) {
    auto *self = static_cast<Instance *>(instance);
    if (!self || inputCount != 1 || outputCount != 1 || !inputs || !outputs) return zeceER_INVALID_PARAM;
    if (!self->configured) return zeceER_OP_NOT_READY;
    const zecePluginBuffer &in = inputs[0], &out = outputs[0];
    if (!in.data || in.size < bytesOf(self->input)) return zeceER_INVALID_ADDRESS;
    if (!out.data || out.size < bytesOf(self->output)) return zeceER_BUFFER_TOO_SMALL;
    try {
        cv::Mat from[2] = {plane(self->input, in.data, false), plane(self->input, in.data, true)};
        // cv::resize must not read pixels already written: overlapping buffers are
        // resized from a copy of the input planes.
        auto *inBytes = static_cast<uint8_t *>(in.data);
        auto *outBytes = static_cast<uint8_t *>(out.data);
        if (inBytes < outBytes + bytesOf(self->output) && outBytes < inBytes + bytesOf(self->input))
            for (cv::Mat &source : from) source = source.clone();
        for (bool chroma : {false, true}) {
            cv::Mat to = plane(self->output, out.data, chroma);
            // `to` keeps its memory: cv::resize reallocates only for another size or type.
            cv::resize(from[chroma], to, to.size(), 0, 0, cv::INTER_LINEAR);
        }
    } catch (const std::bad_alloc &) {
        return zeceER_OUT_OF_MEMORY;
    } catch (...) {
        return zeceER_INVALID_IMAGE;
    }
    return zeceER_SUCCESS;
}

const char *const kNames[] = {kName};

const zecePlugin kTable = {ZECE_PLUGIN_ABI_VERSION, 1, kNames, create, destroy, configure, setCallbacks, execute};

}  // namespace

const zecePlugin *zecePluginEntry(void) { return &kTable; }
