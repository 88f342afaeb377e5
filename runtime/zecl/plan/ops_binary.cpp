// Element-wise binary operations with NumPy broadcasting: one binary primitive
// whose first source has the result's dims (swapped, with a fix-up post-op, for
// Sub and Div when only the second one has), and folding when both are constant.
#include <algorithm>

#include "zecl/plan/binary.hpp"

namespace zecl::plan {
namespace {

template <typename T> T apply(const std::string &op, T a, T b) {
    if (op == "Add") return a + b;
    if (op == "Sub") return a - b;
    if (op == "Mul") return a * b;
    if (op == "Div") return b == T(0) && std::is_integral<T>::value ? T(0) : a / b;
    if (op == "Max") return std::max(a, b);
    return std::min(a, b);
}

// The flat index into a broadcast operand of dims `from` for the result index `index`.
size_t sourceIndex(size_t index, const Dims &out, const Dims &from) {
    size_t offset = 0, stride = 1;
    for (int d = static_cast<int>(out.size()) - 1; d >= 0; --d) {
        size_t coordinate = index % static_cast<size_t>(out[d]);
        index /= static_cast<size_t>(out[d]);
        if (from[d] != 1) offset += coordinate * stride;
        stride *= static_cast<size_t>(from[d]);
    }
    return offset;
}

std::string fold(Builder &builder, const onnx::NodeProto &node, const Dims &out) {
    const Constant &a = builder.constant(node.input(0)), &b = builder.constant(node.input(1));
    Dims da = leadingOnes(a.dims, out.size()), db = leadingOnes(b.dims, out.size());
    size_t count = 1;
    for (int64_t d : out) count *= static_cast<size_t>(d);
    Constant result;
    result.dims = out;
    result.integer = a.integer && b.integer;
    for (size_t i = 0; i < count; ++i) {
        size_t ia = sourceIndex(i, out, da), ib = sourceIndex(i, out, db);
        if (result.integer)
            result.ints.push_back(apply<int64_t>(node.op_type(), a.ints[ia], b.ints[ib]));
        else
            result.floats.push_back(apply<float>(node.op_type(), a.at(ia), b.at(ib)));
    }
    builder.defineConstant(node.output(0), std::move(result));
    return "";
}

dnnl::algorithm algorithmOf(const std::string &op) {
    if (op == "Add") return dnnl::algorithm::binary_add;
    if (op == "Sub") return dnnl::algorithm::binary_sub;
    if (op == "Mul") return dnnl::algorithm::binary_mul;
    if (op == "Div") return dnnl::algorithm::binary_div;
    if (op == "Max") return dnnl::algorithm::binary_max;
    return dnnl::algorithm::binary_min;
}

// A value seen with leading ones up to `rank` (plain when its rank changes).
int atRank(Builder &builder, int id, size_t rank) {
    const Dims &dims = builder.at(id).dims;
    if (dims.size() == rank && !dims.empty()) return id;
    return builder.view(id, leadingOnes(dims, std::max<size_t>(rank, 1)));
}

std::string lowerBinary(Builder &builder, const onnx::NodeProto &node) {
    if (node.input_size() != 2) return lowerVariadic(builder, node);
    if ((node.op_type() == "Div" || node.op_type() == "Mul") && lowerGelu(builder, node)) return "";
    bool ok = false;
    Dims out = broadcastDims(builder.dims(node.input(0)), builder.dims(node.input(1)), &ok);
    if (!ok) return "inputs that do not broadcast";
    if (builder.allConstant(node)) return fold(builder, node, out);
    const std::string &op = node.op_type();
    Dims full = leadingOnes(out, std::max<size_t>(out.size(), 1));
    int first = atRank(builder, builder.value(node.input(0)), full.size());
    int second = atRank(builder, builder.value(node.input(1)), full.size());
    dnnl::post_ops ops;
    if (builder.at(first).dims != full) {
        if (builder.at(second).dims == full) {
            std::swap(first, second);
            // b - a = -(a - b), and b / a = 1 / (a / b), for the swapped sources.
            if (op == "Sub") appendEltwise(&ops, dnnl::algorithm::eltwise_linear, -1.f, 0.f);
            if (op == "Div") appendEltwise(&ops, dnnl::algorithm::eltwise_pow, 1.f, -1.f);
        } else {
            first = broadcastTo(builder, first, full);
        }
    }
    int output = addBinary(builder, algorithmOf(op), first, second, ops);
    if (full == out)
        builder.overwrite(node.output(0), output);
    else
        builder.defineView(node.output(0), out, output);
    return "";
}

}  // namespace

Dims leadingOnes(const Dims &dims, size_t rank) {
    Dims padded(rank - dims.size(), 1);
    padded.insert(padded.end(), dims.begin(), dims.end());
    return padded;
}

int broadcastTo(Builder &builder, int id, const Dims &full) {
    int source = builder.plain(atRank(builder, id, full.size()));
    Dims dims = builder.at(source).dims;
    if (dims == full) return source;
    // Stride 0 along the repeated dimensions: one reorder writes the copy.
    Dims strides(full.size(), 0);
    for (int64_t d = static_cast<int64_t>(full.size()) - 1, stride = 1; d >= 0; --d) {
        if (dims[d] != 1) strides[d] = stride;
        stride *= dims[d];
    }
    int repeated = builder.view(source, dims);
    builder.program().values[repeated].dims = full;
    builder.program().values[repeated].desc = stridedDesc(full, strides);
    int copy = builder.scratch(full, plainDesc(full));
    dnnl::reorder::primitive_desc pd(cpuEngine(), builder.at(repeated).desc, cpuEngine(), plainDesc(full),
                                     attributes());
    builder.add(pd, dnnl::reorder(pd), {{DNNL_ARG_FROM, repeated}, {DNNL_ARG_TO, copy}}, {}, false);
    return copy;
}

int addBinary(Builder &builder, dnnl::algorithm kind, int first, int second, const dnnl::post_ops &ops) {
    const Dims full = builder.at(first).dims;
    second = atRank(builder, second, full.size());
    if (builder.at(second).dims == full)
        second = builder.inLayout(second, builder.at(first).desc);
    else
        second = builder.plain(second);
    dnnl::primitive_attr attr = attributes();
    attr.set_post_ops(ops);
    const Desc &dst = builder.at(first).desc;
    dnnl::binary::desc desc(kind, dst, builder.at(second).desc, dst);
    dnnl::binary::primitive_desc pd(desc, attr, cpuEngine());
    int output = builder.scratch(full, pd.dst_desc());
    builder.add(pd, dnnl::binary(pd), {{DNNL_ARG_SRC_0, first}, {DNNL_ARG_SRC_1, second}, {DNNL_ARG_DST, output}}, {},
                false);
    return output;
}

void registerBinary(Registry &registry) {
    for (const char *op : {"Add", "Sub", "Mul", "Div", "Max", "Min"}) registry.add(op, lowerBinary);
}

}  // namespace zecl::plan
