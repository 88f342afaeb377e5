// Normalizations: LayerNormalization (one layer-normalization primitive over the
// input seen as 2-D at the axis), BatchNormalization in inference mode,
// InstanceNormalization (a layer normalization per channel, then scale and bias),
// MeanVarianceNormalization (its function's reductions and arithmetic), LRN; and
// the shape arithmetic of LayerNormalization's expansion (Size, ConstantOfShape),
// folded as constants.
#include <numeric>

#include "zecl/plan/lowering.hpp"

namespace zecl::plan {
namespace {

using A = dnnl::algorithm;
using Flags = dnnl::normalization_flags;

int64_t product(Dims::const_iterator begin, Dims::const_iterator end) {
    return std::accumulate(begin, end, int64_t{1}, std::multiplies<int64_t>());
}

// The value of a per-channel (or per-element) parameter as a 1-D tensor of `count`.
bool vectorOf(Builder &builder, const std::string &name, int64_t count, int *id) {
    Dims dims = builder.dims(name);
    if (product(dims.begin(), dims.end()) != count) return false;
    *id = builder.view(builder.value(name), {count});
    return true;
}

bool requested(const onnx::NodeProto &node, int index) {
    return index < node.output_size() && !node.output(index).empty();
}

std::string lowerLayerNorm(Builder &builder, const onnx::NodeProto &node) {
    Dims input = builder.dims(node.input(0));
    if (input.empty()) return "a scalar input: not covered";
    if (intAttribute(node, "stash_type", 1) != onnx::TensorProto::FLOAT) return "a stash_type other than float";
    int64_t axis = normalizeAxis(intAttribute(node, "axis", -1), input.size());
    if (axis < 0) return "axis out of range";
    float epsilon = floatAttribute(node, "epsilon", 1e-5f);
    int64_t outer = product(input.begin(), input.begin() + axis), inner = product(input.begin() + axis, input.end());
    int scale = -1, shift = -1;
    if (!vectorOf(builder, node.input(1), inner, &scale)) return "a scale of other than the normalized shape";
    std::string bias = inputName(node, 2);
    if (!bias.empty() && !vectorOf(builder, bias, inner, &shift)) return "a bias of other than the normalized shape";
    bool statistics = requested(node, 1) || requested(node, 2);
    Flags flags = shift >= 0 ? Flags::use_scale | Flags::use_shift : Flags::use_scale;
    int source = builder.view(builder.value(node.input(0)), {outer, inner});
    auto prop = statistics ? dnnl::prop_kind::forward_training : dnnl::prop_kind::forward_inference;
    dnnl::layer_normalization_forward::desc desc(prop, builder.at(source).desc, plainDesc({outer}), epsilon, flags);
    dnnl::layer_normalization_forward::primitive_desc pd(desc, attributes(), cpuEngine());
    if (pd.workspace_desc().get_size() != 0) return "a kernel that needs a workspace: not covered";
    int output = builder.scratch({outer, inner}, pd.dst_desc());
    std::vector<std::pair<int, int>> args = {{DNNL_ARG_SRC, source}, {DNNL_ARG_DST, output}, {DNNL_ARG_SCALE, scale}};
    if (shift >= 0) args.push_back({DNNL_ARG_SHIFT, shift});
    int mean = -1, variance = -1;
    if (statistics) {
        mean = builder.scratch({outer}, pd.mean_desc());
        variance = builder.scratch({outer}, pd.variance_desc());
        args.push_back({DNNL_ARG_MEAN, mean});
        args.push_back({DNNL_ARG_VARIANCE, variance});
    }
    builder.add(pd, dnnl::layer_normalization_forward(pd), args, {}, false);
    builder.defineView(node.output(0), input, output);
    Dims statDims(input.begin(), input.begin() + axis);
    statDims.resize(input.size(), 1);
    if (requested(node, 1)) builder.defineView(node.output(1), statDims, mean);
    if (requested(node, 2)) {
        // 1 / sqrt(variance + epsilon)
        int shifted = addEltwise(builder, variance, A::eltwise_linear, 1.f, epsilon);
        builder.defineView(node.output(2), statDims, addEltwise(builder, shifted, A::eltwise_pow, 1.f, -0.5f));
    }
    return "";
}

std::string lowerBatchNorm(Builder &builder, const onnx::NodeProto &node) {
    if (intAttribute(node, "training_mode", 0) != 0) return "training mode: not covered";
    if (intAttribute(node, "spatial", 1) == 0) return "statistics per element (spatial 0): not covered";
    for (int i = 1; i < node.output_size(); ++i)
        if (requested(node, i)) return "the running statistics' outputs: not covered";
    if (node.input_size() != 5) return "other than five inputs";
    Dims input = builder.dims(node.input(0));
    if (input.size() < 2 || input.size() > 5) return "a rank other than 2 to 5: not covered";
    int64_t channels = input[1];
    int scale, shift, mean, variance;
    if (!vectorOf(builder, node.input(1), channels, &scale) || !vectorOf(builder, node.input(2), channels, &shift) ||
        !vectorOf(builder, node.input(3), channels, &mean) || !vectorOf(builder, node.input(4), channels, &variance))
        return "parameters of other than one value per channel";
    int source = builder.value(node.input(0));
    dnnl::batch_normalization_forward::desc desc(dnnl::prop_kind::forward_inference, builder.at(source).desc,
                                                 floatAttribute(node, "epsilon", 1e-5f),
                                                 Flags::use_global_stats | Flags::use_scale | Flags::use_shift);
    dnnl::batch_normalization_forward::primitive_desc pd(desc, attributes(), cpuEngine());
    int output = builder.define(node.output(0), input, pd.dst_desc());
    builder.add(pd, dnnl::batch_normalization_forward(pd),
                {{DNNL_ARG_SRC, source},
                 {DNNL_ARG_DST, output},
                 {DNNL_ARG_SCALE, scale},
                 {DNNL_ARG_SHIFT, shift},
                 {DNNL_ARG_MEAN, mean},
                 {DNNL_ARG_VARIANCE, variance}},
                {}, false);
    return "";
}

std::string lowerInstanceNorm(Builder &builder, const onnx::NodeProto &node) {
    Dims input = builder.dims(node.input(0));
    if (input.size() < 3) return "an input without spatial dimensions";
    if (node.input_size() != 3) return "other than three inputs";
    int64_t channels = input[1], spatial = product(input.begin() + 2, input.end());
    int scale, bias;
    if (!vectorOf(builder, node.input(1), channels, &scale) || !vectorOf(builder, node.input(2), channels, &bias))
        return "parameters of other than one value per channel";
    // Each (image, channel) row normalised on its own, then scaled per channel.
    int rows = builder.view(builder.value(node.input(0)), {input[0] * channels, spatial});
    dnnl::layer_normalization_forward::desc desc(dnnl::prop_kind::forward_inference, builder.at(rows).desc,
                                                 floatAttribute(node, "epsilon", 1e-5f), Flags::none);
    dnnl::layer_normalization_forward::primitive_desc pd(desc, attributes(), cpuEngine());
    int normalized = builder.scratch({input[0] * channels, spatial}, pd.dst_desc());
    builder.add(pd, dnnl::layer_normalization_forward(pd), {{DNNL_ARG_SRC, rows}, {DNNL_ARG_DST, normalized}}, {},
                false);
    Dims perChannel = {1, channels, 1};
    int planes = builder.view(normalized, {input[0], channels, spatial});
    int scaled = addBinary(builder, A::binary_mul, planes, builder.view(scale, perChannel));
    int shifted = addBinary(builder, A::binary_add, scaled, builder.view(bias, perChannel));
    builder.defineView(node.output(0), input, shifted);
    return "";
}

// ONNX's function: (x - mean) / (sqrt(mean(x^2) - mean^2) + 1e-9) over the axes.
std::string lowerMeanVarianceNorm(Builder &builder, const onnx::NodeProto &node) {
    Dims input = builder.dims(node.input(0));
    Dims axes = attribute(node, "axes") ? intsAttribute(node, "axes") : Dims{0, 2, 3};
    Dims reduced = input;
    for (int64_t axis : axes) {
        int64_t a = normalizeAxis(axis, input.size());
        if (a < 0) return "an axis out of range";
        reduced[a] = 1;
    }
    if (reduced == input) return "only axes of size 1: not covered";
    int x = builder.value(node.input(0));
    int mean = addReduction(builder, x, A::reduction_mean, reduced, 0.f);
    int meanOfSquares = addReduction(builder, addEltwise(builder, builder.plain(x), A::eltwise_square, 0.f, 0.f),
                                     A::reduction_mean, reduced, 0.f);
    int variance = addBinary(builder, A::binary_sub, meanOfSquares, addEltwise(builder, mean, A::eltwise_square, 0, 0));
    int deviation = addEltwise(builder, addEltwise(builder, variance, A::eltwise_sqrt, 0.f, 0.f), A::eltwise_linear,
                               1.f, 1e-9f);
    int centred = addBinary(builder, A::binary_sub, x, mean);
    builder.overwrite(node.output(0), addBinary(builder, A::binary_div, centred, deviation));
    return "";
}

// ONNX's window of `size` channels is centred for odd sizes only, as oneDNN's is.
std::string lowerLrn(Builder &builder, const onnx::NodeProto &node) {
    Dims input = builder.dims(node.input(0));
    int64_t size = intAttribute(node, "size", 0);
    if (size <= 0 || size % 2 == 0) return "a window of even or no size: not covered";
    if (input.size() < 3 || input.size() > 5) return "a rank other than 3 to 5: not covered";
    int source = builder.value(node.input(0));
    dnnl::lrn_forward::desc desc(dnnl::prop_kind::forward_inference, A::lrn_across_channels, builder.at(source).desc,
                                 size, floatAttribute(node, "alpha", 1e-4f), floatAttribute(node, "beta", 0.75f),
                                 floatAttribute(node, "bias", 1.f));
    dnnl::lrn_forward::primitive_desc pd(desc, attributes(), cpuEngine());
    int output = builder.define(node.output(0), input, pd.dst_desc());
    builder.add(pd, dnnl::lrn_forward(pd), {{DNNL_ARG_SRC, source}, {DNNL_ARG_DST, output}}, {}, false);
    return "";
}

std::string lowerSize(Builder &builder, const onnx::NodeProto &node) {
    Dims input = builder.dims(node.input(0));
    Constant size;
    size.integer = true;
    size.ints = {product(input.begin(), input.end())};
    builder.defineConstant(node.output(0), std::move(size));
    return "";
}

// The fill value of ConstantOfShape: a one-element tensor, float 0 by default.
bool fillValue(const onnx::NodeProto &node, Constant *fill) {
    const auto *a = attribute(node, "value");
    if (!a) return true;
    Constant value;
    if (!toConstant(a->t(), &value) || value.count() != 1) return false;
    *fill = std::move(value);
    fill->dims.clear();  // the output's dims are the shape input's
    return true;
}

std::string lowerConstantOfShape(Builder &builder, const onnx::NodeProto &node) {
    if (!builder.isConstant(node.input(0))) return "a shape given at run time: not covered";
    const Constant &shape = builder.constant(node.input(0));
    Constant out;
    out.floats = {0.f};
    if (!fillValue(node, &out)) return "a fill value the plan does not hold (one value of a numeric type)";
    for (size_t i = 0; i < shape.count(); ++i) {
        if (shape.intAt(i) < 0) return "a negative dimension";
        out.dims.push_back(shape.intAt(i));
    }
    int64_t count = product(out.dims.begin(), out.dims.end());
    if (count > (int64_t{1} << 24)) return "a constant too large to fold: not covered";
    if (out.integer)
        out.ints.assign(static_cast<size_t>(count), out.ints[0]);
    else
        out.floats.assign(static_cast<size_t>(count), out.floats[0]);
    builder.defineConstant(node.output(0), std::move(out));
    return "";
}

}  // namespace

void registerNorm(Registry &registry) {
    registry.add("LayerNormalization", lowerLayerNorm);
    registry.add("BatchNormalization", lowerBatchNorm);
    registry.add("InstanceNormalization", lowerInstanceNorm);
    registry.add("MeanVarianceNormalization", lowerMeanVarianceNorm);
    registry.add("LRN", lowerLrn);
    registry.add("Size", lowerSize);
    registry.add("ConstantOfShape", lowerConstantOfShape);
}

}  // namespace zecl::plan
