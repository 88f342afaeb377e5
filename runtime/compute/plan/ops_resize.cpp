// Resize and Upsample on oneDNN's resampling primitive, where its sampling is the
// node's: for each spatial axis the plan computes ONNX's source index (nearest) or
// source coordinate (linear) of every output position and the library's, and
// lowers the node only when they agree. oneDNN maps an output position y onto
// (y + 0.5) * in / out - 0.5, rounded half away from zero for nearest.
#include <cmath>

#include "compute/plan/lowering.hpp"

namespace zecl::plan {
namespace {

struct Sampling {
    bool linear = false;
    std::string coordinates = "half_pixel";  // coordinate_transformation_mode
    std::string rounding = "round_prefer_floor";  // nearest_mode
};

// ONNX's source coordinate of output position y on an axis of `in` -> `out`.
double sourceCoordinate(const Sampling &s, int64_t y, int64_t in, int64_t out, double scale) {
    const std::string &mode = s.coordinates;
    if (mode == "half_pixel") return (y + 0.5) / scale - 0.5;
    if (mode == "pytorch_half_pixel") return out > 1 ? (y + 0.5) / scale - 0.5 : 0.0;
    if (mode == "align_corners") return out == 1 ? 0.0 : y * static_cast<double>(in - 1) / (out - 1);
    if (mode == "tf_half_pixel_for_nn") return (y + 0.5) / scale;
    return y / scale;  // asymmetric
}

int64_t nearestIndex(const Sampling &s, double x, int64_t in) {
    double index;
    if (s.rounding == "floor") index = std::floor(x);
    else if (s.rounding == "ceil") index = std::ceil(x);
    else if (x - std::floor(x) == 0.5) index = s.rounding == "round_prefer_ceil" ? std::ceil(x) : std::floor(x);
    else index = std::round(x);
    return std::clamp<int64_t>(static_cast<int64_t>(index), 0, in - 1);
}

float libraryCoordinate(int64_t y, int64_t in, int64_t out) {
    return (static_cast<float>(y) + 0.5f) * static_cast<float>(in) / static_cast<float>(out) - 0.5f;
}

// Whether oneDNN samples this axis exactly as the node does.
bool libraryAgrees(const Sampling &s, int64_t in, int64_t out, double scale) {
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

// The node's mode and coordinate mapping; a reason for those the plan leaves to OpenCV.
std::string readSampling(const Builder &builder, const onnx::NodeProto &node, Sampling *s) {
    std::string mode = stringAttribute(node, "mode", "nearest");
    if (mode != "nearest" && mode != "linear" && mode != "bilinear") return "mode " + mode + ": not covered";
    s->linear = mode != "nearest";
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
    if (s->coordinates == "tf_crop_and_resize") return "tf_crop_and_resize: not covered";
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
    for (size_t d = 2; d < input.size(); ++d)
        if (!libraryAgrees(sampling, input[d], output[d], scales[d]))
            return "a sampling oneDNN's resampling does not compute exactly";
    int source = builder.value(node.input(0));
    auto kind = sampling.linear ? dnnl::algorithm::resampling_linear : dnnl::algorithm::resampling_nearest;
    dnnl::resampling_forward::desc desc(dnnl::prop_kind::forward_inference, kind, builder.at(source).desc,
                                        anyDesc(output));
    dnnl::resampling_forward::primitive_desc pd(desc, attributes(), cpuEngine());
    int result = builder.define(node.output(0), output, pd.dst_desc());
    return builder.add(pd, dnnl::resampling_forward(pd), {{DNNL_ARG_SRC, source}, {DNNL_ARG_DST, result}}, {},
                       false);
}

}  // namespace

void registerResize(Registry &registry) {
    registry.add("Resize", lowerResize);
    registry.add("Upsample", lowerResize);
}

}  // namespace zecl::plan
