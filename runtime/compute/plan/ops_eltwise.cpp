// Element-wise activations, each one eltwise primitive on its input's layout
// (with a second step as a post-op where ONNX's function is two of oneDNN's).
#include <cfloat>

#include "compute/plan/binary.hpp"

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
    if (op == "Selu") return {{A::eltwise_elu, f("alpha", 1.67326319217681884765625f)},
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
    if (op == "HardSigmoid") return {{A::eltwise_linear, f("alpha", 0.2f), f("beta", 0.5f)}, {A::eltwise_clip, 0.f, 1.f}};
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

bool givenBounds(const Builder &builder, const onnx::NodeProto &node) {
    if (node.op_type() != "Clip") return false;
    for (int i = 1; i <= 2; ++i)
        if (!inputName(node, i).empty() && !builder.isConstant(inputName(node, i))) return true;
    return false;
}

// Clip with bounds that come with the inputs: max(x, min) then min(that, max), each a
// binary primitive broadcasting the bound (a scalar).
std::string lowerClipGivenBounds(Builder &builder, const onnx::NodeProto &node) {
    int current = builder.value(node.input(0));
    Dims dims = builder.at(current).dims;
    Dims full = leadingOnes(dims, std::max<size_t>(dims.size(), 1));
    current = broadcastTo(builder, current, full);
    for (int i = 1; i <= 2; ++i) {
        std::string bound = inputName(node, i);
        if (bound.empty()) continue;
        Dims boundDims = builder.dims(bound);
        if (boundDims.size() > full.size() || leadingOnes(boundDims, full.size()) != Dims(full.size(), 1))
            return "bounds other than one value: not covered";
        auto kind = i == 1 ? dnnl::algorithm::binary_max : dnnl::algorithm::binary_min;
        current = addBinary(builder, kind, current, builder.value(bound), {});
    }
    if (full == dims) builder.overwrite(node.output(0), current);
    else builder.defineView(node.output(0), dims, current);
    return "";
}

// One primitive per function: oneDNN 2.6's eltwise primitive takes post-ops but
// does not apply them on every kernel.
std::string lowerUnary(Builder &builder, const onnx::NodeProto &node) {
    if (givenBounds(builder, node)) return lowerClipGivenBounds(builder, node);
    std::string reason;
    auto steps = functions(builder, node, &reason);
    if (steps.empty()) return reason;
    int current = builder.value(node.input(0));
    for (const Function &step : steps) {
        const Desc &desc = builder.at(current).desc;
        dnnl::eltwise_forward::desc op(dnnl::prop_kind::forward_inference, step.kind, desc, step.alpha, step.beta);
        dnnl::eltwise_forward::primitive_desc pd(op, attributes(), cpuEngine());
        int output = builder.scratch(builder.at(current).dims, pd.dst_desc());
        reason = builder.add(pd, dnnl::eltwise_forward(pd), {{DNNL_ARG_SRC, current}, {DNNL_ARG_DST, output}}, {},
                             false);
        if (!reason.empty()) return reason;
        current = output;
    }
    builder.overwrite(node.output(0), current);
    return "";
}

}  // namespace

void registerEltwise(Registry &registry) {
    for (const char *op : {"Relu", "LeakyRelu", "Sigmoid", "Tanh", "Elu", "Selu", "Exp", "Log", "Abs", "Sqrt", "Neg",
                           "Reciprocal", "Softplus", "Mish", "HardSwish", "HardSigmoid", "Clip"})
        registry.add(op, lowerUnary);
}

}  // namespace zecl::plan
