// Convolutions with their weights and bias as constants, a following
// BatchNormalization folded into them, and the activations and residual sum
// after them fused as post-ops.
#include <cfloat>
#include <cmath>

#include "zecl/plan/lowering.hpp"
#include "zecl/plan/window.hpp"

namespace zecl::plan {
namespace {

struct Weights {
    Dims dims;  // O, I/group, spatial...
    std::vector<float> values, bias;
};

// Folds y = scale * (x - mean) / sqrt(var + eps) + shift into the weights and bias.
bool foldBatchNorm(const Builder &builder, const onnx::NodeProto &norm, Weights *weights) {
    for (int i = 1; i <= 4; ++i)
        if (!builder.isConstant(inputName(norm, i))) return false;
    for (int i = 1; i < norm.output_size(); ++i)
        if (!norm.output(i).empty()) return false;  // training outputs
    const Constant &scale = builder.constant(norm.input(1)), &shift = builder.constant(norm.input(2));
    const Constant &mean = builder.constant(norm.input(3)), &variance = builder.constant(norm.input(4));
    size_t filters = static_cast<size_t>(weights->dims[0]);
    for (const Constant *c : {&scale, &shift, &mean, &variance})
        if (c->count() != filters) return false;
    float epsilon = floatAttribute(norm, "epsilon", 1e-5f);
    size_t perFilter = weights->values.size() / filters;
    for (size_t f = 0; f < filters; ++f) {
        double factor = scale.at(f) / std::sqrt(static_cast<double>(variance.at(f)) + epsilon);
        for (size_t k = 0; k < perFilter; ++k) weights->values[f * perFilter + k] *= static_cast<float>(factor);
        weights->bias[f] = static_cast<float>((weights->bias[f] - mean.at(f)) * factor + shift.at(f));
    }
    return true;
}

struct Fused {
    dnnl::algorithm kind;
    float alpha = 0, beta = 0;
    int sum = -1;  // a residual sum: the shortcut's value id
    const onnx::NodeProto *node = nullptr;
    const onnx::NodeProto *sigmoid = nullptr;  // swish: the Sigmoid beside the Mul
    std::string output;
};

// The activation a node applies, as a post-op; false for other nodes.
bool activation(const Builder &builder, const onnx::NodeProto &node, Fused *fused) {
    Activation applied;
    if (!postOpActivation(builder, node, &applied)) return false;
    fused->kind = applied.kind;
    fused->alpha = applied.alpha;
    fused->beta = applied.beta;
    fused->node = &node;
    fused->output = node.output(0);
    return true;
}

// x * sigmoid(x) read from `name`: the Sigmoid and the Mul, as one swish post-op.
bool swish(const Builder &builder, const std::string &name, Fused *fused) {
    auto readers = builder.readers(name);
    if (readers.size() != 2 || builder.graphOutput(name)) return false;
    const onnx::NodeProto *sigmoid = readers[0]->op_type() == "Sigmoid" ? readers[0] : readers[1];
    const onnx::NodeProto *product = sigmoid == readers[0] ? readers[1] : readers[0];
    if (sigmoid->op_type() != "Sigmoid" || product->op_type() != "Mul") return false;
    if (builder.soleReader(sigmoid->output(0)) != product) return false;
    fused->kind = dnnl::algorithm::eltwise_swish;
    fused->alpha = 1.f;
    fused->node = product;
    fused->sigmoid = sigmoid;
    fused->output = product->output(0);
    return true;
}

// An Add of the convolution's result and a shortcut of the same dims that may be
// summed into in place.
bool residual(Builder &builder, const onnx::NodeProto &node, const std::string &name, const Dims &dims, Fused *fused) {
    if (node.op_type() != "Add" || node.input_size() != 2) return false;
    std::string shortcut = node.input(0) == name ? node.input(1) : node.input(0);
    if (shortcut == name || !builder.defined(shortcut) || builder.isConstant(shortcut)) return false;
    if (builder.dims(shortcut) != dims || !builder.overwritable(shortcut, node)) return false;
    fused->sum = builder.value(shortcut);
    fused->node = &node;
    fused->output = node.output(0);
    return true;
}

// The chain of nodes after the convolution that become its post-ops, in order.
std::vector<Fused> postOps(Builder &builder, std::string name, const Dims &dims) {
    std::vector<Fused> chain;
    bool summed = false;
    for (;;) {
        Fused fused;
        const onnx::NodeProto *next = builder.soleReader(name);
        if (swish(builder, name, &fused) || (next && (activation(builder, *next, &fused) ||
                                                      (!summed && residual(builder, *next, name, dims, &fused))))) {
            summed = summed || fused.sum >= 0;
            chain.push_back(fused);
            name = fused.output;
            continue;
        }
        return chain;
    }
}

struct Convolution {
    Window window;
    Weights weights;
    int64_t group = 1;
    Dims outputDims;
};

// Makes the primitive with the given post-ops; the reason when oneDNN will not.
std::string addConvolution(Builder &builder, int source, const Convolution &conv, const std::vector<Fused> &chain,
                           const std::string &outputName) {
    const Window &w = conv.window;
    Dims weightDims = conv.weights.dims;
    if (conv.group > 1) {
        weightDims[0] /= conv.group;
        weightDims.insert(weightDims.begin(), conv.group);
    }
    dnnl::post_ops ops;
    int shortcut = -1;
    for (const Fused &fused : chain) {
        if (fused.sum >= 0) {
            appendSum(&ops);
            shortcut = fused.sum;
        } else {
            appendEltwise(&ops, fused.kind, fused.alpha, fused.beta);
        }
    }
    dnnl::primitive_attr attr = attributes();
    attr.set_post_ops(ops);
    // The residual sum reads the shortcut where the result goes: its exact layout.
    Desc dst = shortcut >= 0 ? builder.at(shortcut).desc : anyDesc(conv.outputDims);
    dnnl::convolution_forward::desc desc(
        dnnl::prop_kind::forward_inference, dnnl::algorithm::convolution_direct, anyDesc(builder.at(source).dims),
        anyDesc(weightDims), anyDesc({conv.outputDims[1]}), dst, {w.strides.begin(), w.strides.end()},
        libraryDilations(w), {w.padBegin.begin(), w.padBegin.end()}, {w.padEnd.begin(), w.padEnd.end()});
    dnnl::convolution_forward::primitive_desc pd(desc, attr, cpuEngine());
    int input = builder.inLayout(source, pd.src_desc());
    auto weights = constantMemory(pd.weights_desc(), weightDims, conv.weights.values);
    auto bias = constantMemory(pd.bias_desc(), {conv.outputDims[1]}, conv.weights.bias);
    int output = shortcut >= 0 ? shortcut : builder.scratch(conv.outputDims, pd.dst_desc());
    std::string reason = builder.add(pd, dnnl::convolution_forward(pd), {{DNNL_ARG_SRC, input}, {DNNL_ARG_DST, output}},
                                     {{DNNL_ARG_WEIGHTS, weights}, {DNNL_ARG_BIAS, bias}});
    if (!reason.empty()) return reason;
    builder.overwrite(outputName, output);
    for (const Fused &fused : chain) {
        builder.fuse(*fused.node);
        if (fused.sigmoid) builder.fuse(*fused.sigmoid);
    }
    return "";
}

std::string readConvolution(Builder &builder, const onnx::NodeProto &node, Convolution *conv) {
    std::string weightName = inputName(node, 1), biasName = inputName(node, 2);
    if (!builder.isConstant(weightName) || (!biasName.empty() && !builder.isConstant(biasName)))
        return "weights or bias given at run time: not covered";
    const Constant &w = builder.constant(weightName);
    Dims input = builder.dims(node.input(0));
    conv->group = intAttribute(node, "group", 1);
    if (w.dims.size() < 3 || w.dims.size() != input.size() || conv->group <= 0 || w.dims[0] % conv->group ||
        input[1] != w.dims[1] * conv->group)
        return "weights that do not fit the input and group";
    conv->weights.dims = w.dims;
    conv->weights.values.resize(w.count());
    for (size_t i = 0; i < w.count(); ++i) conv->weights.values[i] = w.at(i);
    conv->weights.bias.assign(static_cast<size_t>(w.dims[0]), 0.f);
    if (!biasName.empty()) {
        const Constant &b = builder.constant(biasName);
        if (b.count() != conv->weights.bias.size()) return "a bias of another size than the filters";
        for (size_t i = 0; i < b.count(); ++i) conv->weights.bias[i] = b.at(i);
    }
    Dims kernel(w.dims.begin() + 2, w.dims.end());
    Dims declared = intsAttribute(node, "kernel_shape");
    if (!declared.empty() && declared != kernel) return "kernel_shape differs from the weights";
    std::string reason = readWindow(node, input, kernel, false, &conv->window);
    if (!reason.empty()) return reason;
    conv->outputDims = {input[0], w.dims[0]};
    conv->outputDims.insert(conv->outputDims.end(), conv->window.output.begin(), conv->window.output.end());
    return "";
}

std::string lowerConv(Builder &builder, const onnx::NodeProto &node) {
    std::string weightName = inputName(node, 1), biasName = inputName(node, 2);
    if (!builder.isConstant(weightName) || (!biasName.empty() && !builder.isConstant(biasName)))
        return lowerConvGivenWeights(builder, node);
    Convolution conv;
    std::string reason = readConvolution(builder, node, &conv);
    if (!reason.empty()) return reason;
    std::string name = node.output(0);
    std::vector<const onnx::NodeProto *> folded;
    const onnx::NodeProto *next = builder.soleReader(name);
    if (next && next->op_type() == "BatchNormalization" && foldBatchNorm(builder, *next, &conv.weights)) {
        folded.push_back(next);
        name = next->output(0);
    }
    int source = builder.value(node.input(0));
    auto chain = postOps(builder, name, conv.outputDims);
    // Without its post-ops when oneDNN will not take them (a shortcut's layout it cannot write).
    for (;;) {
        std::string output = chain.empty() ? name : chain.back().output;
        try {
            reason = addConvolution(builder, source, conv, chain, output);
        } catch (const dnnl::error &error) {
            reason = error.what();
        }
        if (reason.empty() || chain.empty()) break;
        chain.pop_back();
    }
    if (!reason.empty()) return reason;
    for (const auto *norm : folded) builder.fuse(*norm);
    return "";
}

}  // namespace

bool postOpActivation(const Builder &builder, const onnx::NodeProto &node, Activation *activation) {
    const std::string &op = node.op_type();
    if (op == "Relu")
        activation->kind = dnnl::algorithm::eltwise_relu;
    else if (op == "LeakyRelu") {
        activation->kind = dnnl::algorithm::eltwise_relu;
        activation->alpha = floatAttribute(node, "alpha", 0.01f);
    } else if (op == "Sigmoid")
        activation->kind = dnnl::algorithm::eltwise_logistic;
    else if (op == "Tanh")
        activation->kind = dnnl::algorithm::eltwise_tanh;
    else if (op == "Elu") {
        activation->kind = dnnl::algorithm::eltwise_elu;
        activation->alpha = floatAttribute(node, "alpha", 1.f);
    } else if (op == "Clip") {
        activation->kind = dnnl::algorithm::eltwise_clip;
        activation->alpha = -FLT_MAX;
        activation->beta = FLT_MAX;
        if (builder.opset() < 11) {
            activation->alpha = floatAttribute(node, "min", -FLT_MAX);
            activation->beta = floatAttribute(node, "max", FLT_MAX);
        }
        for (int i = 1; i <= 2; ++i) {
            std::string bound = inputName(node, i);
            if (bound.empty()) continue;
            if (!builder.isConstant(bound) || builder.constant(bound).count() != 1) return false;
            (i == 1 ? activation->alpha : activation->beta) = builder.constant(bound).at(0);
        }
    } else {
        return false;
    }
    return true;
}

void registerConv(Registry &registry) { registry.add("Conv", lowerConv); }

}  // namespace zecl::plan
