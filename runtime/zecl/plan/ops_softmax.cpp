// Softmax, LogSoftmax and Hardmax along an axis. Before opset 13 ONNX coerces the
// input to 2-D at the axis and works over all the trailing dimensions at once;
// from 13 along the one axis. Softmax is one softmax primitive; Hardmax marks the
// first maximum with a few primitives (see hardmax).
#include <numeric>

#include "zecl/plan/lowering.hpp"

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
    if (perAxis)
        builder.overwrite(node.output(0), output);
    else
        builder.defineView(node.output(0), input, output);
    return "";
}

// The view of the input as [outer, extent, inner] with the axis in the middle.
Dims aroundAxis(const Dims &input, int64_t axis, bool perAxis) {
    int64_t outer = product(input.begin(), input.begin() + axis);
    if (!perAxis) return {outer, product(input.begin() + axis, input.end()), 1};
    return {outer, input[axis], product(input.begin() + axis + 1, input.end())};
}

// 1 where x is its axis's maximum and no earlier element is: the maxima marked by
// x == max, counted along the axis by a lower-triangular matrix of ones (exact
// small integers), and kept where the count is 1.
std::string lowerHardmax(Builder &builder, const onnx::NodeProto &node) {
    using A = dnnl::algorithm;
    Dims input = builder.dims(node.input(0));
    bool perAxis = builder.opset() >= 13;
    if (input.empty()) return "a scalar input: not covered";
    int64_t axis = normalizeAxis(intAttribute(node, "axis", perAxis ? -1 : 1), input.size());
    if (axis < 0) return "axis out of range";
    Dims shape = aroundAxis(input, axis, perAxis);
    int64_t extent = shape[1];
    if (extent > 4096) return "an axis too long for the counting matrix: not covered";
    int x = builder.view(builder.value(node.input(0)), shape);
    // oneDNN refuses a reduction that reduces nothing: an axis of one is its own maximum.
    int maximum = extent == 1 ? x : addReduction(builder, x, A::reduction_max, {shape[0], 1, shape[2]}, 0.f);
    int marked = addBinary(builder, A::binary_eq, x, maximum);
    Constant triangle;
    triangle.dims = {1, extent, extent};
    for (int64_t i = 0; i < extent; ++i)
        for (int64_t j = 0; j < extent; ++j) triangle.floats.push_back(j <= i ? 1.f : 0.f);
    Constant one;
    one.dims = {1, 1, 1};
    one.floats = {1.f};
    const std::string prefix = node.output(0) + "#hardmax-";
    builder.defineConstant(prefix + "triangle", std::move(triangle));
    builder.defineConstant(prefix + "one", std::move(one));
    int lower = builder.value(prefix + "triangle");
    dnnl::matmul::desc desc(builder.at(lower).desc, builder.at(marked).desc, plainDesc(shape));
    dnnl::matmul::primitive_desc pd(desc, attributes(), cpuEngine());
    int counted = builder.scratch(shape, pd.dst_desc());
    builder.add(pd, dnnl::matmul(pd), {{DNNL_ARG_SRC, lower}, {DNNL_ARG_WEIGHTS, marked}, {DNNL_ARG_DST, counted}}, {},
                false);
    int first = addBinary(builder, A::binary_eq, counted, builder.value(prefix + "one"));
    builder.defineView(node.output(0), input, addBinary(builder, A::binary_mul, marked, first));
    return "";
}

}  // namespace

void registerSoftmax(Registry &registry) {
    registry.add("Softmax", lowerSoftmax);
    registry.add("LogSoftmax", lowerSoftmax);
    registry.add("Hardmax", lowerHardmax);
}

}  // namespace zecl::plan
