// Matrix products: MatMul with NumPy's batch broadcasting and 1-D operands, and
// Gemm with its transposes, alpha and beta, on oneDNN's matmul primitive.
#include "zecl/plan/lowering.hpp"

namespace zecl::plan {
namespace {

Dims leadingOnes(const Dims &dims, size_t rank) {
    Dims padded(rank - dims.size(), 1);
    padded.insert(padded.end(), dims.begin(), dims.end());
    return padded;
}

std::vector<float> floatsOf(const Constant &constant, float scale) {
    std::vector<float> values(constant.count());
    for (size_t i = 0; i < values.size(); ++i) values[i] = constant.at(i) * scale;
    return values;
}

// Constant weights in the layout the primitive picks; others as they are.
struct Operand {
    int value = -1;  // an activation
    Desc desc;       // its layout (or the constant's, `any` until the primitive chose)
    Dims dims;
    std::vector<float> constant;  // plain data of a constant operand
    bool isConstant = false;
};

Operand operand(Builder &builder, const std::string &name, const Dims &dims, bool transposed, float scale) {
    Operand result;
    result.dims = dims;
    if (builder.isConstant(name)) {
        result.isConstant = true;
        result.constant = floatsOf(builder.constant(name), scale);
        if (transposed) {  // stored [cols, rows]: written out as [rows, cols]
            int64_t rows = dims[dims.size() - 2], cols = dims[dims.size() - 1];
            std::vector<float> plain(result.constant.size());
            for (int64_t r = 0; r < rows; ++r)
                for (int64_t c = 0; c < cols; ++c) plain[r * cols + c] = result.constant[c * rows + r];
            result.constant = std::move(plain);
        }
        result.desc = anyDesc(dims);
        return result;
    }
    int id = builder.value(name);
    if (transposed) {
        result.value = builder.plain(id);
        result.desc = transposedDesc(dims);
    } else {
        result.value = builder.view(id, dims);
        result.desc = plainDesc(dims);
    }
    return result;
}

// Each value of a column (or the one value) repeated across `columns` columns.
std::vector<float> expandColumns(const std::vector<float> &column, int64_t columns) {
    std::vector<float> matrix;
    for (float value : column) matrix.insert(matrix.end(), static_cast<size_t>(columns), value);
    return matrix;
}

struct Product {
    Operand a, b;
    Dims out;          // the library's dims of the result
    Dims onnxOut;      // the ONNX dims
    std::string bias;  // Gemm's C, broadcast to `out`
    float biasScale = 1.f;
};

// The activations after the product that its primitive applies as post-ops, in order.
std::vector<const onnx::NodeProto *> activationsAfter(const Builder &builder, const onnx::NodeProto &node,
                                                      dnnl::post_ops *ops) {
    std::vector<const onnx::NodeProto *> chain;
    std::string name = node.output(0);
    Activation activation;
    for (const onnx::NodeProto *next;
         (next = builder.soleReader(name)) && postOpActivation(builder, *next, &activation);) {
        appendEltwise(ops, activation.kind, activation.alpha, activation.beta);
        chain.push_back(next);
        name = next->output(0);
    }
    return chain;
}

std::string addProduct(Builder &builder, const onnx::NodeProto &node, Product &p, bool fuseActivations) {
    // oneDNN's fast kernels take a bias of one row; another C is added as a post-op.
    Desc biasDesc;
    std::vector<float> bias, addend;
    int biasValue = -1;
    dnnl::post_ops ops;
    if (!p.bias.empty()) {
        Dims dims = leadingOnes(builder.dims(p.bias), p.out.size());
        if (builder.isConstant(p.bias)) {
            auto values = floatsOf(builder.constant(p.bias), p.biasScale);
            if (dims[1] != p.out[1]) values = expandColumns(values, p.out[1]);
            if (dims[0] == 1) {
                bias = std::move(values);
                biasDesc = plainDesc({1, p.out[1]});
            } else {
                addend = std::move(values);
                ops.append_binary(dnnl::algorithm::binary_add, plainDesc(p.out));
            }
        } else {
            if (p.biasScale != 1.f) return "beta other than 1 on a C given at run time: not covered";
            biasValue = builder.view(builder.value(p.bias), dims);
            ops.append_binary(dnnl::algorithm::binary_add, builder.at(biasValue).desc);
        }
    }
    std::vector<const onnx::NodeProto *> fused;
    if (fuseActivations) fused = activationsAfter(builder, node, &ops);
    dnnl::primitive_attr attr = attributes();
    attr.set_post_ops(ops);
    auto desc = bias.empty() ? dnnl::matmul::desc(p.a.desc, p.b.desc, plainDesc(p.out))
                             : dnnl::matmul::desc(p.a.desc, p.b.desc, biasDesc, plainDesc(p.out));
    dnnl::matmul::primitive_desc pd(desc, attr, cpuEngine());
    std::vector<std::pair<int, dnnl::memory>> constants;
    if (p.b.isConstant)
        constants.emplace_back(DNNL_ARG_WEIGHTS, constantMemory(pd.weights_desc(), p.b.dims, p.b.constant));
    if (p.a.isConstant) constants.emplace_back(DNNL_ARG_SRC, constantMemory(pd.src_desc(), p.a.dims, p.a.constant));
    if (!bias.empty()) constants.emplace_back(DNNL_ARG_BIAS, constantMemory(biasDesc, biasDesc.dims(), bias));
    if (!addend.empty())
        constants.emplace_back(DNNL_ARG_ATTR_MULTIPLE_POST_OP(0) | DNNL_ARG_SRC_1,
                               constantMemory(plainDesc(p.out), p.out, addend));
    int output = builder.scratch(p.out, pd.dst_desc());
    std::vector<std::pair<int, int>> values = {{DNNL_ARG_DST, output}};
    // A transposed activation is read through strides over its plain bytes.
    auto bind = [&](int argument, const Operand &o) {
        if (o.isConstant) return;
        int id = o.value;
        if (builder.at(id).desc != o.desc) id = builder.view(id, o.dims), builder.program().values[id].desc = o.desc;
        values.emplace_back(argument, id);
    };
    bind(DNNL_ARG_SRC, p.a);
    bind(DNNL_ARG_WEIGHTS, p.b);
    if (biasValue >= 0) values.emplace_back(DNNL_ARG_ATTR_MULTIPLE_POST_OP(0) | DNNL_ARG_SRC_1, biasValue);
    std::string reason = builder.add(pd, dnnl::matmul(pd), std::move(values), std::move(constants));
    if (!reason.empty()) return reason;
    builder.defineView(fused.empty() ? node.output(0) : fused.back()->output(0), p.onnxOut, output);
    for (const onnx::NodeProto *activation : fused) builder.fuse(*activation);
    return "";
}

// With the activations after it fused, or, when oneDNN will not take them, alone.
std::string lowerProduct(Builder &builder, const onnx::NodeProto &node, Product &p) {
    std::string reason;
    try {
        reason = addProduct(builder, node, p, true);
    } catch (const dnnl::error &error) {
        reason = error.what();
    }
    return reason.empty() ? reason : addProduct(builder, node, p, false);
}

std::string lowerMatMul(Builder &builder, const onnx::NodeProto &node) {
    Dims a = builder.dims(node.input(0)), b = builder.dims(node.input(1));
    if (a.empty() || b.empty()) return "a scalar operand";
    Dims a2 = a.size() == 1 ? Dims{1, a[0]} : a, b2 = b.size() == 1 ? Dims{b[0], 1} : b;
    size_t rank = std::max(a2.size(), b2.size());
    a2 = leadingOnes(a2, rank);
    b2 = leadingOnes(b2, rank);
    if (a2[rank - 1] != b2[rank - 2]) return "inner dimensions that differ";
    bool ok = false;
    Dims batch = broadcastDims(Dims(a2.begin(), a2.end() - 2), Dims(b2.begin(), b2.end() - 2), &ok);
    if (!ok) return "batch dimensions that do not broadcast";
    Product p;
    p.out = batch;
    p.out.push_back(a2[rank - 2]);
    p.out.push_back(b2[rank - 1]);
    Dims onnxBatch = broadcastDims(a.size() > 2 ? Dims(a.begin(), a.end() - 2) : Dims{},
                                   b.size() > 2 ? Dims(b.begin(), b.end() - 2) : Dims{}, &ok);
    p.onnxOut = onnxBatch;
    if (a.size() > 1) p.onnxOut.push_back(a2[rank - 2]);
    if (b.size() > 1) p.onnxOut.push_back(b2[rank - 1]);
    p.a = operand(builder, node.input(0), a2, false, 1.f);
    p.b = operand(builder, node.input(1), b2, false, 1.f);
    return lowerProduct(builder, node, p);
}

}  // namespace

std::string gemmShape(const Builder &builder, const onnx::NodeProto &node, GemmShape *shape) {
    Dims a = builder.dims(node.input(0)), b = builder.dims(node.input(1));
    if (a.size() != 2 || b.size() != 2) return "operands other than matrices";
    bool transA = intAttribute(node, "transA", 0), transB = intAttribute(node, "transB", 0);
    int64_t k = transA ? a[0] : a[1], kb = transB ? b[1] : b[0];
    if (k != kb) return "inner dimensions that differ";
    *shape = {transA ? a[1] : a[0], k, transB ? b[0] : b[1], transA, transB};
    return "";
}

namespace {

std::string lowerGemm(Builder &builder, const onnx::NodeProto &node) {
    if (scalesGivenOperand(builder, node)) return lowerGemmScaled(builder, node);
    GemmShape shape;
    if (std::string reason = gemmShape(builder, node, &shape); !reason.empty()) return reason;
    const auto [m, k, n, transA, transB] = shape;
    float alpha = floatAttribute(node, "alpha", 1.f), beta = floatAttribute(node, "beta", 1.f);
    if (alpha != 1.f && !builder.isConstant(node.input(1))) return "alpha with B given at run time: not covered";
    Product p;
    p.out = p.onnxOut = {m, n};
    p.a = operand(builder, node.input(0), {m, k}, transA, 1.f);
    p.b = operand(builder, node.input(1), {k, n}, transB, alpha);
    p.bias = beta != 0.f ? inputName(node, 2) : std::string();
    p.biasScale = beta;
    if (!p.bias.empty()) {
        bool ok = false;
        if (broadcastDims(builder.dims(p.bias), p.out, &ok) != p.out || !ok) return "a C that does not broadcast";
    }
    return lowerProduct(builder, node, p);
}

}  // namespace

void registerMatmul(Registry &registry) {
    registry.add("MatMul", lowerMatMul);
    registry.add("Gemm", lowerGemm);
}

}  // namespace zecl::plan
