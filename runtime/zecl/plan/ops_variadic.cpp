// Sum, Mean, Max and Min of any number of inputs with NumPy broadcasting: a chain
// of binary primitives over the result's dims, Mean's division as the last step's
// post-op, and one input passed through as a view.
#include "zecl/plan/binary.hpp"

namespace zecl::plan {

std::string lowerVariadic(Builder &builder, const onnx::NodeProto &node) {
    int count = node.input_size();
    if (count == 0) return "no inputs";
    Dims out = builder.dims(node.input(0));
    for (int i = 1; i < count; ++i) {
        bool ok = false;
        out = broadcastDims(out, builder.dims(node.input(i)), &ok);
        if (!ok) return "inputs that do not broadcast";
    }
    if (count == 1) {
        builder.defineView(node.output(0), out, builder.value(node.input(0)));
        return "";
    }
    const std::string &op = node.op_type();
    auto kind = op == "Max"   ? dnnl::algorithm::binary_max
                : op == "Min" ? dnnl::algorithm::binary_min
                              : dnnl::algorithm::binary_add;
    Dims full = leadingOnes(out, std::max<size_t>(out.size(), 1));
    // The chain starts from an input that has the result's dims, else from a copy of the first.
    int start = 0;
    for (int i = 0; i < count; ++i)
        if (leadingOnes(builder.dims(node.input(i)), full.size()) == full) {
            start = i;
            break;
        }
    int result = broadcastTo(builder, builder.value(node.input(start)), full);
    int last = start == count - 1 ? count - 2 : count - 1;
    for (int i = 0; i < count; ++i) {
        if (i == start) continue;
        dnnl::post_ops ops;
        if (i == last && op == "Mean") appendEltwise(&ops, dnnl::algorithm::eltwise_linear, 1.f / count, 0.f);
        result = addBinary(builder, kind, result, builder.value(node.input(i)), ops);
    }
    if (full == out)
        builder.overwrite(node.output(0), result);
    else
        builder.defineView(node.output(0), out, result);
    return "";
}

void registerVariadic(Registry &registry) {
    registry.add("Sum", lowerVariadic);
    registry.add("Mean", lowerVariadic);
}

}  // namespace zecl::plan
