// Gemm whose alpha or beta scales an operand given at run time: the product on
// oneDNN's matmul with alpha as an eltwise post-op and C added by a binary
// post-op, scaled by beta in a step of its own before.
#include "zecl/plan/binary.hpp"

namespace zecl::plan {
namespace {

// An operand as the matmul reads it, `dims` its rows and columns: a transposed one
// through strides over its plain bytes.
int matrix(Builder &builder, const std::string &name, const Dims &dims, bool transposed) {
    int id = builder.plain(builder.value(name));
    if (!transposed) return id;
    int view = builder.view(id, dims);
    builder.program().values[view].desc = transposedDesc(dims);
    return view;
}

int scaled(Builder &builder, int id, float factor) {
    id = builder.plain(id);
    dnnl::eltwise_forward::desc op(dnnl::prop_kind::forward_inference, dnnl::algorithm::eltwise_linear,
                                   builder.at(id).desc, factor, 0.f);
    dnnl::eltwise_forward::primitive_desc pd(op, attributes(), cpuEngine());
    int output = builder.scratch(builder.at(id).dims, pd.dst_desc());
    builder.add(pd, dnnl::eltwise_forward(pd), {{DNNL_ARG_SRC, id}, {DNNL_ARG_DST, output}}, {}, false);
    return output;
}

}  // namespace

bool scalesGivenOperand(const Builder &builder, const onnx::NodeProto &node) {
    float alpha = floatAttribute(node, "alpha", 1.f), beta = floatAttribute(node, "beta", 1.f);
    std::string c = inputName(node, 2);
    return (alpha != 1.f && !builder.isConstant(node.input(1))) ||
           (beta != 1.f && beta != 0.f && !c.empty() && !builder.isConstant(c));
}

std::string lowerGemmScaled(Builder &builder, const onnx::NodeProto &node) {
    GemmShape shape;
    if (std::string reason = gemmShape(builder, node, &shape); !reason.empty()) return reason;
    const auto [m, k, n, transA, transB] = shape;
    float alpha = floatAttribute(node, "alpha", 1.f), beta = floatAttribute(node, "beta", 1.f);
    int left = matrix(builder, node.input(0), {m, k}, transA);
    int right = matrix(builder, node.input(1), {k, n}, transB);
    dnnl::post_ops ops;
    if (alpha != 1.f) appendEltwise(&ops, dnnl::algorithm::eltwise_linear, alpha, 0.f);
    std::string c = beta != 0.f ? inputName(node, 2) : std::string();
    int addend = -1;
    if (!c.empty()) {
        Dims cDims = builder.dims(c);
        if (cDims.size() > 2) return "a C that does not broadcast";
        cDims = leadingOnes(cDims, 2);
        if ((cDims[0] != 1 && cDims[0] != m) || (cDims[1] != 1 && cDims[1] != n)) return "a C that does not broadcast";
        addend = builder.view(builder.value(c), cDims);
        if (beta != 1.f) addend = scaled(builder, addend, beta);
        ops.append_binary(dnnl::algorithm::binary_add, builder.at(addend).desc);
    }
    dnnl::primitive_attr attr = attributes();
    attr.set_post_ops(ops);
    dnnl::matmul::desc desc(builder.at(left).desc, builder.at(right).desc, plainDesc({m, n}));
    dnnl::matmul::primitive_desc pd(desc, attr, cpuEngine());
    int output = builder.scratch({m, n}, pd.dst_desc());
    std::vector<std::pair<int, int>> values = {{DNNL_ARG_SRC, left}, {DNNL_ARG_WEIGHTS, right}, {DNNL_ARG_DST, output}};
    if (addend >= 0) values.emplace_back(DNNL_ARG_ATTR_MULTIPLE_POST_OP(ops.len() - 1) | DNNL_ARG_SRC_1, addend);
    builder.add(pd, dnnl::matmul(pd), std::move(values), {}, false);
    builder.overwrite(node.output(0), output);
    return "";
}

}  // namespace zecl::plan
