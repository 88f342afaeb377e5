// Pooling: max and average windows (dilated, padded, ceil_mode) and the global
// pools, on the input's own layout.
#include "zecl/plan/lowering.hpp"
#include "zecl/plan/window.hpp"

namespace zecl::plan {
namespace {

std::string addPooling(Builder &builder, const onnx::NodeProto &node, dnnl::algorithm kind, const Window &w) {
    int source = builder.value(node.input(0));
    const Dims &input = builder.at(source).dims;
    Dims output = {input[0], input[1]};
    output.insert(output.end(), w.output.begin(), w.output.end());
    dnnl::pooling_v2_forward::desc desc(dnnl::prop_kind::forward_inference, kind, builder.at(source).desc,
                                        anyDesc(output), {w.strides.begin(), w.strides.end()},
                                        {w.kernel.begin(), w.kernel.end()}, libraryDilations(w),
                                        {w.padBegin.begin(), w.padBegin.end()}, {w.padEnd.begin(), w.padEnd.end()});
    dnnl::pooling_v2_forward::primitive_desc pd(desc, attributes(), cpuEngine());
    int result = builder.define(node.output(0), output, pd.dst_desc());
    return builder.add(pd, dnnl::pooling_v2_forward(pd), {{DNNL_ARG_SRC, source}, {DNNL_ARG_DST, result}}, {}, false);
}

std::string lowerPool(Builder &builder, const onnx::NodeProto &node) {
    bool max = node.op_type() == "MaxPool";
    if (node.output_size() > 1 && !node.output(1).empty()) return "the indices output: not covered";
    if (max && intAttribute(node, "storage_order", 0) != 0) return "storage_order 1: not covered";
    Dims input = builder.dims(node.input(0));
    Window w;
    bool ceil = intAttribute(node, "ceil_mode", 0) != 0;
    std::string reason = readWindow(node, input, intsAttribute(node, "kernel_shape"), ceil, &w);
    if (!reason.empty()) return reason;
    if (!max && attribute(node, "dilations") && w.dilations != Dims(w.kernel.size(), 1))
        return "an average pool with dilations: not covered";
    bool includePad = !max && intAttribute(node, "count_include_pad", 0) != 0;
    // oneDNN's output size is the floor's: the windows ceil_mode adds need padding at the end.
    for (size_t d = 0; d < w.kernel.size(); ++d) {
        int64_t extent = (w.kernel[d] - 1) * w.dilations[d] + 1;
        int64_t needed = (w.output[d] - 1) * w.strides[d] + extent - input[d + 2] - w.padBegin[d];
        if (needed > w.padEnd[d]) {
            if (includePad) return "count_include_pad with ceil_mode past the pads: not covered";
            w.padEnd[d] = needed;
        }
    }
    auto kind = max          ? dnnl::algorithm::pooling_max
                : includePad ? dnnl::algorithm::pooling_avg_include_padding
                             : dnnl::algorithm::pooling_avg_exclude_padding;
    return addPooling(builder, node, kind, w);
}

std::string lowerGlobalPool(Builder &builder, const onnx::NodeProto &node) {
    Dims input = builder.dims(node.input(0));
    if (input.size() < 3) return "an input without spatial dimensions";
    Window w;
    w.kernel.assign(input.begin() + 2, input.end());
    w.strides = w.dilations = w.output = Dims(w.kernel.size(), 1);
    w.padBegin = w.padEnd = Dims(w.kernel.size(), 0);
    auto kind = node.op_type() == "GlobalMaxPool" ? dnnl::algorithm::pooling_max
                                                  : dnnl::algorithm::pooling_avg_exclude_padding;
    return addPooling(builder, node, kind, w);
}

}  // namespace

void registerPool(Registry &registry) {
    registry.add("MaxPool", lowerPool);
    registry.add("AveragePool", lowerPool);
    registry.add("GlobalAveragePool", lowerGlobalPool);
    registry.add("GlobalMaxPool", lowerGlobalPool);
}

}  // namespace zecl::plan
