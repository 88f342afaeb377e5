// Row-at-a-time resampling for the fused ops: the axes of a resize, and the two
// passes over the source rows that output rows ask for.
#include "zece/row_resampler.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <type_traits>
#include <opencv2/imgproc.hpp>

#include "zece/operations.hpp"

namespace zece {
namespace {

constexpr int kCoefficientBits = 11;  // OpenCV's fixed-point resize coefficients
constexpr int kCoefficientScale = 1 << kCoefficientBits;

// Pillow's windows and weights for positions [begin, begin + count) of a resize from
// `in` to `out` positions, their sources offset by `offset`.
Kernel pillowKernel(zeceResizeType type, int in, int out, int offset, int begin, int count) {
    Kernel whole;
    if (!prepareKernel(makeTaps(type, in, out), in, out, &whole))
        throw std::invalid_argument("resampling taps that do not fit the sizes");
    Kernel part;
    part.width = whole.width;
    const auto from = whole.start.begin() + begin;
    part.start.assign(from, from + count);
    for (int &start : part.start) start += offset;
    part.count.assign(whole.count.begin() + begin, whole.count.begin() + begin + count);
    for (int n : part.count) part.longest = std::max(part.longest, n);
    const auto weights = whole.coefficients.begin() + static_cast<ptrdiff_t>(begin) * whole.width;
    part.coefficients.assign(weights, weights + static_cast<ptrdiff_t>(count) * whole.width);
    return part;
}

// The horizontal pass of one source row into `count` positions of C channels:
// integers for OpenCV's kinds (weights scaled by 2^11 for Linear, pair sums for
// Area), floats for taps.
template <int C> void horizontalInts(const Axis &axis, const uint8_t *__restrict in, int32_t *__restrict out) {
    const int *index = axis.index.data();
    for (int x = 0; x < axis.count; ++x) {
        if (axis.mode == Mode::Nearest) {
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

// Calls pass(std::integral_constant<int, C>{}) for rows of C = `channels` (1, 2 or 3) bytes a pixel.
template <class Pass> void byChannels(int channels, Pass pass) {
    switch (channels) {
    case 1: return pass(std::integral_constant<int, 1>{});
    case 2: return pass(std::integral_constant<int, 2>{});
    default: return pass(std::integral_constant<int, 3>{});
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

}  // namespace

Mode modeOf(zeceResizeType type, int inWidth, int inHeight, int outWidth, int outHeight) {
    if (type == zeceRESIZE_NO_RESIZE) return Mode::Nearest;
    int interpolation = cvInterpolation(type);
    if (interpolation == cv::INTER_NEAREST) return Mode::Nearest;
    if (interpolation == cv::INTER_LINEAR)
        return inWidth == 2 * outWidth && inHeight == 2 * outHeight ? Mode::Area : Mode::Linear;
    return isPillow(type) ? Mode::Pillow : Mode::Taps;
}

// OpenCV's bilinear resize moves a column's weights onto the edge pixel past an edge,
// but keeps a row's weights and reads the edge row twice.
Axis makeAxis(Mode mode, zeceResizeType type, int in, int out, int offset, int begin, int count, bool rows) {
    Axis axis;
    axis.mode = mode;
    axis.count = count;
    if (mode == Mode::Pillow) {
        axis.kernel = pillowKernel(type, in, out, offset, begin, count);
        axis.taps = axis.kernel.width;
        return axis;
    }
    const double scale = 1.0 / (static_cast<double>(out) / in);
    if (mode == Mode::Taps) {
        Taps taps = makeTaps(type, in, out);
        axis.taps = taps.width;
        for (int i = begin; i < begin + count; ++i)
            for (int k = 0; k < taps.width; ++k) {
                axis.index.push_back(offset + taps.first[i] + k);
                axis.weights.push_back(taps.weights[static_cast<size_t>(i) * taps.width + k]);
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

Resampler::Resampler(Axis horizontal, Axis vertical, int channels, RowSource source)
    : h_(std::move(horizontal)),
      v_(std::move(vertical)),
      channels_(channels),
      source_(std::move(source)),
      width_(h_.count * channels),
      slots_(v_.taps + 1),
      keys_(slots_, -1),
      ints_(slots_),
      floats_(slots_),
      bytes_(slots_),
      window_(v_.taps) {}

void Resampler::row(int y, uint8_t *__restrict out) {
    const int *rows = v_.mode == Mode::Pillow ? nullptr : &v_.index[static_cast<size_t>(y) * v_.taps];
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
        verticalLinear(a, b, v_.fixed[2 * static_cast<size_t>(y)], v_.fixed[2 * static_cast<size_t>(y) + 1], width_,
                       out);
        break;
    }
    case Mode::Pillow: {
        // The window's rows lie in distinct slots of the ring: it holds one row more.
        const int first = v_.kernel.start[y], count = v_.kernel.count[y];
        for (int t = 0; t < count; ++t) window_[t] = bytes(first + t);
        verticalPass(window_.data(), v_.kernel.at(y), count, out, static_cast<size_t>(width_));
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

template <class T, class Pass> const T *Resampler::through(std::vector<std::vector<T>> &ring, int row, Pass pass) {
    const int s = slot(row);
    std::vector<T> &out = ring[s];
    if (keys_[s] != row) {
        keys_[s] = row;
        out.resize(width_);
        pass(source_(row), out.data());
    }
    return out.data();
}

const int32_t *Resampler::ints(int row) {
    return through(ints_, row, [&](const uint8_t *in, int32_t *out) {
        byChannels(channels_, [&](auto c) { horizontalInts<decltype(c)::value>(h_, in, out); });
    });
}

const float *Resampler::floats(int row) {
    return through(floats_, row, [&](const uint8_t *in, float *out) {
        byChannels(channels_, [&](auto c) { horizontalFloats<decltype(c)::value>(h_, in, out); });
    });
}

// Pillow's first pass rounds to bytes, which its second pass reads.
const uint8_t *Resampler::bytes(int row) {
    return through(bytes_, row,
                   [&](const uint8_t *in, uint8_t *out) { horizontalPass(h_.kernel, channels_, in, out); });
}

}  // namespace zece
