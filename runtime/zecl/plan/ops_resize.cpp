// Resize and Upsample. oneDNN's resampling primitive where its sampling is the
// node's: for each spatial axis the plan computes ONNX's source coordinate of every
// output position and the library's, (y + 0.5) * in / out - 0.5 rounded half away
// from zero for nearest, and takes the primitive only when they agree. Other modes
// (align_corners, a scale that is not out / in, cubic, other rounding) resample one
// axis at a time as a matmul with the axis's sampling matrix: row y holds the
// weights ONNX gives each input position for output y. GridSample, when its grid's
// values are known while compiling, is the same product with one matrix per image.
#include <cmath>
#include <numeric>

#include "zecl/plan/lowering.hpp"

namespace zecl::plan {
namespace {

struct Sampling {
    bool linear = false, cubic = false;
    float cubicA = -0.75f;
    bool excludeOutside = false;
    std::string coordinates = "half_pixel";       // coordinate_transformation_mode
    std::string rounding = "round_prefer_floor";  // nearest_mode
};

// ONNX's source coordinate of output position y on an axis of `in` -> `out`;
// align_corners spans the scaled width in * scale, which need not be whole.
double sourceCoordinate(const Sampling &s, int64_t y, int64_t in, int64_t out, double scale) {
    const std::string &mode = s.coordinates;
    if (mode == "half_pixel") return (y + 0.5) / scale - 0.5;
    if (mode == "pytorch_half_pixel") return out > 1 ? (y + 0.5) / scale - 0.5 : -0.5;
    if (mode == "align_corners") {
        double width = in * scale;
        return width == 1 ? 0.0 : y * static_cast<double>(in - 1) / (width - 1);
    }
    return y / scale;  // asymmetric
}

int64_t nearestIndex(const Sampling &s, double x, int64_t in) {
    double index;
    if (s.rounding == "floor")
        index = std::floor(x);
    else if (s.rounding == "ceil")
        index = std::ceil(x);
    else if (x - std::floor(x) == 0.5)
        index = s.rounding == "round_prefer_ceil" ? std::ceil(x) : std::floor(x);
    else
        index = std::round(x);
    return std::clamp<int64_t>(static_cast<int64_t>(index), 0, in - 1);
}

float libraryCoordinate(int64_t y, int64_t in, int64_t out) {
    return (static_cast<float>(y) + 0.5f) * static_cast<float>(in) / static_cast<float>(out) - 0.5f;
}

// Whether oneDNN samples this axis exactly as the node does.
bool libraryAgrees(const Sampling &s, int64_t in, int64_t out, double scale) {
    if (s.cubic) return false;
    for (int64_t y = 0; y < out; ++y) {
        double x = sourceCoordinate(s, y, in, out, scale);
        float library = libraryCoordinate(y, in, out);
        if (s.linear) {
            // Both clamp to the edge: coordinates outside [0, in - 1] agree once clamped.
            double a = std::clamp(x, 0.0, static_cast<double>(in - 1));
            double b = std::clamp(static_cast<double>(library), 0.0, static_cast<double>(in - 1));
            if (std::fabs(a - b) > 1e-6 * std::max(1.0, std::fabs(a))) return false;
        } else {
            int64_t mine = nearestIndex(s, x, in);
            int64_t theirs = std::clamp<int64_t>(static_cast<int64_t>(std::round(library)), 0, in - 1);
            if (mine != theirs) return false;
        }
    }
    return true;
}

// The weights of the input positions around coordinate x: neighbours at
// ceil(x) - 1 + k, clamped to the edge, `ratio` past the first of the middle two.
std::vector<double> kernelWeights(const Sampling &s, double ratio) {
    if (s.linear) return {1 - ratio, ratio};
    if (s.cubic) {
        double a = s.cubicA, r = ratio, q = 1 - ratio;
        return {((a * (r + 1) - 5 * a) * (r + 1) + 8 * a) * (r + 1) - 4 * a, ((a + 2) * r - (a + 3)) * r * r + 1,
                ((a + 2) * q - (a + 3)) * q * q + 1, ((a * (q + 1) - 5 * a) * (q + 1) + 8 * a) * (q + 1) - 4 * a};
    }
    return {};
}

// The axis's sampling matrix, [out, in] row-major.
std::vector<float> samplingMatrix(const Sampling &s, int64_t in, int64_t out, double scale) {
    std::vector<float> matrix(static_cast<size_t>(out * in), 0.f);
    for (int64_t y = 0; y < out; ++y) {
        double x = sourceCoordinate(s, y, in, out, scale);
        float *row = matrix.data() + y * in;
        if (!s.linear && !s.cubic) {
            row[nearestIndex(s, x, in)] = 1.f;
            continue;
        }
        int64_t base = static_cast<int64_t>(std::ceil(x)) - 1;
        auto weights = kernelWeights(s, x - base);
        int64_t first = s.cubic ? base - 1 : base;
        if (s.excludeOutside) {
            double kept = 0;
            for (size_t k = 0; k < weights.size(); ++k) {
                int64_t at = first + static_cast<int64_t>(k);
                if (at < 0 || at >= in) weights[k] = 0;
                kept += weights[k];
            }
            for (double &w : weights) w /= kept;
        }
        for (size_t k = 0; k < weights.size(); ++k)
            row[std::clamp<int64_t>(first + static_cast<int64_t>(k), 0, in - 1)] += static_cast<float>(weights[k]);
    }
    return matrix;
}

bool identity(const std::vector<float> &matrix, int64_t in, int64_t out) {
    if (in != out) return false;
    for (int64_t y = 0; y < out; ++y)
        for (int64_t x = 0; x < in; ++x)
            if (matrix[y * in + x] != (x == y ? 1.f : 0.f)) return false;
    return true;
}

// The node's mode and coordinate mapping; a reason for those the plan leaves to OpenCV.
std::string readSampling(const Builder &builder, const onnx::NodeProto &node, Sampling *s) {
    std::string mode = stringAttribute(node, "mode", "nearest");
    if (mode != "nearest" && mode != "linear" && mode != "bilinear" && mode != "cubic")
        return "mode " + mode + ": not covered";
    s->linear = mode == "linear" || mode == "bilinear";
    s->cubic = mode == "cubic";
    s->cubicA = floatAttribute(node, "cubic_coeff_a", -0.75f);
    s->excludeOutside = intAttribute(node, "exclude_outside", 0) != 0;
    if (node.op_type() == "Upsample") {
        if (s->linear) return "Upsample's linear mode: not covered";
        // Upsample repeats each input element: the asymmetric mapping, floored.
        s->coordinates = "asymmetric";
        s->rounding = "floor";
        return "";
    }
    if (builder.opset() < 11) return "Resize before opset 11: not covered";
    s->coordinates = stringAttribute(node, "coordinate_transformation_mode", s->coordinates);
    s->rounding = stringAttribute(node, "nearest_mode", s->rounding);
    static const std::set<std::string> kCoordinates = {"half_pixel", "pytorch_half_pixel", "align_corners",
                                                       "asymmetric"};
    static const std::set<std::string> kRoundings = {"round_prefer_floor", "round_prefer_ceil", "floor", "ceil"};
    if (!kCoordinates.count(s->coordinates) || !kRoundings.count(s->rounding))
        return "coordinate mode " + s->coordinates + " or nearest mode " + s->rounding + ": not covered";
    if (intAttribute(node, "antialias", 0) != 0 || attribute(node, "axes") ||
        stringAttribute(node, "keep_aspect_ratio_policy", "stretch") != "stretch")
        return "antialias, axes or an aspect ratio policy: not covered";
    return "";
}

// Output dims and per-axis scales from the node's sizes or scales.
std::string readTarget(Builder &builder, const onnx::NodeProto &node, const Dims &input, Dims *output,
                       std::vector<double> *scales) {
    bool upsample = node.op_type() == "Upsample";
    std::string scalesName = inputName(node, upsample || builder.opset() < 11 ? 1 : 2);
    std::string sizesName = upsample ? "" : inputName(node, 3);
    std::vector<float> given;
    if (upsample && builder.opset() < 9) {
        const auto *a = attribute(node, "scales");
        if (a) given.assign(a->floats().begin(), a->floats().end());
    } else if (!scalesName.empty()) {
        const Constant *c = builder.known(scalesName);
        if (!c) return "scales given at run time";
        for (size_t i = 0; i < c->count(); ++i) given.push_back(c->at(i));
    }
    output->assign(input.begin(), input.end());
    scales->assign(input.size(), 1.0);
    if (given.empty() && !sizesName.empty()) {
        const Constant *c = builder.known(sizesName);
        if (!c) return "sizes given at run time";
        if (c->count() != input.size()) return "sizes of another rank than the input";
        for (size_t d = 0; d < input.size(); ++d) {
            (*output)[d] = c->intAt(d);
            if ((*output)[d] <= 0) return "an empty or negative size";
            (*scales)[d] = static_cast<double>((*output)[d]) / input[d];
        }
        return "";
    }
    if (given.size() != input.size()) return "scales of another rank than the input";
    for (size_t d = 0; d < input.size(); ++d) {
        if (!(given[d] > 0) || !std::isfinite(given[d])) return "a scale that is not positive";
        (*scales)[d] = given[d];
        (*output)[d] = static_cast<int64_t>(std::floor(input[d] * static_cast<double>(given[d])));
        if ((*output)[d] <= 0) return "a scale that empties a dimension";
    }
    return "";
}

std::string addResampling(Builder &builder, const onnx::NodeProto &node, const Sampling &s, const Dims &output) {
    int source = builder.value(node.input(0));
    auto kind = s.linear ? dnnl::algorithm::resampling_linear : dnnl::algorithm::resampling_nearest;
    dnnl::resampling_forward::desc desc(dnnl::prop_kind::forward_inference, kind, builder.at(source).desc,
                                        anyDesc(output));
    dnnl::resampling_forward::primitive_desc pd(desc, attributes(), cpuEngine());
    int result = builder.define(node.output(0), output, pd.dst_desc());
    return builder.add(pd, dnnl::resampling_forward(pd), {{DNNL_ARG_SRC, source}, {DNNL_ARG_DST, result}}, {}, false);
}

int64_t product(Dims::const_iterator begin, Dims::const_iterator end) {
    return std::accumulate(begin, end, int64_t{1}, std::multiplies<int64_t>());
}

// Axis `axis` of `current` resampled: [outer, in, inner] -> [outer, out, inner], as the
// sampling matrix times each [in, inner] block; the last axis as the rows times its transpose.
std::string resampleAxis(Builder &builder, int *current, size_t axis, int64_t out, const std::vector<float> &matrix) {
    Dims dims = builder.at(*current).dims;
    int64_t in = dims[axis];
    int64_t outer = product(dims.begin(), dims.begin() + axis), inner = product(dims.begin() + axis + 1, dims.end());
    bool last = inner == 1;
    Dims activationDims = last ? Dims{outer, in} : Dims{outer, in, inner};
    Dims constantDims = last ? Dims{in, out} : Dims{1, out, in};
    Dims resultDims = last ? Dims{outer, out} : Dims{outer, out, inner};
    std::vector<float> constant = matrix;
    if (last)
        for (int64_t y = 0; y < out; ++y)
            for (int64_t x = 0; x < in; ++x) constant[x * out + y] = matrix[y * in + x];
    int activation = builder.view(*current, activationDims);
    const Desc &a = builder.at(activation).desc;
    Desc c = plainDesc(constantDims);
    dnnl::matmul::desc desc(last ? a : c, last ? c : a, plainDesc(resultDims));
    dnnl::matmul::primitive_desc pd(desc, attributes(), cpuEngine());
    int made = builder.scratch(resultDims, plainDesc(resultDims));
    std::string reason = builder.add(
        pd, dnnl::matmul(pd), {{last ? DNNL_ARG_SRC : DNNL_ARG_WEIGHTS, activation}, {DNNL_ARG_DST, made}},
        {{last ? DNNL_ARG_WEIGHTS : DNNL_ARG_SRC, constantMemory(c, constantDims, constant)}}, false);
    Dims result = dims;
    result[axis] = out;
    *current = builder.view(made, result);
    return reason;
}

std::string addSamplingMatrices(Builder &builder, const onnx::NodeProto &node, const Sampling &s, const Dims &input,
                                const Dims &output, const std::vector<double> &scales) {
    int current = builder.plain(builder.value(node.input(0)));
    for (size_t d = 2; d < input.size(); ++d) {
        auto matrix = samplingMatrix(s, input[d], output[d], scales[d]);
        if (identity(matrix, input[d], output[d])) continue;
        std::string reason = resampleAxis(builder, &current, d, output[d], matrix);
        if (!reason.empty()) return reason;
    }
    builder.defineView(node.output(0), output, current);
    return "";
}

std::string lowerResize(Builder &builder, const onnx::NodeProto &node) {
    Sampling sampling;
    std::string reason = readSampling(builder, node, &sampling);
    if (!reason.empty()) return reason;
    Dims input = builder.dims(node.input(0)), output;
    if (input.size() < 3 || input.size() > 5) return "a rank other than 3 to 5";
    std::vector<double> scales;
    reason = readTarget(builder, node, input, &output, &scales);
    if (!reason.empty()) return reason;
    if (output[0] != input[0] || output[1] != input[1]) return "a resized batch or channel axis: not covered";
    bool library = true;
    for (size_t d = 2; d < input.size(); ++d)
        library = library && libraryAgrees(sampling, input[d], output[d], scales[d]);
    if (library) return addResampling(builder, node, sampling, output);
    return addSamplingMatrices(builder, node, sampling, input, output, scales);
}

// GridSample's sampling of one image: unnormalized grid coordinates, the padding mode
// folded into the weights (zeros: outside neighbours weigh nothing).
struct GridSampling {
    std::string mode, padding;
    bool alignCorners = false;
};

double unnormalize(const GridSampling &g, double c, int64_t size) {
    return g.alignCorners ? (c + 1) / 2 * (size - 1) : ((c + 1) * size - 1) / 2;
}

// A coordinate reflected into [low, high] given as twice their values.
double reflect(double x, int64_t twiceLow, int64_t twiceHigh) {
    if (twiceLow == twiceHigh) return 0;
    double low = twiceLow / 2.0, span = (twiceHigh - twiceLow) / 2.0;
    x = std::fabs(x - low);
    double extra = std::fmod(x, span);
    int64_t flips = static_cast<int64_t>(std::floor(x / span));
    return flips % 2 == 0 ? extra + low : span - extra + low;
}

// The border and reflection modes move a coordinate inside the image.
double padCoordinate(const GridSampling &g, double x, int64_t size) {
    if (g.padding == "border") return std::clamp(x, 0.0, static_cast<double>(size - 1));
    if (g.padding == "reflection") {
        x = g.alignCorners ? reflect(x, 0, 2 * (size - 1)) : reflect(x, -1, 2 * size - 1);
        return std::clamp(x, 0.0, static_cast<double>(size - 1));
    }
    return x;
}

// Weights of input positions (y, x) for one output position, added into `row` ([h * w]).
void gridWeights(const GridSampling &g, double gx, double gy, int64_t h, int64_t w, float *row) {
    auto add = [&](int64_t y, int64_t x, double weight) {
        if (y >= 0 && y < h && x >= 0 && x < w) row[y * w + x] += static_cast<float>(weight);
    };
    double x = unnormalize(g, gx, w), y = unnormalize(g, gy, h);
    if (g.mode == "bicubic" || g.mode == "cubic") {
        const double a = -0.75;
        auto near = [a](double t) { return ((a + 2) * t - (a + 3)) * t * t + 1; };
        auto far = [a](double t) { return ((a * t - 5 * a) * t + 8 * a) * t - 4 * a; };
        double x0 = std::floor(x), y0 = std::floor(y), tx = x - x0, ty = y - y0;
        double wx[4] = {far(tx + 1), near(tx), near(1 - tx), far(2 - tx)};
        double wy[4] = {far(ty + 1), near(ty), near(1 - ty), far(2 - ty)};
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) {
                // Each neighbour's own position is padded (moved inside) before it is read.
                double py = padCoordinate(g, y0 - 1 + i, h), px = padCoordinate(g, x0 - 1 + j, w);
                add(static_cast<int64_t>(py), static_cast<int64_t>(px), wy[i] * wx[j]);
            }
        return;
    }
    x = padCoordinate(g, x, w);
    y = padCoordinate(g, y, h);
    if (g.mode == "nearest") {
        add(static_cast<int64_t>(std::nearbyint(y)), static_cast<int64_t>(std::nearbyint(x)), 1.0);
        return;
    }
    double x0 = std::floor(x), y0 = std::floor(y), tx = x - x0, ty = y - y0;
    auto ix = static_cast<int64_t>(x0), iy = static_cast<int64_t>(y0);
    add(iy, ix, (1 - tx) * (1 - ty));
    add(iy, ix + 1, tx * (1 - ty));
    add(iy + 1, ix, (1 - tx) * ty);
    add(iy + 1, ix + 1, tx * ty);
}

std::string lowerGridSample(Builder &builder, const onnx::NodeProto &node) {
    GridSampling g{stringAttribute(node, "mode", "bilinear"), stringAttribute(node, "padding_mode", "zeros"),
                   intAttribute(node, "align_corners", 0) != 0};
    static const std::set<std::string> kModes = {"bilinear", "linear", "nearest", "bicubic", "cubic"};
    if (!kModes.count(g.mode)) return "mode " + g.mode + ": not covered";
    if (g.padding != "zeros" && g.padding != "border" && g.padding != "reflection")
        return "padding mode " + g.padding + ": not covered";
    Dims input = builder.dims(node.input(0)), gridDims = builder.dims(inputName(node, 1));
    if (input.size() != 4 || gridDims.size() != 4 || gridDims[0] != input[0] || gridDims[3] != 2)
        return "other than a 2-D image and its grid";
    int64_t n = input[0], c = input[1], h = input[2], w = input[3], points = gridDims[1] * gridDims[2];
    if (static_cast<double>(n) * h * w * points > (1 << 24)) return "a sampling matrix too large to hold";
    const Constant *grid = builder.known(inputName(node, 1));
    if (!grid) return "a grid computed at run time: not covered";
    // Per image the transposed sampling matrix [h * w, points]: rows built, then transposed.
    std::vector<float> weights(static_cast<size_t>(n * h * w * points), 0.f), row(static_cast<size_t>(h * w));
    for (int64_t image = 0; image < n; ++image)
        for (int64_t p = 0; p < points; ++p) {
            double gx = grid->at((image * points + p) * 2), gy = grid->at((image * points + p) * 2 + 1);
            if (!std::isfinite(gx) || !std::isfinite(gy) || std::fabs(gx) > 1e6 || std::fabs(gy) > 1e6)
                return "grid coordinates that are not finite";
            std::fill(row.begin(), row.end(), 0.f);
            gridWeights(g, gx, gy, h, w, row.data());
            for (int64_t q = 0; q < h * w; ++q) weights[(image * h * w + q) * points + p] = row[q];
        }
    int x = builder.view(builder.value(node.input(0)), {n, c, h * w});
    Dims weightDims = {n, h * w, points}, resultDims = {n, c, points};
    Desc weightDesc = plainDesc(weightDims);
    dnnl::matmul::desc desc(builder.at(x).desc, weightDesc, plainDesc(resultDims));
    dnnl::matmul::primitive_desc pd(desc, attributes(), cpuEngine());
    int result = builder.scratch(resultDims, plainDesc(resultDims));
    std::string reason = builder.add(pd, dnnl::matmul(pd), {{DNNL_ARG_SRC, x}, {DNNL_ARG_DST, result}},
                                     {{DNNL_ARG_WEIGHTS, constantMemory(weightDesc, weightDims, weights)}}, false);
    if (reason.empty()) builder.defineView(node.output(0), {n, c, gridDims[1], gridDims[2]}, result);
    return reason;
}

}  // namespace

void registerResize(Registry &registry) {
    registry.add("Resize", lowerResize);
    registry.add("Upsample", lowerResize);
    registry.add("GridSample", lowerGridSample);
}

}  // namespace zecl::plan
