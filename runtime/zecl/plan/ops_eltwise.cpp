// Element-wise activations, each one eltwise primitive on its input's layout (a
// chain of them where ONNX's function is several of oneDNN's), the few that need a
// binary primitive (Clip with bounds given at run time, Softsign, ThresholdedRelu,
// PRelu), and GELU's five nodes as one primitive.
#include <cfloat>
#include <cmath>

#include "zecl/plan/binary.hpp"

namespace zecl::plan {
namespace {

struct Function {
    dnnl::algorithm kind;
    float alpha = 0, beta = 0;
};

// ONNX's unary functions as one or two of oneDNN's; empty for others.
std::vector<Function> functions(const Builder &builder, const onnx::NodeProto &node, std::string *reason) {
    using A = dnnl::algorithm;
    const std::string &op = node.op_type();
    auto f = [&](const char *name, float fallback) { return floatAttribute(node, name, fallback); };
    if (op == "Relu") return {{A::eltwise_relu}};
    if (op == "LeakyRelu") return {{A::eltwise_relu, f("alpha", 0.01f)}};
    if (op == "Sigmoid") return {{A::eltwise_logistic}};
    if (op == "Tanh") return {{A::eltwise_tanh}};
    if (op == "Elu") return {{A::eltwise_elu, f("alpha", 1.f)}};
    if (op == "Selu")
        return {{A::eltwise_elu, f("alpha", 1.67326319217681884765625f)},
                {A::eltwise_linear, f("gamma", 1.05070102214813232421875f)}};
    if (op == "Exp") return {{A::eltwise_exp}};
    if (op == "Log") return {{A::eltwise_log}};
    if (op == "Abs") return {{A::eltwise_abs}};
    if (op == "Sqrt") return {{A::eltwise_sqrt}};
    if (op == "Neg") return {{A::eltwise_linear, -1.f}};
    if (op == "Reciprocal") return {{A::eltwise_pow, 1.f, -1.f}};
    if (op == "Softplus") return {{A::eltwise_soft_relu}};
    if (op == "Mish") return {{A::eltwise_mish}};
    if (op == "HardSwish") return {{A::eltwise_hardswish}};
    if (op == "Celu") {  // alpha * elu(x / alpha)
        float alpha = f("alpha", 1.f);
        return {{A::eltwise_linear, 1.f / alpha}, {A::eltwise_elu, 1.f}, {A::eltwise_linear, alpha}};
    }
    if (op == "Pow") {
        std::string exponent = inputName(node, 1);
        if (!builder.isConstant(exponent) || builder.constant(exponent).count() != 1 ||
            builder.dims(exponent).size() > builder.dims(node.input(0)).size()) {
            *reason = "an exponent other than one constant value: not covered";
            return {};
        }
        return {{A::eltwise_pow, 1.f, builder.constant(exponent).at(0)}};
    }
    if (op == "HardSigmoid")
        return {{A::eltwise_linear, f("alpha", 0.2f), f("beta", 0.5f)}, {A::eltwise_clip, 0.f, 1.f}};
    if (op == "Clip") {
        Function clip{A::eltwise_clip, -FLT_MAX, FLT_MAX};
        if (builder.opset() < 11) {
            clip.alpha = f("min", -FLT_MAX);
            clip.beta = f("max", FLT_MAX);
        }
        for (int i = 1; i <= 2; ++i) {
            std::string bound = inputName(node, i);
            if (bound.empty()) continue;
            if (!builder.isConstant(bound) || builder.constant(bound).count() != 1) {
                *reason = "bounds other than one value: not covered";
                return {};
            }
            (i == 1 ? clip.alpha : clip.beta) = builder.constant(bound).at(0);
        }
        return {clip};
    }
    *reason = "not covered";
    return {};
}

// Names the result of a computation done at rank `full.size()` (a scalar's at rank 1).
void defineResult(Builder &builder, const onnx::NodeProto &node, const Dims &dims, const Dims &full, int id) {
    if (full == dims)
        builder.overwrite(node.output(0), id);
    else
        builder.defineView(node.output(0), dims, id);
}

// The input at rank one at least, in plain layout, for the binary primitives.
int operand(Builder &builder, const onnx::NodeProto &node, Dims *dims, Dims *full) {
    int id = builder.value(node.input(0));
    *dims = builder.at(id).dims;
    *full = leadingOnes(*dims, std::max<size_t>(dims->size(), 1));
    return broadcastTo(builder, id, *full);
}

// One primitive per function: oneDNN 2.6's eltwise primitive takes post-ops but
// does not apply them on every kernel.
int applyAll(Builder &builder, int current, const std::vector<Function> &steps) {
    for (const Function &step : steps) {
        const Desc &desc = builder.at(current).desc;
        dnnl::eltwise_forward::desc op(dnnl::prop_kind::forward_inference, step.kind, desc, step.alpha, step.beta);
        dnnl::eltwise_forward::primitive_desc pd(op, attributes(), cpuEngine());
        int output = builder.scratch(builder.at(current).dims, pd.dst_desc());
        builder.add(pd, dnnl::eltwise_forward(pd), {{DNNL_ARG_SRC, current}, {DNNL_ARG_DST, output}}, {}, false);
        current = output;
    }
    return current;
}

// x / (1 + |x|).
std::string lowerSoftsign(Builder &builder, const onnx::NodeProto &node) {
    Dims dims, full;
    int x = operand(builder, node, &dims, &full);
    using A = dnnl::algorithm;
    int denominator = applyAll(builder, x, {{A::eltwise_abs}, {A::eltwise_linear, 1.f, 1.f}});
    defineResult(builder, node, dims, full, addBinary(builder, A::binary_div, x, denominator, {}));
    return "";
}

// c = clip(x, alpha, inf), then (c > alpha) * c as one comparison with the product as
// its post-op: an infinite x never meets a zero factor (0 * -inf would be NaN).
std::string lowerThresholdedRelu(Builder &builder, const onnx::NodeProto &node) {
    Dims dims, full;
    int x = operand(builder, node, &dims, &full);
    float alpha = floatAttribute(node, "alpha", 1.f);
    int clipped = applyAll(builder, x, {{dnnl::algorithm::eltwise_clip, alpha, INFINITY}});
    const Desc &desc = builder.at(clipped).desc;
    Dims ones(full.size(), 1);
    dnnl::post_ops ops;
    ops.append_binary(dnnl::algorithm::binary_mul, desc);
    dnnl::primitive_attr attr = attributes();
    attr.set_post_ops(ops);
    dnnl::binary::desc op(dnnl::algorithm::binary_gt, desc, plainDesc(ones), desc);
    dnnl::binary::primitive_desc pd(op, attr, cpuEngine());
    int output = builder.scratch(full, pd.dst_desc());
    builder.add(pd, dnnl::binary(pd),
                {{DNNL_ARG_SRC_0, clipped},
                 {DNNL_ARG_ATTR_MULTIPLE_POST_OP(0) | DNNL_ARG_SRC_1, clipped},
                 {DNNL_ARG_DST, output}},
                {{DNNL_ARG_SRC_1, constantMemory(plainDesc(ones), ones, {alpha})}}, false);
    defineResult(builder, node, dims, full, output);
    return "";
}

// oneDNN's prelu with the slope (a constant or a graph input) broadcast to x.
std::string lowerPrelu(Builder &builder, const onnx::NodeProto &node) {
    Dims dims, full;
    int x = operand(builder, node, &dims, &full);
    Dims slope = builder.dims(node.input(1));
    if (slope.size() > full.size()) return "a slope of higher rank than its input";
    // Before opset 7 a slope of one value per channel applies along axis 1.
    bool perChannel = builder.opset() < 7 && full.size() > 1 && slope == Dims{full[1]};
    if (perChannel) {
        slope.assign(full.size(), 1);
        slope[1] = full[1];
    } else {
        slope = leadingOnes(slope, full.size());
    }
    for (size_t d = 0; d < full.size(); ++d)
        if (slope[d] != 1 && slope[d] != full[d]) return "a slope that does not broadcast to its input";
    int weights = builder.view(builder.value(node.input(1)), slope);
    dnnl::prelu_forward::desc op(dnnl::prop_kind::forward_inference, builder.at(x).desc, builder.at(weights).desc);
    dnnl::prelu_forward::primitive_desc pd(op, attributes(), cpuEngine());
    int output = builder.scratch(full, pd.dst_desc());
    builder.add(pd, dnnl::prelu_forward(pd), {{DNNL_ARG_SRC, x}, {DNNL_ARG_WEIGHTS, weights}, {DNNL_ARG_DST, output}},
                {}, false);
    defineResult(builder, node, dims, full, output);
    return "";
}

bool givenBounds(const Builder &builder, const onnx::NodeProto &node) {
    if (node.op_type() != "Clip") return false;
    for (int i = 1; i <= 2; ++i)
        if (!inputName(node, i).empty() && !builder.isConstant(inputName(node, i))) return true;
    return false;
}

// Clip with bounds that come with the inputs: max(x, min) then min(that, max), each a
// binary primitive broadcasting the bound (a scalar).
std::string lowerClipGivenBounds(Builder &builder, const onnx::NodeProto &node) {
    Dims dims, full;
    int current = operand(builder, node, &dims, &full);
    for (int i = 1; i <= 2; ++i) {
        std::string bound = inputName(node, i);
        if (bound.empty()) continue;
        Dims boundDims = builder.dims(bound);
        if (boundDims.size() > full.size() || leadingOnes(boundDims, full.size()) != Dims(full.size(), 1))
            return "bounds other than one value: not covered";
        auto kind = i == 1 ? dnnl::algorithm::binary_max : dnnl::algorithm::binary_min;
        current = addBinary(builder, kind, current, builder.value(bound), {});
    }
    defineResult(builder, node, dims, full, current);
    return "";
}

// Neg and Abs of a constant (shape arithmetic: axis counts, integer shapes), computed
// exactly while compiling; false for other nodes.
bool foldSign(Builder &builder, const onnx::NodeProto &node) {
    const std::string &op = node.op_type();
    if ((op != "Neg" && op != "Abs") || !builder.allConstant(node)) return false;
    Constant result = builder.constant(node.input(0));
    auto apply = [&op](auto value) { return op == "Neg" ? -value : (value < 0 ? -value : value); };
    for (int64_t &value : result.ints) value = apply(value);
    for (float &value : result.floats) value = apply(value);
    builder.defineConstant(node.output(0), std::move(result));
    return true;
}

std::string lowerUnary(Builder &builder, const onnx::NodeProto &node) {
    if (foldSign(builder, node)) return "";
    if (givenBounds(builder, node)) return lowerClipGivenBounds(builder, node);
    std::string reason;
    auto steps = functions(builder, node, &reason);
    if (steps.empty()) return reason;
    builder.overwrite(node.output(0), applyAll(builder, builder.value(node.input(0)), steps));
    return "";
}

// The other input of a binary node whose input `index` is one constant value of rank
// `rank` at most (the result keeps the other's dims); "" when it is not.
std::string besideConstant(const Builder &builder, const onnx::NodeProto *node, int index, float value, size_t rank) {
    if (!node || node->input_size() != 2) return "";
    const std::string &c = node->input(index), &other = node->input(1 - index);
    if (!builder.isConstant(c) || builder.isConstant(other) || builder.constant(c).count() != 1) return "";
    if (builder.dims(c).size() > rank) return "";
    return std::fabs(builder.constant(c).at(0) - value) <= 1e-6f * std::fabs(value) ? other : "";
}

// Either input of a commutative node.
std::string besideEitherConstant(const Builder &builder, const onnx::NodeProto *node, float value, size_t rank) {
    std::string other = besideConstant(builder, node, 1, value, rank);
    return other.empty() ? besideConstant(builder, node, 0, value, rank) : other;
}

const onnx::NodeProto *nextOf(const Builder &builder, const onnx::NodeProto &node, const char *op) {
    const onnx::NodeProto *next = builder.soleReader(node.output(0));
    return next && next->op_type() == op ? next : nullptr;
}

}  // namespace

bool lowerGelu(Builder &builder, const onnx::NodeProto &scale) {
    const float root2 = 1.41421356237f;
    if (scale.input_size() != 2) return false;
    // The operand beside the constant, for its rank; besideConstant checks which one that is.
    std::string x = builder.isConstant(scale.input(0)) ? scale.input(1) : scale.input(0);
    size_t rank = builder.dims(x).size();
    x = scale.op_type() == "Div" ? besideConstant(builder, &scale, 1, root2, rank)
                                 : besideEitherConstant(builder, &scale, 1.f / root2, rank);
    if (x.empty()) return false;
    const onnx::NodeProto *erf = nextOf(builder, scale, "Erf");
    const onnx::NodeProto *add = erf ? nextOf(builder, *erf, "Add") : nullptr;
    if (!add || besideEitherConstant(builder, add, 1.f, rank) != erf->output(0)) return false;
    const onnx::NodeProto *product = nextOf(builder, *add, "Mul");
    if (!product || product->input_size() != 2) return false;
    bool readsX = (product->input(0) == x && product->input(1) == add->output(0)) ||
                  (product->input(1) == x && product->input(0) == add->output(0));
    const onnx::NodeProto *half = readsX ? nextOf(builder, *product, "Mul") : nullptr;
    if (!half || besideEitherConstant(builder, half, 0.5f, rank) != product->output(0)) return false;
    int y = applyAll(builder, builder.value(x), {{dnnl::algorithm::eltwise_gelu_erf}});
    builder.overwrite(half->output(0), y);
    for (const onnx::NodeProto *node : {erf, add, product, half}) builder.fuse(*node);
    return true;
}

void registerEltwise(Registry &registry) {
    for (const char *op : {"Relu", "LeakyRelu", "Sigmoid", "Tanh", "Elu", "Selu", "Exp", "Log", "Abs", "Sqrt", "Neg",
                           "Reciprocal", "Softplus", "Mish", "HardSwish", "HardSigmoid", "Clip", "Celu", "Pow"})
        registry.add(op, lowerUnary);
    registry.add("Softsign", lowerSoftsign);
    registry.add("ThresholdedRelu", lowerThresholdedRelu);
    registry.add("PRelu", lowerPrelu);
}

}  // namespace zecl::plan
