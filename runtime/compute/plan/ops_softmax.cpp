// Softmax and LogSoftmax: one softmax primitive along an axis. Before opset 13
// ONNX coerces the input to 2-D at the axis and normalises over all the trailing
// dimensions at once; from 13 it normalises along the one axis.
#include <numeric>

#include "compute/plan/lowering.hpp"

namespace zecl::plan {
namespace {

int64_t product(Dims::const_iterator begin, Dims::const_iterator end) {
    return std::accumulate(begin, end, int64_t{1}, std::multiplies<int64_t>());
}

std::string lowerSoftmax(Builder &builder, const onnx::NodeProto &node) {
    Dims input = builder.dims(node.input(0));
    bool perAxis = builder.opset() >= 13;
    if (input.empty()) return "a scalar input: not covered";
    int64_t axis = normalizeAxis(intAttribute(node, "axis", perAxis ? -1 : 1), input.size());
    if (axis < 0) return "axis out of range";
    int source = builder.value(node.input(0));
    Dims shape = input;
    if (!perAxis) {
        shape = {product(input.begin(), input.begin() + axis), product(input.begin() + axis, input.end())};
        source = builder.view(source, shape);
        axis = 1;
    }
    auto kind = node.op_type() == "LogSoftmax" ? dnnl::algorithm::softmax_log : dnnl::algorithm::softmax_accurate;
    const Desc &desc = builder.at(source).desc;
    dnnl::softmax_v2_forward::desc op(dnnl::prop_kind::forward_inference, kind, desc, desc, static_cast<int>(axis));
    dnnl::softmax_v2_forward::primitive_desc pd(op, attributes(), cpuEngine());
    int output = builder.scratch(shape, pd.dst_desc());
    builder.add(pd, dnnl::softmax_v2_forward(pd), {{DNNL_ARG_SRC, source}, {DNNL_ARG_DST, output}}, {}, false);
    if (perAxis) builder.overwrite(node.output(0), output);
    else builder.defineView(node.output(0), input, output);
    return "";
}

}  // namespace

void registerSoftmax(Registry &registry) {
    registry.add("Softmax", lowerSoftmax);
    registry.add("LogSoftmax", lowerSoftmax);
}

}  // namespace zecl::plan
