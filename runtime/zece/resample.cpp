// Resampling taps and Pillow's two-pass resampler for bytes.
//
// Pillow kinds reproduce Pillow's arithmetic for 8-bit images step by step: the
// double-precision filter weights of each output position, normalised to sum 1, are
// rounded to integers with kTapBits fraction bits; each pass sums pixel x weight in
// 32-bit integers from half a unit, shifts and clips to a byte. The horizontal pass
// runs first and the vertical pass reads its bytes, so the rounding in between is
// Pillow's too.
#include "zece/resample.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace zece {

bool isPillow(zeceResizeType type) {
    switch (type) {
    case zeceRESIZE_BILINEAR_PILLOW:
    case zeceRESIZE_LANCZOS_PILLOW:
    case zeceRESIZE_BOX_PILLOW:
    case zeceRESIZE_HAMMING_PILLOW:
    case zeceRESIZE_BICUBIC_PILLOW: return true;
    default: return false;
    }
}

namespace {

constexpr double kPi = 3.14159265358979323846;

// Pillow's filters, each with its support (the half-width at scale 1). The constants
// and the order of the operations are Pillow's, so that the weights are the same
// doubles: the Hamming window's 0.54f and 0.46f are float literals there too.
double boxFilter(double x) { return x > -0.5 && x <= 0.5 ? 1.0 : 0.0; }

double triangleFilter(double x) {
    if (x < 0.0) x = -x;
    return x < 1.0 ? 1.0 - x : 0.0;
}

double hammingFilter(double x) {
    if (x < 0.0) x = -x;
    if (x == 0.0) return 1.0;
    if (x >= 1.0) return 0.0;
    x = x * kPi;
    return std::sin(x) / x * (0.54f + 0.46f * std::cos(x));
}

double bicubicFilter(double x) {
    constexpr double a = -0.5;
    if (x < 0.0) x = -x;
    if (x < 1.0) return ((a + 2.0) * x - (a + 3.0)) * x * x + 1;
    if (x < 2.0) return (((x - 5) * x + 8) * x - 4) * a;
    return 0.0;
}

double sinc(double x) {
    if (x == 0.0) return 1.0;
    x = x * kPi;
    return std::sin(x) / x;
}

double lanczosFilter(double x) { return -3.0 <= x && x < 3.0 ? sinc(x) * sinc(x / 3) : 0.0; }

struct Filter {
    double (*weight)(double);
    double support;
};

bool pillowFilter(zeceResizeType type, Filter *filter) {
    switch (type) {
    case zeceRESIZE_BOX_PILLOW: *filter = {boxFilter, 0.5}; return true;
    case zeceRESIZE_BILINEAR_PILLOW: *filter = {triangleFilter, 1.0}; return true;
    case zeceRESIZE_HAMMING_PILLOW: *filter = {hammingFilter, 1.0}; return true;
    case zeceRESIZE_BICUBIC_PILLOW: *filter = {bicubicFilter, 2.0}; return true;
    case zeceRESIZE_LANCZOS_PILLOW: *filter = {lanczosFilter, 3.0}; return true;
    default: return false;
    }
}

// A double weight in fixed point, rounded half away from zero as Pillow does it
// (with the same double addition, which decides the ties the same way).
int32_t toFixed(double weight) {
    const double scaled = weight * (1 << kTapBits);
    return static_cast<int32_t>(scaled < 0 ? -0.5 + scaled : 0.5 + scaled);
}

// Collects the window of each output position (a start inside the source and its
// weights), then lays them out as Taps of one width.
class TapsBuilder {
public:
    TapsBuilder(int inSize, int outSize) : inSize_(inSize) {
        starts_.reserve(outSize);
        offsets_.reserve(outSize + 1);
        offsets_.push_back(0);
    }

    // The window [start, start + count) must lie inside the source.
    void add(int start, const double *weights, int count) {
        starts_.push_back(start);
        values_.insert(values_.end(), weights, weights + count);
        offsets_.push_back(values_.size());
    }

    Taps finish(bool fixed) const {
        Taps taps;
        const size_t positions = starts_.size();
        int width = 1;
        for (size_t i = 0; i < positions; ++i) width = std::max(width, static_cast<int>(offsets_[i + 1] - offsets_[i]));
        taps.width = width;
        taps.first.resize(positions);
        taps.weights.assign(positions * width, 0.0f);
        if (fixed) taps.fixed.assign(positions * width, 0);
        for (size_t i = 0; i < positions; ++i) {
            const int first = std::min(starts_[i], inSize_ - width);
            const size_t base = i * width + (starts_[i] - first);
            taps.first[i] = first;
            for (size_t j = offsets_[i]; j < offsets_[i + 1]; ++j) {
                taps.weights[base + j - offsets_[i]] = static_cast<float>(values_[j]);
                if (fixed) taps.fixed[base + j - offsets_[i]] = toFixed(values_[j]);
            }
        }
        return taps;
    }

private:
    int inSize_;
    std::vector<int> starts_;
    std::vector<size_t> offsets_;
    std::vector<double> values_;
};

// Pillow's coefficients for Image.resize over the whole source: the support widens
// by the reduction factor, the window is rounded and clipped to the source, and the
// weights are normalised to sum 1.
Taps pillowTaps(const Filter &filter, int inSize, int outSize) {
    const double scale = static_cast<double>(inSize) / outSize;
    const double filterScale = std::max(scale, 1.0);
    const double support = filter.support * filterScale;
    const double step = 1.0 / filterScale;
    TapsBuilder builder(inSize, outSize);
    std::vector<double> weights(static_cast<size_t>(std::ceil(support)) * 2 + 1);
    for (int position = 0; position < outSize; ++position) {
        const double center = (position + 0.5) * scale;
        const int low = std::max(static_cast<int>(center - support + 0.5), 0);
        const int high = std::min(static_cast<int>(center + support + 0.5), inSize);
        const int count = std::max(high - low, 0);
        double total = 0.0;
        for (int x = 0; x < count; ++x) {
            weights[x] = filter.weight((x + low - center + 0.5) * step);
            total += weights[x];
        }
        if (total != 0.0)
            for (int x = 0; x < count; ++x) weights[x] /= total;
        builder.add(low, weights.data(), count);
    }
    return builder.finish(true);
}

// cv::resize's bicubic weights (a = -0.75) for the fraction x of the source position.
void cubicWeights(double x, double *weights) {
    constexpr double a = -0.75;
    weights[0] = ((a * (x + 1) - 5 * a) * (x + 1) + 8 * a) * (x + 1) - 4 * a;
    weights[1] = ((a + 2) * x - (a + 3)) * x * x + 1;
    weights[2] = ((a + 2) * (1 - x) - (a + 3)) * (1 - x) * (1 - x) + 1;
    weights[3] = 1.0 - weights[0] - weights[1] - weights[2];
}

// cv::resize's Lanczos weights (a = 4, 8 taps from the fourth pixel before), normalised.
void lanczos4Weights(double x, double *weights) {
    double total = 0.0;
    for (int i = 0; i < 8; ++i) {
        const double t = x + 3 - i;
        weights[i] = sinc(t) * sinc(t / 4);
        total += weights[i];
    }
    for (int i = 0; i < 8; ++i) weights[i] /= total;
}

// Taps with cv::resize's mapping of output onto source positions. Bilinear, bicubic
// and Lanczos take the source position (dx + 0.5) * scale - 0.5 in floats, as
// cv::resize does; bilinear clamps it to the source, the others replicate the edge
// pixels, here by folding the taps outside the source onto the edge.
Taps cvTaps(int interpolation, int inSize, int outSize) {
    const double scale = 1.0 / (static_cast<double>(outSize) / inSize);
    TapsBuilder builder(inSize, outSize);
    double raw[8], folded[8];
    for (int position = 0; position < outSize; ++position) {
        int sx = 0, start = 0, count = 0;
        if (interpolation == zeceRESIZE_NEAREST_CV) {
            sx = std::min(static_cast<int>(std::floor(position * scale)), inSize - 1);
            raw[0] = 1.0;
            builder.add(sx, raw, 1);
            continue;
        }
        float fx = static_cast<float>((position + 0.5) * scale - 0.5);
        sx = static_cast<int>(std::floor(fx));
        fx -= sx;
        if (interpolation == zeceRESIZE_BILINEAR_CV) {
            if (sx < 0) fx = 0, sx = 0;
            if (sx >= inSize - 1) fx = 0, sx = inSize - 1;
            raw[0] = 1.0f - fx;
            raw[1] = fx;
            start = sx, count = 2;
        } else if (interpolation == zeceRESIZE_BICUBIC) {
            cubicWeights(fx, raw);
            start = sx - 1, count = 4;
        } else {
            lanczos4Weights(fx, raw);
            start = sx - 3, count = 8;
        }
        const int low = std::clamp(start, 0, inSize - 1);
        const int high = std::clamp(start + count - 1, 0, inSize - 1);
        std::fill(folded, folded + (high - low + 1), 0.0);
        for (int k = 0; k < count; ++k) folded[std::clamp(start + k, low, high) - low] += raw[k];
        builder.add(low, folded, high - low + 1);
    }
    return builder.finish(false);
}

// One row through the horizontal pass, for pixels of C bytes.
template <int C>
void horizontalRow(const uint8_t *__restrict in, uint8_t *__restrict out, const Kernel &kernel, int outWidth, int) {
    for (int x = 0; x < outWidth; ++x) {
        const uint8_t *pixels = in + static_cast<size_t>(kernel.start[x]) * C;
        const int32_t *weights = kernel.at(x);
        const int count = kernel.count[x];
        int32_t sums[C];
        for (int c = 0; c < C; ++c) sums[c] = kTapHalf;
        for (int t = 0; t < count; ++t)
            for (int c = 0; c < C; ++c) sums[c] += pixels[t * C + c] * weights[t];
        for (int c = 0; c < C; ++c) out[x * C + c] = clip8(sums[c]);
    }
}

// The same for any number of channels.
void horizontalRowAny(const uint8_t *__restrict in, uint8_t *__restrict out, const Kernel &kernel, int outWidth,
                      int channels) {
    for (int x = 0; x < outWidth; ++x) {
        const uint8_t *pixels = in + static_cast<size_t>(kernel.start[x]) * channels;
        const int32_t *weights = kernel.at(x);
        const int count = kernel.count[x];
        for (int c = 0; c < channels; ++c) {
            int32_t sum = kTapHalf;
            for (int t = 0; t < count; ++t) sum += pixels[static_cast<size_t>(t) * channels + c] * weights[t];
            out[static_cast<size_t>(x) * channels + c] = clip8(sum);
        }
    }
}

using HorizontalRow = void (*)(const uint8_t *, uint8_t *, const Kernel &, int, int);

HorizontalRow horizontalFor(int channels) {
    switch (channels) {
    case 1: return horizontalRow<1>;
    case 2: return horizontalRow<2>;
    case 3: return horizontalRow<3>;
    case 4: return horizontalRow<4>;
    default: return horizontalRowAny;
    }
}

bool usable(const Plane &plane) {
    return plane.data && plane.width >= 1 && plane.height >= 1 && plane.channels >= 1 &&
           plane.pitch >= static_cast<size_t>(plane.width) * plane.channels;
}

inline uint8_t *row(const Plane &plane, int y) { return plane.data + static_cast<size_t>(y) * plane.pitch; }

// The largest number of output windows that hold one source row.
size_t mostOpen(const Kernel &rows, int inSize) {
    std::vector<int> change(static_cast<size_t>(inSize) + 1, 0);
    for (size_t y = 0; y < rows.start.size(); ++y) {
        ++change[rows.start[y]];
        --change[rows.start[y] + rows.count[y]];
    }
    size_t most = 0;
    int64_t open = 0;
    for (int r = 0; r < inSize; ++r) most = std::max(most, static_cast<size_t>(open += change[r]));
    return most;
}

// The vertical pass source row by source row: each row through the horizontal pass
// is added to the sums of the output rows whose windows hold it; an output row is
// written when the last row of its window is in. `open` sums are enough.
void scatterVertical(const Plane &in, const Plane &out, const Kernel &columns, const Kernel &rows, size_t open,
                     HorizontalRow resampleRow) {
    const size_t bytes = static_cast<size_t>(out.width) * out.channels;
    // For each source row, the output rows whose windows hold it, in order.
    std::vector<size_t> offsets(static_cast<size_t>(in.height) + 1, 0);
    for (int y = 0; y < out.height; ++y)
        for (int t = 0; t < rows.count[y]; ++t) ++offsets[rows.start[y] + t + 1];
    for (int r = 0; r < in.height; ++r) offsets[r + 1] += offsets[r];
    std::vector<int> users(offsets.back());
    std::vector<size_t> filled(offsets.begin(), offsets.end() - 1);
    for (int y = 0; y < out.height; ++y)
        for (int t = 0; t < rows.count[y]; ++t) users[filled[rows.start[y] + t]++] = y;

    std::vector<int32_t> sums(std::max(open, size_t{1}) * bytes);
    std::vector<int32_t *> spare, slot(out.height, nullptr);
    for (size_t i = 0; i < std::max(open, size_t{1}); ++i) spare.push_back(sums.data() + i * bytes);
    std::vector<uint8_t> line(bytes);
    for (int y = 0; y < out.height; ++y)
        if (!rows.count[y]) verticalPass(nullptr, nullptr, 0, row(out, y), bytes);
    for (int r = 0; r < in.height; ++r) {
        if (offsets[r] == offsets[r + 1]) continue;
        resampleRow(row(in, r), line.data(), columns, out.width, out.channels);
        for (size_t u = offsets[r]; u < offsets[r + 1]; ++u) {
            const int y = users[u], t = r - rows.start[y];
            if (t == 0) {
                slot[y] = spare.back();
                spare.pop_back();
                std::fill(slot[y], slot[y] + bytes, kTapHalf);
            }
            int32_t *__restrict sum = slot[y];
            const uint8_t *__restrict pixels = line.data();
            const int32_t weight = rows.at(y)[t];
            for (size_t b = 0; b < bytes; ++b) sum[b] += pixels[b] * weight;
            if (t == rows.count[y] - 1) {
                uint8_t *target = row(out, y);
                for (size_t b = 0; b < bytes; ++b) target[b] = clip8(sum[b]);
                spare.push_back(slot[y]);
            }
        }
    }
}

}  // namespace

bool prepareKernel(const Taps &taps, int inSize, int outSize, Kernel *kernel) {
    const int width = taps.width;
    if (width < 1 || width > inSize || taps.first.size() != static_cast<size_t>(outSize) ||
        taps.weights.size() != static_cast<size_t>(outSize) * width)
        return false;
    const bool fixed = taps.fixed.size() == taps.weights.size();
    kernel->width = width;
    kernel->longest = 0;
    kernel->start.resize(outSize);
    kernel->count.resize(outSize);
    kernel->coefficients.resize(taps.weights.size());
    for (int i = 0; i < outSize; ++i) {
        const int first = taps.first[i];
        if (first < 0 || first > inSize - width) return false;
        const size_t base = static_cast<size_t>(i) * width;
        int32_t local[1024];
        int32_t *values = width <= 1024 ? local : kernel->coefficients.data() + base;
        int64_t positive = 0, negative = 0;
        int lead = width, last = -1;
        for (int t = 0; t < width; ++t) {
            int32_t value;
            if (fixed) {
                value = taps.fixed[base + t];
            } else {
                const float weight = taps.weights[base + t];
                if (!(std::fabs(weight) <= 64.0f)) return false;  // NaN included
                value = toFixed(weight);
            }
            values[t] = value;
            (value > 0 ? positive : negative) += value;
            if (value) lead = std::min(lead, t), last = t;
        }
        constexpr int64_t limit = std::numeric_limits<int32_t>::max();
        if (positive * 255 + kTapHalf > limit || -negative * 255 > limit) return false;
        const int count = last < lead ? 0 : last - lead + 1;
        kernel->start[i] = first + (count ? lead : 0);
        kernel->count[i] = count;
        kernel->longest = std::max(kernel->longest, count);
        // Moved to the front of the position's slot (memmove: the slot may be `values`).
        std::memmove(kernel->coefficients.data() + base, values + (count ? lead : 0), sizeof(int32_t) * count);
    }
    return true;
}

// The sums run over the row in blocks that stay in the first-level cache.
void verticalPass(const uint8_t *const *rows, const int32_t *weights, int count, uint8_t *__restrict out,
                  size_t bytes) {
    constexpr size_t kBlock = 1024;
    int32_t sums[kBlock];
    for (size_t from = 0; from < bytes; from += kBlock) {
        const size_t n = std::min(kBlock, bytes - from);
        for (size_t b = 0; b < n; ++b) sums[b] = kTapHalf;
        int t = 0;
        for (; t + 1 < count; t += 2) {
            const uint8_t *__restrict a = rows[t] + from;
            const uint8_t *__restrict c = rows[t + 1] + from;
            const int32_t wa = weights[t], wc = weights[t + 1];
            for (size_t b = 0; b < n; ++b) sums[b] += a[b] * wa + c[b] * wc;
        }
        if (t < count) {
            const uint8_t *__restrict a = rows[t] + from;
            const int32_t wa = weights[t];
            for (size_t b = 0; b < n; ++b) sums[b] += a[b] * wa;
        }
        for (size_t b = 0; b < n; ++b) out[from + b] = clip8(sums[b]);
    }
}

void horizontalPass(const Kernel &kernel, int channels, const uint8_t *in, uint8_t *out) {
    horizontalFor(channels)(in, out, kernel, static_cast<int>(kernel.start.size()), channels);
}

Taps makeTaps(zeceResizeType type, int inSize, int outSize) {
    if (inSize < 1 || outSize < 1 || inSize > kMaxSide || outSize > kMaxSide) return {};
    Filter filter;
    if (pillowFilter(type, &filter)) return pillowTaps(filter, inSize, outSize);
    switch (type) {
    case zeceRESIZE_BILINEAR:
    case zeceRESIZE_BILINEAR_CV: return cvTaps(zeceRESIZE_BILINEAR_CV, inSize, outSize);
    case zeceRESIZE_NEAREST:
    case zeceRESIZE_NEAREST_CV: return cvTaps(zeceRESIZE_NEAREST_CV, inSize, outSize);
    case zeceRESIZE_BICUBIC: return cvTaps(zeceRESIZE_BICUBIC, inSize, outSize);
    case zeceRESIZE_LANCZOS:
    case zeceRESIZE_LANCZOS_CV: return cvTaps(zeceRESIZE_LANCZOS_CV, inSize, outSize);
    default: return {};
    }
}

bool resamplePlane(const Plane &in, const Plane &out, const Taps &horizontal, const Taps &vertical) {
    if (!usable(in) || !usable(out) || in.channels != out.channels) return false;
    const bool across = in.width != out.width, down = in.height != out.height;
    Kernel columns, rows;
    if (across && !prepareKernel(horizontal, in.width, out.width, &columns)) return false;
    if (down && !prepareKernel(vertical, in.height, out.height, &rows)) return false;
    const int channels = in.channels;
    const size_t bytes = static_cast<size_t>(out.width) * channels;
    const HorizontalRow resampleRow = horizontalFor(channels);

    if (!down) {
        for (int y = 0; y < out.height; ++y) {
            if (across)
                resampleRow(row(in, y), row(out, y), columns, out.width, channels);
            else
                std::memcpy(row(out, y), row(in, y), bytes);
        }
        return true;
    }

    // The vertical pass takes its rows from the source, or from the source through the
    // horizontal pass. Those are computed once each, either into a ring that holds one
    // output row's window (the windows move down the source as the output rows do), or,
    // where that ring would be the larger (the long windows of strong reductions), into
    // one row that is added to the sums of every open window.
    if (!across) {
        std::vector<const uint8_t *> sources(std::max(rows.longest, 1));
        for (int y = 0; y < out.height; ++y) {
            for (int t = 0; t < rows.count[y]; ++t) sources[t] = row(in, rows.start[y] + t);
            verticalPass(sources.data(), rows.at(y), rows.count[y], row(out, y), bytes);
        }
        return true;
    }
    const size_t ring = static_cast<size_t>(std::max(rows.longest, 1));
    const size_t open = mostOpen(rows, in.height);
    if (open * sizeof(int32_t) < ring) {
        scatterVertical(in, out, columns, rows, open, resampleRow);
        return true;
    }
    std::vector<uint8_t> cache(ring * bytes);
    std::vector<int> held(ring, -1);
    std::vector<const uint8_t *> sources(ring);
    for (int y = 0; y < out.height; ++y) {
        for (int t = 0; t < rows.count[y]; ++t) {
            const int source = rows.start[y] + t;
            const size_t slot = static_cast<size_t>(source) % ring;
            uint8_t *line = cache.data() + slot * bytes;
            if (held[slot] != source) {
                resampleRow(row(in, source), line, columns, out.width, channels);
                held[slot] = source;
            }
            sources[t] = line;
        }
        verticalPass(sources.data(), rows.at(y), rows.count[y], row(out, y), bytes);
    }
    return true;
}

}  // namespace zece
