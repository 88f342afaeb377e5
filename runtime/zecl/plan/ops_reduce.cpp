// Reductions over a set of axes (ReduceMean, Sum, Max, Min, Prod, L1, L2,
// SumSquare, LogSum, LogSumExp): one reduction primitive on plain data, with the
// element-wise steps that ONNX's function adds before or after it.
#include "zecl/plan/lowering.hpp"

namespace zecl::plan {

int addReduction(Builder &builder, int source, dnnl::algorithm kind, const Dims &reduced, float p) {
    source = builder.plain(source);
    dnnl::reduction::desc desc(kind, builder.at(source).desc, plainDesc(reduced), p, 0.f);
    dnnl::reduction::primitive_desc pd(desc, attributes(), cpuEngine());
    int output = builder.scratch(reduced, pd.dst_desc());
    builder.add(pd, dnnl::reduction(pd), {{DNNL_ARG_SRC, source}, {DNNL_ARG_DST, output}}, {}, false);
    return output;
}

int addEltwise(Builder &builder, int source, dnnl::algorithm kind, float alpha, float beta) {
    const Value &input = builder.at(source);
    dnnl::eltwise_forward::desc desc(dnnl::prop_kind::forward_inference, kind, input.desc, alpha, beta);
    dnnl::eltwise_forward::primitive_desc pd(desc, attributes(), cpuEngine());
    int output = builder.scratch(builder.at(source).dims, pd.dst_desc());
    builder.add(pd, dnnl::eltwise_forward(pd), {{DNNL_ARG_SRC, source}, {DNNL_ARG_DST, output}}, {}, false);
    return output;
}

int addBinary(Builder &builder, dnnl::algorithm kind, int first, int second) {
    first = builder.plain(first);
    second = builder.plain(second);
    const Desc &dst = builder.at(first).desc;
    dnnl::binary::desc desc(kind, dst, builder.at(second).desc, dst);
    dnnl::binary::primitive_desc pd(desc, attributes(), cpuEngine());
    int output = builder.scratch(builder.at(first).dims, pd.dst_desc());
    builder.add(pd, dnnl::binary(pd), {{DNNL_ARG_SRC_0, first}, {DNNL_ARG_SRC_1, second}, {DNNL_ARG_DST, output}}, {},
                false);
    return output;
}

namespace {

// log(sum(exp(x))) as m + log(sum(exp(x - m))) with m the maximum, so that large
// inputs do not overflow exp.
int logSumExp(Builder &builder, int source, const Dims &reduced) {
    using A = dnnl::algorithm;
    int maximum = addReduction(builder, source, A::reduction_max, reduced, 0.f);
    int shifted = addBinary(builder, A::binary_sub, source, maximum);
    int exponent = addEltwise(builder, shifted, A::eltwise_exp, 0.f, 0.f);
    int sum = addReduction(builder, exponent, A::reduction_sum, reduced, 0.f);
    int logarithm = addEltwise(builder, sum, A::eltwise_log, 0.f, 0.f);
    return addBinary(builder, A::binary_add, logarithm, maximum);
}

int reduceBy(Builder &builder, const std::string &op, int source, const Dims &reduced) {
    using A = dnnl::algorithm;
    if (op == "ReduceMean") return addReduction(builder, source, A::reduction_mean, reduced, 0.f);
    if (op == "ReduceSum") return addReduction(builder, source, A::reduction_sum, reduced, 0.f);
    if (op == "ReduceMax") return addReduction(builder, source, A::reduction_max, reduced, 0.f);
    if (op == "ReduceMin") return addReduction(builder, source, A::reduction_min, reduced, 0.f);
    if (op == "ReduceProd") return addReduction(builder, source, A::reduction_mul, reduced, 0.f);
    if (op == "ReduceL1") return addReduction(builder, source, A::reduction_norm_lp_sum, reduced, 1.f);
    if (op == "ReduceL2") return addReduction(builder, source, A::reduction_norm_lp_sum, reduced, 2.f);
    if (op == "ReduceSumSquare") return addReduction(builder, source, A::reduction_norm_lp_power_p_sum, reduced, 2.f);
    if (op == "ReduceLogSum") {
        int sum = addReduction(builder, source, A::reduction_sum, reduced, 0.f);
        return addEltwise(builder, sum, A::eltwise_log, 0.f, 0.f);
    }
    return logSumExp(builder, source, reduced);
}

std::string lowerReduce(Builder &builder, const onnx::NodeProto &node) {
    Dims input = builder.dims(node.input(0)), axes;
    if (!axesOf(builder, node, &axes)) return "axes given at run time: not covered";
    if (axes.empty() && intAttribute(node, "noop_with_empty_axes", 0) != 0)
        return "an empty set of axes left as is: not covered";
    if (input.empty()) return "a scalar input: not covered";
    std::vector<bool> reducedAxis(input.size(), axes.empty());
    for (int64_t axis : axes) {
        int64_t a = normalizeAxis(axis, input.size());
        if (a < 0) return "an axis out of range";
        reducedAxis[a] = true;
    }
    Dims reduced = input, kept;
    for (size_t d = 0; d < input.size(); ++d) {
        if (reducedAxis[d])
            reduced[d] = 1;
        else
            kept.push_back(input[d]);
    }
    // oneDNN refuses a reduction whose source and destination dims are the same.
    if (reduced == input) return "only axes of size 1 reduced: not covered";
    int result = reduceBy(builder, node.op_type(), builder.value(node.input(0)), reduced);
    if (intAttribute(node, "keepdims", 1) != 0)
        builder.overwrite(node.output(0), result);
    else
        builder.defineView(node.output(0), kept, result);
    return "";
}

}  // namespace

void registerReduce(Registry &registry) {
    for (const char *op : {"ReduceMean", "ReduceSum", "ReduceMax", "ReduceMin", "ReduceProd", "ReduceL1", "ReduceL2",
                           "ReduceSumSquare", "ReduceLogSum", "ReduceLogSumExp"})
        registry.add(op, lowerReduce);
}

}  // namespace zecl::plan
