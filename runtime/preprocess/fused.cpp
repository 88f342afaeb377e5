// Fused ops: a picture (NV12, or interleaved RGB/BGR) converted, resized, cropped or
// letterboxed, normalised and tensorised in one pass over the output rows. Only
// the source rows an output row needs are converted and resampled, each once, and
// no full-size intermediate picture is made.
//
// The result equals the same chain of separate steps (OpenCV's cvtColor and resize,
// then normalisation in 32-bit floats): OpenCV's bilinear and nearest resizes and
// Pillow's filters are reproduced with their own fixed-point arithmetic, OpenCV's
// bicubic and Lanczos filters with floating-point taps (within 1 of its bytes).
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "common/float16.hpp"
#include "preprocess/color.hpp"
#include "preprocess/fused.hpp"
#include "preprocess/op_types.hpp"
#include "preprocess/resample.hpp"

namespace zece {
namespace {

// ---- resampling of rows ---------------------------------------------------------------

enum class Mode { Nearest, Linear, Area, Pillow, Taps };

constexpr int kBandPairs = 32;   // row pairs of the source converted by one call
constexpr int kStripeRows = 32;  // least output rows worth a thread of their own
constexpr int kCoefficientBits = 11;  // OpenCV's fixed-point resize coefficients
constexpr int kCoefficientScale = 1 << kCoefficientBits;

// One axis of a resample: for each output position, `taps` source indices (and
// weights), the sources already offset into the picture.
struct Axis {
    Mode mode = Mode::Nearest;
    int count = 0;  // output positions
    int taps = 1;
    std::vector<int> index;
    std::vector<int> fixed;      // Linear: weights scaled by 2^11, as OpenCV rounds them; Pillow: Taps::fixed
    std::vector<float> weights;  // Taps
};

// The mode a resize kind runs in; OpenCV turns a bilinear resize by exactly one half
// on both axes into an area average.
Mode modeOf(zeceResizeType type, int inWidth, int inHeight, int outWidth, int outHeight) {
    if (type == zeceRESIZE_NO_RESIZE) return Mode::Nearest;
    int interpolation = cvInterpolation(type);
    if (interpolation == cv::INTER_NEAREST) return Mode::Nearest;
    if (interpolation == cv::INTER_LINEAR)
        return inWidth == 2 * outWidth && inHeight == 2 * outHeight ? Mode::Area : Mode::Linear;
    return isPillow(type) ? Mode::Pillow : Mode::Taps;
}

// Output positions [begin, begin + count) of a resize from `in` to `out` positions,
// whose sources start at `offset` in the picture. OpenCV's bilinear resize moves a
// column's weights onto the edge pixel past an edge, but keeps a row's weights and
// reads the edge row twice.
Axis makeAxis(Mode mode, zeceResizeType type, int in, int out, int offset, int begin, int count, bool rows) {
    Axis axis;
    axis.mode = mode;
    axis.count = count;
    const double scale = 1.0 / (static_cast<double>(out) / in);
    if (mode == Mode::Taps || mode == Mode::Pillow) {
        Taps taps = makeTaps(type, in, out);
        axis.taps = taps.width;
        for (int i = begin; i < begin + count; ++i)
            for (int k = 0; k < taps.width; ++k) {
                const size_t tap = static_cast<size_t>(i) * taps.width + k;
                axis.index.push_back(offset + taps.first[i] + k);
                if (mode == Mode::Pillow)
                    axis.fixed.push_back(taps.fixed[tap]);
                else
                    axis.weights.push_back(taps.weights[tap]);
            }
        return axis;
    }
    axis.taps = mode == Mode::Nearest ? 1 : 2;
    for (int i = begin; i < begin + count; ++i) {
        if (mode == Mode::Nearest) {
            int source = type == zeceRESIZE_NO_RESIZE ? i : static_cast<int>(std::floor(i * scale));
            axis.index.push_back(offset + std::min(source, in - 1));
        } else if (mode == Mode::Area) {
            axis.index.push_back(offset + 2 * i);
            axis.index.push_back(offset + 2 * i + 1);
        } else {
            float f = static_cast<float>((i + 0.5) * scale - 0.5);
            int source = static_cast<int>(std::floor(f));
            f -= static_cast<float>(source);
            if (!rows && source < 0) f = 0, source = 0;
            if (!rows && source >= in - 1) f = 0, source = in - 1;
            axis.index.push_back(offset + std::clamp(source, 0, in - 1));
            axis.index.push_back(offset + std::clamp(source + 1, 0, in - 1));
            axis.fixed.push_back(static_cast<int>(std::lrint((1.0f - f) * kCoefficientScale)));
            axis.fixed.push_back(static_cast<int>(std::lrint(f * kCoefficientScale)));
        }
    }
    return axis;
}

// Source rows of `channels` bytes per pixel, addressed by their row in the picture.
using RowSource = std::function<const uint8_t *(int row)>;

// The horizontal pass of one source row into `count` positions of C channels:
// integers for OpenCV's kinds (weights scaled by 2^11 for Linear, pair sums for
// Area) and for Pillow's (bytes, as Pillow rounds its first pass), floats for taps.
template <int C>
void horizontalInts(const Axis &axis, const uint8_t *__restrict in, int32_t *__restrict out) {
    const int *index = axis.index.data();
    for (int x = 0; x < axis.count; ++x) {
        if (axis.mode == Mode::Pillow) {
            int32_t sums[C];
            for (int c = 0; c < C; ++c) sums[c] = kTapHalf;
            for (int k = 0; k < axis.taps; ++k) {
                const size_t tap = static_cast<size_t>(x) * axis.taps + k;
                const uint8_t *p = in + index[tap] * C;
                for (int c = 0; c < C; ++c) sums[c] += p[c] * axis.fixed[tap];
            }
            for (int c = 0; c < C; ++c) out[x * C + c] = clip8(sums[c]);
        } else if (axis.mode == Mode::Nearest) {
            const uint8_t *p = in + index[x] * C;
            for (int c = 0; c < C; ++c) out[x * C + c] = p[c];
        } else if (axis.mode == Mode::Area) {
            const uint8_t *p = in + index[2 * x] * C;
            for (int c = 0; c < C; ++c) out[x * C + c] = p[c] + p[C + c];
        } else {
            const uint8_t *p0 = in + index[2 * x] * C, *p1 = in + index[2 * x + 1] * C;
            const int a0 = axis.fixed[2 * x], a1 = axis.fixed[2 * x + 1];
            for (int c = 0; c < C; ++c) out[x * C + c] = p0[c] * a0 + p1[c] * a1;
        }
    }
}

template <int C> void horizontalFloats(const Axis &axis, const uint8_t *__restrict in, float *__restrict out) {
    for (int x = 0; x < axis.count; ++x) {
        float sum[C] = {};
        for (int k = 0; k < axis.taps; ++k) {
            const size_t tap = static_cast<size_t>(x) * axis.taps + k;
            const float weight = axis.weights[tap];
            const uint8_t *p = in + axis.index[tap] * C;
            for (int c = 0; c < C; ++c) sum[c] += weight * p[c];
        }
        for (int c = 0; c < C; ++c) out[x * C + c] = sum[c];
    }
}

// OpenCV's vertical step of its bilinear resize: each weighted row scaled down before the sum.
void verticalLinear(const int32_t *__restrict a, const int32_t *__restrict b, int b0, int b1, int width,
                    uint8_t *__restrict out) {
    for (int x = 0; x < width; ++x) {
        int value = (((b0 * (a[x] >> 4)) >> 16) + ((b1 * (b[x] >> 4)) >> 16) + 2) >> 2;
        out[x] = static_cast<uint8_t>(std::clamp(value, 0, 255));
    }
}

// A separable resample of source rows into output rows of bytes. Horizontally
// resampled source rows are kept in a ring as long as output rows still need them.
class Resampler {
public:
    Resampler(Axis horizontal, Axis vertical, int channels, RowSource source)
        : h_(std::move(horizontal)), v_(std::move(vertical)), channels_(channels), source_(std::move(source)),
          width_(h_.count * channels), slots_(v_.taps + 1), keys_(slots_, -1), ints_(slots_), floats_(slots_) {}

    // Output row y (of the vertical axis) as bytes.
    void row(int y, uint8_t *__restrict out) {
        const int *rows = &v_.index[static_cast<size_t>(y) * v_.taps];
        switch (v_.mode) {
        case Mode::Nearest: {
            const int32_t *a = ints(rows[0]);
            for (int x = 0; x < width_; ++x) out[x] = static_cast<uint8_t>(a[x]);
            break;
        }
        case Mode::Area: {
            // OpenCV rounds halves up, but to even for two-channel pictures.
            const int32_t *a = ints(rows[0]);
            const int32_t *b = ints(rows[1]);
            if (channels_ == 2)
                for (int x = 0; x < width_; ++x) out[x] = static_cast<uint8_t>(std::lrint((a[x] + b[x]) * 0.25f));
            else
                for (int x = 0; x < width_; ++x) out[x] = static_cast<uint8_t>((a[x] + b[x] + 2) >> 2);
            break;
        }
        case Mode::Linear: {
            const int32_t *a = ints(rows[0]);
            const int32_t *b = ints(rows[1]);
            verticalLinear(a, b, v_.fixed[2 * static_cast<size_t>(y)], v_.fixed[2 * static_cast<size_t>(y) + 1],
                           width_, out);
            break;
        }
        case Mode::Pillow: {
            pillowSum_.assign(width_, kTapHalf);
            for (int k = 0; k < v_.taps; ++k) {
                const int32_t weight = v_.fixed[static_cast<size_t>(y) * v_.taps + k];
                if (weight == 0) continue;
                const int32_t *a = ints(rows[k]);
                for (int x = 0; x < width_; ++x) pillowSum_[x] += a[x] * weight;
            }
            for (int x = 0; x < width_; ++x) out[x] = clip8(pillowSum_[x]);
            break;
        }
        case Mode::Taps: {
            sum_.assign(width_, 0.0f);
            for (int k = 0; k < v_.taps; ++k) {
                const float weight = v_.weights[static_cast<size_t>(y) * v_.taps + k];
                if (weight == 0.0f) continue;
                const float *a = floats(rows[k]);
                for (int x = 0; x < width_; ++x) sum_[x] += weight * a[x];
            }
            for (int x = 0; x < width_; ++x) out[x] = cv::saturate_cast<uint8_t>(sum_[x]);
            break;
        }
        }
    }

private:
    int slot(int row) const { return row % slots_; }

    const int32_t *ints(int row) {
        const int s = slot(row);
        std::vector<int32_t> &out = ints_[s];
        if (keys_[s] == row) return out.data();
        keys_[s] = row;
        out.resize(width_);
        const uint8_t *in = source_(row);
        switch (channels_) {
        case 1: horizontalInts<1>(h_, in, out.data()); break;
        case 2: horizontalInts<2>(h_, in, out.data()); break;
        default: horizontalInts<3>(h_, in, out.data()); break;
        }
        return out.data();
    }

    const float *floats(int row) {
        const int s = slot(row);
        std::vector<float> &out = floats_[s];
        if (keys_[s] == row) return out.data();
        keys_[s] = row;
        out.resize(width_);
        const uint8_t *in = source_(row);
        switch (channels_) {
        case 1: horizontalFloats<1>(h_, in, out.data()); break;
        case 2: horizontalFloats<2>(h_, in, out.data()); break;
        default: horizontalFloats<3>(h_, in, out.data()); break;
        }
        return out.data();
    }

    Axis h_, v_;
    int channels_;
    RowSource source_;
    int width_;  // bytes of an output row
    int slots_;
    std::vector<int> keys_;
    std::vector<std::vector<int32_t>> ints_;
    std::vector<std::vector<float>> floats_;
    std::vector<float> sum_;
    std::vector<int32_t> pillowSum_;
};

// ---- the op's settings ----------------------------------------------------------------

struct Plan {
    OpTraits op;                 // the op type's row
    Image image;
    zeceResizeType resize = zeceRESIZE_BILINEAR;
    YuvCoding coding;            // NV12 input: its matrix and range (chroma of each 2 x 2 block)
    bool swap = false;           // the rows' first and third channels are exchanged (RGB input)
    bool bgr = false;            // after that exchange the channels are B, G, R
    cv::Rect source;             // the part of the input that is resized
    cv::Size resized;            // the size it is resized to
    cv::Rect window;             // the part of the resized picture written (letterbox: where it goes)
    cv::Size output;             // the tensor's width and height
    bool letterbox = false;
    uint8_t padding[3] = {0, 0, 0};
    zeceNormType norm = zeceNORM_NORMALIZATION_NONE;
    float mean[3] = {0, 0, 0};
    float std[3] = {1, 1, 1};
    float scale = 1;
    zeceTensorizationType tensor = zeceTENSORIZATION_FP16;
};

bool inside(const cv::Rect &rect, const cv::Size &size) {
    return rect.x >= 0 && rect.y >= 0 && rect.width >= 1 && rect.height >= 1 &&
           int64_t{rect.x} + rect.width <= size.width && int64_t{rect.y} + rect.height <= size.height;
}

bool even(const cv::Rect &rect) { return rect.x % 2 == 0 && rect.y % 2 == 0 && rect.width % 2 == 0 && rect.height % 2 == 0; }

// The crop attributes as a rectangle.
uint32_t cropOf(const Settings &settings, cv::Rect *rect) {
    cropRect crop;
    if (uint32_t status = cropRectangle(settings, -1, &crop)) return status;
    *rect = cv::Rect(crop.start_x, crop.start_y, crop.width, crop.height);
    return zeceER_SUCCESS;
}

uint32_t colourOf(const Settings &settings, zeceImageType format, Plan *plan) {
    if (plan->op.input == FusedInput::Nv12) {
        auto code = enumeration(settings, "colorCvtCode", zeceCOLOR_YUV2RGB_NV12);
        if (code != zeceCOLOR_YUV2RGB_NV12 && code != zeceCOLOR_YUV2BGR_NV12) return zeceER_INVALID_PARAM;
        plan->bgr = code == zeceCOLOR_YUV2BGR_NV12;
        plan->coding.space = enumeration(settings, "colorSpace", zeceCOLOR_SPACE_BT601);
        if (plan->coding.space != zeceCOLOR_SPACE_BT601 && plan->coding.space != zeceCOLOR_SPACE_BT709)
            return zeceER_INVALID_PARAM;
        return yuvCoding(settings, false, &plan->coding);
    }
    auto code = enumeration(settings, "colorCvtCode", zeceCOLOR_NO_CHANGE);
    if (code != zeceCOLOR_NO_CHANGE && code != zeceCOLOR_BGR2RGB) return zeceER_INVALID_PARAM;
    plan->swap = code == zeceCOLOR_BGR2RGB;
    plan->bgr = (format == zeceIMG_BGR888) != plan->swap;
    return zeceER_SUCCESS;
}

uint32_t geometryPlan(const Settings &settings, Plan *plan) {
    const cv::Size picture(plan->image.desc.width, plan->image.desc.height);
    const bool yuv = plan->op.input == FusedInput::Nv12;
    const Geometry geometry = plan->op.geometry;
    plan->source = cv::Rect(cv::Point(0, 0), picture);
    if (geometry == Geometry::CropThenResize) {
        if (uint32_t status = cropOf(settings, &plan->source)) return status;
        if (!inside(plan->source, picture) || (yuv && !even(plan->source))) return zeceER_INVALID_PARAM;
    }
    cv::Rect crop;
    if (geometry == Geometry::ResizeThenCrop) {
        if (uint32_t status = cropOf(settings, &crop)) return status;
        if (uint32_t status = sizeOf(settings, "resize", -1, -1, -1, &plan->resized.width, &plan->resized.height))
            return status;
    }
    // The output size defaults to the crop's where a crop decides it, to the picture's
    // where nothing is resized, and is required otherwise.
    const cv::Size fallback = geometry == Geometry::ResizeThenCrop ? crop.size()
                              : geometry == Geometry::Keep         ? picture
                                                                   : cv::Size(-1, -1);
    if (uint32_t status =
            sizeOf(settings, "output", fallback.width, fallback.height, -1, &plan->output.width, &plan->output.height))
        return status;
    if (plan->output.width < 1 || plan->output.height < 1 || plan->output.width > kMaxSide ||
        plan->output.height > kMaxSide)
        return zeceER_INVALID_PARAM;

    switch (geometry) {
    case Geometry::None: return zeceER_INVALID_PARAM;  // not a fused op
    case Geometry::Keep:
        if (plan->output != picture) return zeceER_INVALID_PARAM;
        plan->resized = picture;
        plan->window = cv::Rect(cv::Point(0, 0), picture);
        break;
    case Geometry::Resize:
    case Geometry::CropThenResize:
        plan->resized = plan->output;
        plan->window = cv::Rect(cv::Point(0, 0), plan->output);
        break;
    case Geometry::ResizeThenCrop:
        if (plan->resized.width < 1 || plan->resized.height < 1 || plan->resized.width > kMaxSide ||
            plan->resized.height > kMaxSide || !inside(crop, plan->resized) || crop.size() != plan->output)
            return zeceER_INVALID_PARAM;
        plan->window = crop;
        break;
    case Geometry::Letterbox: {
        // The largest size of the source's shape that fits, centred.
        double ratio = std::min(static_cast<double>(plan->output.width) / plan->source.width,
                                static_cast<double>(plan->output.height) / plan->source.height);
        int width = std::clamp(static_cast<int>(std::lround(plan->source.width * ratio)), 1, plan->output.width);
        int height = std::clamp(static_cast<int>(std::lround(plan->source.height * ratio)), 1, plan->output.height);
        if (plan->op.resizesYuv) {  // a resized NV12 picture has even sizes
            width = std::max(2, width & ~1);
            height = std::max(2, height & ~1);
            if (width > plan->output.width || height > plan->output.height) return zeceER_INVALID_PARAM;
        }
        plan->resized = cv::Size(width, height);
        plan->window = cv::Rect((plan->output.width - width) / 2, (plan->output.height - height) / 2, width, height);
        plan->letterbox = true;
        paddingValues(settings, plan->padding);
        break;
    }
    }
    if (plan->op.resizesYuv && (plan->resized.width % 2 || plan->resized.height % 2)) return zeceER_INVALID_PARAM;
    return zeceER_SUCCESS;
}

uint32_t normalisationPlan(const Settings &settings, Plan *plan) {
    plan->norm = enumeration(settings, "normType", zeceNORM_NORMALIZATION_NONE);
    if (plan->norm < zeceNORM_NORMALIZATION_NONE || plan->norm > zeceNORM_DIV255) return zeceER_INVALID_PARAM;
    for (int i = 0; i < 3; ++i) {
        plan->mean[i] = static_cast<float>(settings.real("mean", 0.0, i));
        plan->std[i] = static_cast<float>(settings.real("std", 1.0, i));
    }
    plan->scale = static_cast<float>(settings.real("scale", 1.0));
    plan->tensor = enumeration(settings, "tensorizationType", zeceTENSORIZATION_FP16);
    if (plan->tensor < zeceTENSORIZATION_NONE || plan->tensor > zeceTENSORIZATION_FP16_INTERLEAVE_RGB)
        return zeceER_INVALID_PARAM;
    return zeceER_SUCCESS;
}

uint32_t makePlan(zeceOpType type, const Settings &settings, const Buffer &input, Plan *plan) {
    plan->op = opTraits(type);
    const bool yuv = plan->op.input == FusedInput::Nv12;
    zeceImageDesc defaults = {-1, -1, 0, 0, yuv ? zeceIMG_YUV_NV12 : zeceIMG_RGB888};
    zeceImageDesc desc;
    if (uint32_t status = descriptor(settings, "input", defaults, -1, &desc)) return status;
    bool fits = yuv ? desc.format == zeceIMG_YUV_NV12 : desc.format == zeceIMG_RGB888 || desc.format == zeceIMG_BGR888;
    if (!fits) return zeceER_INVALID_IMAGE;
    if (uint32_t status = mapImage(desc, input.data, &plan->image, input.size)) return status;
    plan->resize = enumeration(settings, "resizeType", zeceRESIZE_BILINEAR);
    if (!knownResize(plan->resize)) return zeceER_INVALID_PARAM;
    if (uint32_t status = colourOf(settings, desc.format, plan)) return status;
    if (uint32_t status = geometryPlan(settings, plan)) return status;
    if (plan->resize == zeceRESIZE_NO_RESIZE && plan->resized != plan->source.size()) return zeceER_INVALID_PARAM;
    return normalisationPlan(settings, plan);
}

// ---- the resized rows, in RGB ---------------------------------------------------------

// Rows of the resized picture (plan.resized), interleaved RGB or BGR bytes, columns
// [window.x, window.x + window.width) of it (letterbox: all of it).
class ResizedRows {
public:
    // `needed`: the resized rows that will be asked for (a stripe of the output).
    ResizedRows(const Plan &plan, cv::Range needed) : plan_(plan) {
        const cv::Rect &s = plan.source;
        const cv::Size &r = plan.resized;
        columns_ = plan.letterbox ? cv::Range(0, r.width) : cv::Range(plan.window.x, plan.window.x + plan.window.width);
        const Image &image = plan.image;
        if (plan.op.resizesYuv) {
            // Y and UV planes resized apart (whole rows: NV12 pairs columns), then converted.
            Mode luma = modeOf(plan.resize, s.width, s.height, r.width, r.height);
            Mode chroma = modeOf(plan.resize, s.width / 2, s.height / 2, r.width / 2, r.height / 2);
            const Plane y = image.planes[0], uv = image.planes[1];
            y_ = std::make_unique<Resampler>(makeAxis(luma, plan.resize, s.width, r.width, s.x, 0, r.width, false),
                                             makeAxis(luma, plan.resize, s.height, r.height, s.y, 0, r.height, true), 1,
                                             [y](int row) { return y.data + row * y.pitch; });
            uv_ = std::make_unique<Resampler>(
                makeAxis(chroma, plan.resize, s.width / 2, r.width / 2, s.x / 2, 0, r.width / 2, false),
                makeAxis(chroma, plan.resize, s.height / 2, r.height / 2, s.y / 2, 0, r.height / 2, true), 2,
                [uv](int row) { return uv.data + row * uv.pitch; });
            pairY_.create(2, r.width, CV_8UC1);
            pairUv_.create(1, r.width / 2, CV_8UC2);
            pairRgb_.create(2, r.width, CV_8UC3);
            return;
        }
        Mode mode = modeOf(plan.resize, s.width, s.height, r.width, r.height);
        Axis vertical = makeAxis(mode, plan.resize, s.height, r.height, s.y, 0, r.height, true);
        if (plan.op.input != FusedInput::Nv12) {
            const Plane rgb = image.planes[0];
            rgb_ = std::make_unique<Resampler>(
                makeAxis(mode, plan.resize, s.width, r.width, s.x, columns_.start, columns_.size(), false),
                std::move(vertical), 3, [rgb](int row) { return rgb.data + row * rgb.pitch; });
            return;
        }
        // Source rows are converted in bands of row pairs (a pair shares its chroma row),
        // only the rows and columns the taps read: a strong reduction reads a small part
        // of the picture, and one conversion call serves many output rows.
        for (int resized = needed.start; resized < needed.end; ++resized)
            for (int k = 0; k < vertical.taps; ++k) {
                int row = vertical.index[static_cast<size_t>(resized) * vertical.taps + k];
                if (neededPairs_.empty() || neededPairs_.back() != row / 2) neededPairs_.push_back(row / 2);
            }
        neededPairs_.erase(std::unique(neededPairs_.begin(), neededPairs_.end()), neededPairs_.end());
        bandOf_.assign(plan.image.desc.height / 2, -1);
        Axis horizontal = makeAxis(mode, plan.resize, s.width, r.width, 0, columns_.start, columns_.size(), false);
        std::vector<int> rank(s.width / 2, -1);
        for (int column : horizontal.index) rank[column / 2] = 0;
        for (int pair = 0; pair < s.width / 2; ++pair)
            if (rank[pair] == 0) {
                rank[pair] = static_cast<int>(pairs_.size());
                pairs_.push_back(pair);
            }
        for (int &column : horizontal.index) column = 2 * rank[column / 2] + column % 2;
        const int used = static_cast<int>(pairs_.size()) * 2;
        const int band = std::min<int>(kBandPairs, static_cast<int>(neededPairs_.size()));
        gatheredY_.create(2 * band, used, CV_8UC1);
        gatheredUv_.create(band, used / 2, CV_8UC2);
        convertedRgb_.create(2 * band, used, CV_8UC3);
        rgb_ = std::make_unique<Resampler>(std::move(horizontal), std::move(vertical), 3,
                                           [this](int row) { return convertedRow(row); });
    }

    // Resized row `row`, columns_.size() pixels.
    const uint8_t *row(int row) {
        if (!plan_.op.resizesYuv) {
            line_.resize(static_cast<size_t>(columns_.size()) * 3);
            rgb_->row(row, line_.data());
            return line_.data();
        }
        int pair = row / 2;
        if (pair != currentPair_) {
            y_->row(2 * pair, pairY_.ptr(0));
            y_->row(2 * pair + 1, pairY_.ptr(1));
            uv_->row(pair, pairUv_.ptr(0));
            Plane y{pairY_.data, pairY_.cols, 2, 1, pairY_.step}, uv{pairUv_.data, pairUv_.cols, 1, 2, pairUv_.step};
            Plane rgb{pairRgb_.data, pairRgb_.cols, 2, 3, pairRgb_.step};
            nv12ToRgb(y, uv, rgb, plan_.bgr, plan_.coding);
            currentPair_ = pair;
        }
        return pairRgb_.ptr(row % 2) + columns_.start * 3;
    }

private:
    // Source row `row` in RGB, in the gathered columns. Rows are asked for in rising
    // order, so a row outside the current band starts the next one.
    const uint8_t *convertedRow(int row) {
        const int pair = row / 2;
        if (bandOf_[pair] < 0) convertBand(pair);
        return convertedRgb_.ptr(2 * bandOf_[pair] + row % 2);
    }

    void convertBand(int first) {
        for (int pair : band_) bandOf_[pair] = -1;
        band_.clear();
        auto from = std::lower_bound(neededPairs_.begin(), neededPairs_.end(), first);
        const int rows = convertedRgb_.rows / 2;
        for (; from != neededPairs_.end() && static_cast<int>(band_.size()) < rows; ++from) band_.push_back(*from);
        const Plane &y = plan_.image.planes[0], &uv = plan_.image.planes[1];
        const cv::Rect &s = plan_.source;
        for (size_t b = 0; b < band_.size(); ++b) {
            const int pair = band_[b];
            bandOf_[pair] = static_cast<int>(b);
            const uint8_t *y0 = y.data + 2 * pair * y.pitch + s.x, *y1 = y0 + y.pitch;
            const uint8_t *chroma = uv.data + pair * uv.pitch + s.x;  // 2 bytes a chroma pixel, as 2 of Y
            uint8_t *g0 = gatheredY_.ptr(2 * b), *g1 = gatheredY_.ptr(2 * b + 1), *gc = gatheredUv_.ptr(b);
            for (size_t i = 0; i < pairs_.size(); ++i) {
                const int at = 2 * pairs_[i];
                std::memcpy(g0 + 2 * i, y0 + at, 2);
                std::memcpy(g1 + 2 * i, y1 + at, 2);
                std::memcpy(gc + 2 * i, chroma + at, 2);
            }
        }
        const int count = static_cast<int>(band_.size());
        Plane yRows{gatheredY_.data, gatheredY_.cols, 2 * count, 1, gatheredY_.step};
        Plane uvRows{gatheredUv_.data, gatheredUv_.cols, count, 2, gatheredUv_.step};
        Plane rgb{convertedRgb_.data, convertedRgb_.cols, 2 * count, 3, convertedRgb_.step};
        nv12ToRgb(yRows, uvRows, rgb, plan_.bgr, plan_.coding);
    }

    const Plan &plan_;
    cv::Range columns_;
    std::unique_ptr<Resampler> rgb_, y_, uv_;
    std::vector<uint8_t> line_;
    std::vector<int> pairs_;        // the source's chroma columns whose pixels are converted
    std::vector<int> neededPairs_;  // the source's row pairs the taps read, rising
    std::vector<int> band_;         // the row pairs converted now
    std::vector<int> bandOf_;       // per row pair of the picture: its place in the band, or -1
    cv::Mat pairY_, pairUv_, pairRgb_, gatheredY_, gatheredUv_, convertedRgb_;
    int currentPair_ = -1;
};

// ---- normalisation and the tensor -----------------------------------------------------

// The row's pixels as floats in the plan's channel order, normalised channel by
// channel in 32-bit floats (the operations and their order as written).
template <class Norm> void normaliseRow(const Plan &plan, const uint8_t *pixels, float *out, Norm norm) {
    const int width = plan.output.width;
    for (int x = 0; x < width; ++x)
        for (int c = 0; c < 3; ++c) out[x * 3 + c] = norm(c, static_cast<float>(pixels[x * 3 + (plan.swap ? 2 - c : c)]));
}

void normaliseRow(const Plan &plan, const uint8_t *pixels, float *out) {
    const float *mean = plan.mean, *std = plan.std;
    const float scale = plan.scale;
    switch (plan.norm) {
    case zeceNORM_EQUAL: return normaliseRow(plan, pixels, out, [=](int, float x) { return x * scale; });
    case zeceNORM_MINUSMEAN: return normaliseRow(plan, pixels, out, [=](int c, float x) { return x - mean[c]; });
    case zeceNORM_MINUSMEAN_DIVSTD:
        return normaliseRow(plan, pixels, out, [=](int c, float x) { return (x - mean[c]) / std[c]; });
    case zeceNORM_DIV255_MINUSMEAN_DIVSTD:
        return normaliseRow(plan, pixels, out, [=](int c, float x) { return (x / 255.0f - mean[c]) / std[c]; });
    case zeceNORM_DIV1275_MINUSONE:
        return normaliseRow(plan, pixels, out, [](int, float x) { return x / 127.5f - 1.0f; });
    case zeceNORM_DIV255: return normaliseRow(plan, pixels, out, [](int, float x) { return x / 255.0f; });
    default: return normaliseRow(plan, pixels, out, [](int, float x) { return x; });
    }
}

bool planar(zeceTensorizationType type) { return type == zeceTENSORIZATION_UINT8 || type == zeceTENSORIZATION_FP16; }

bool half(zeceTensorizationType type) {
    return type == zeceTENSORIZATION_FP16 || type == zeceTENSORIZATION_FP16_INTERLEAVE ||
           type == zeceTENSORIZATION_FP16_INTERLEAVE_RGB;
}

// Writes output row y of the tensor from the row's pixels (interleaved, before the
// plan's channel swap). Channel c is normalised with mean[c] and std[c];
// FP16_INTERLEAVE_RGB then writes R, G, B whatever order the conversion made.
void writeRow(const Plan &plan, int y, const uint8_t *pixels, uint8_t *tensor, std::vector<float> &values,
              std::vector<float> &ordered) {
    const int width = plan.output.width;
    const size_t area = static_cast<size_t>(width) * plan.output.height;
    const size_t row = static_cast<size_t>(y) * width;
    values.resize(static_cast<size_t>(width) * 3);
    normaliseRow(plan, pixels, values.data());
    // The values in the tensor's order: planes of `width`, or pixels of 3.
    const bool toRgb = plan.tensor == zeceTENSORIZATION_FP16_INTERLEAVE_RGB && plan.bgr;
    const float *source = values.data();
    if (planar(plan.tensor) || toRgb) {
        ordered.resize(values.size());
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c) {
                size_t at = planar(plan.tensor) ? static_cast<size_t>(c) * width + x : static_cast<size_t>(x) * 3 + 2 - c;
                ordered[at] = values[static_cast<size_t>(x) * 3 + c];
            }
        source = ordered.data();
    }
    if (half(plan.tensor)) {
        auto *out = reinterpret_cast<uint16_t *>(tensor);
        if (planar(plan.tensor))
            for (int c = 0; c < 3; ++c) zecm::half::toFloat16(source + static_cast<size_t>(c) * width, width, out + c * area + row);
        else
            zecm::half::toFloat16(source, static_cast<size_t>(width) * 3, out + row * 3);
        return;
    }
    if (planar(plan.tensor))
        for (int c = 0; c < 3; ++c) {
            uint8_t *out = tensor + c * area + row;
            const float *in = source + static_cast<size_t>(c) * width;
            for (int x = 0; x < width; ++x) out[x] = cv::saturate_cast<uint8_t>(in[x]);
        }
    else
        for (size_t i = 0; i < static_cast<size_t>(width) * 3; ++i) tensor[row * 3 + i] = cv::saturate_cast<uint8_t>(source[i]);
}

// Output rows [first, last) of the tensor.
void runStripe(const Plan &plan, int first, int last, uint8_t *tensor) {
    // The resized rows the stripe reads (letterbox rows outside the picture read none).
    const int shift = plan.letterbox ? -plan.window.y : plan.window.y;
    cv::Range needed(std::clamp(first + shift, 0, plan.resized.height), std::clamp(last + shift, 0, plan.resized.height));
    ResizedRows rows(plan, needed);
    std::vector<uint8_t> line(static_cast<size_t>(plan.output.width) * 3);
    // The padding values are in the tensor's channel order, the rows before the swap.
    const uint8_t fill[3] = {plan.padding[plan.swap ? 2 : 0], plan.padding[1], plan.padding[plan.swap ? 0 : 2]};
    std::vector<float> values;
    std::vector<float> ordered;
    for (int y = first; y < last; ++y) {
        const uint8_t *pixels;
        if (plan.letterbox) {
            for (int x = 0; x < plan.output.width; ++x) std::memcpy(&line[x * 3], fill, 3);
            int inner = y - plan.window.y;
            if (inner >= 0 && inner < plan.window.height)
                std::memcpy(&line[plan.window.x * 3], rows.row(inner), static_cast<size_t>(plan.window.width) * 3);
            pixels = line.data();
        } else {
            pixels = rows.row(y + plan.window.y);
        }
        writeRow(plan, y, pixels, tensor, values, ordered);
    }
}

// The output rows are split into stripes run on OpenCV's threads, each converting and
// resampling the source rows it needs (a few rows at stripe edges are done twice).
uint32_t run(const Plan &plan, const Buffer &output) {
    const uint64_t bytes = static_cast<uint64_t>(plan.output.width) * plan.output.height * 3 * (half(plan.tensor) ? 2 : 1);
    if (output.size < bytes) return zeceER_BUFFER_TOO_SMALL;
    const int height = plan.output.height;
    const int stripes = std::clamp(height / kStripeRows, 1, std::max(1, cv::getNumThreads()));
    std::atomic<uint32_t> status{zeceER_SUCCESS};
    cv::parallel_for_(cv::Range(0, stripes), [&](const cv::Range &range) {
        for (int stripe = range.start; stripe < range.end; ++stripe) {
            uint32_t result = guarded([&] {
                runStripe(plan, height * stripe / stripes, height * (stripe + 1) / stripes, output.data);
                return uint32_t{zeceER_SUCCESS};
            });
            if (result) status = result;
        }
    });
    return status;
}

}  // namespace

uint32_t executeFused(zeceOpType type, const Settings &settings, const Buffer &input, const Buffer &output) {
    Plan plan;
    if (uint32_t status = makePlan(type, settings, input, &plan)) return status;
    std::vector<cv::Mat> storage;
    Image outputImage;  // the tensor's bytes, for the overlap check
    zeceImageDesc tensorDesc{plan.output.width, plan.output.height, plan.output.width * 3 * (half(plan.tensor) ? 2 : 1),
                             plan.output.height, zeceIMG_RGB888};
    layPlanes(tensorDesc, output.data, &outputImage);
    plan.image = apart(plan.image, &outputImage, 1, &storage);
    return run(plan, output);
}

}  // namespace zece
