// Shape operations: views of plain data for activations (Reshape, Flatten,
// Squeeze, Unsqueeze, Identity, Dropout), and folding where every input is
// constant, as the shape arithmetic of exported graphs is (Shape, Gather, Concat,
// Cast and the same views).
#include <numeric>

#include "zecl/plan/lowering.hpp"

namespace zecl::plan {

bool axesOf(const Builder &builder, const onnx::NodeProto &node, Dims *axes) {
    *axes = intsAttribute(node, "axes");
    std::string input = inputName(node, 1);
    if (input.empty()) return true;
    if (!builder.isConstant(input)) return false;
    const Constant &c = builder.constant(input);
    axes->clear();
    for (size_t i = 0; i < c.count(); ++i) axes->push_back(c.intAt(i));
    return true;
}

namespace {

int64_t countOf(const Dims &dims) {
    return std::accumulate(dims.begin(), dims.end(), int64_t{1}, std::multiplies<int64_t>());
}

// The output named by the node with these dims: a view, or the constant with new dims.
std::string reshapeTo(Builder &builder, const onnx::NodeProto &node, const Dims &dims) {
    const std::string &source = node.input(0);
    if (countOf(dims) != countOf(builder.dims(source))) return "a shape of another element count";
    if (builder.isConstant(source)) {
        Constant constant = builder.constant(source);
        constant.dims = dims;
        builder.defineConstant(node.output(0), std::move(constant));
    } else {
        builder.defineView(node.output(0), dims, builder.value(source));
    }
    return "";
}

std::string lowerReshape(Builder &builder, const onnx::NodeProto &node) {
    std::string shapeName = inputName(node, 1);
    if (!builder.isConstant(shapeName)) return "a shape given at run time: not covered";
    const Constant &shape = builder.constant(shapeName);
    Dims input = builder.dims(node.input(0)), dims;
    bool allowZero = intAttribute(node, "allowzero", 0) != 0;
    int open = -1;
    for (size_t i = 0; i < shape.count(); ++i) {
        int64_t d = shape.intAt(i);
        if (d == 0 && !allowZero) {
            if (i >= input.size()) return "a 0 past the input's rank";
            d = input[i];
        }
        if (d == -1) {
            if (open >= 0) return "two dimensions left open";
            open = static_cast<int>(i);
            d = 1;
        } else if (d < 0) {
            return "a negative dimension";
        }
        dims.push_back(d);
    }
    if (open >= 0) {
        int64_t known = countOf(dims);
        if (known == 0 || countOf(input) % known) return "an open dimension that does not divide";
        dims[open] = countOf(input) / known;
    }
    return reshapeTo(builder, node, dims);
}

std::string lowerFlatten(Builder &builder, const onnx::NodeProto &node) {
    Dims input = builder.dims(node.input(0));
    int64_t axis = intAttribute(node, "axis", 1);
    if (axis < 0) axis += static_cast<int64_t>(input.size());
    if (axis < 0 || axis > static_cast<int64_t>(input.size())) return "axis out of range";
    int64_t outer = countOf(Dims(input.begin(), input.begin() + axis));
    return reshapeTo(builder, node, {outer, countOf(input) / std::max<int64_t>(outer, 1)});
}

std::string lowerSqueeze(Builder &builder, const onnx::NodeProto &node) {
    Dims input = builder.dims(node.input(0)), axes, dims;
    if (!axesOf(builder, node, &axes)) return "axes given at run time: not covered";
    std::vector<bool> drop(input.size(), axes.empty());
    for (int64_t axis : axes) {
        int64_t a = normalizeAxis(axis, input.size());
        if (a < 0 || input[a] != 1) return "an axis out of range or not of size 1";
        drop[a] = true;
    }
    for (size_t d = 0; d < input.size(); ++d)
        if (!drop[d] || input[d] != 1) dims.push_back(input[d]);
    return reshapeTo(builder, node, dims);
}

std::string lowerUnsqueeze(Builder &builder, const onnx::NodeProto &node) {
    Dims input = builder.dims(node.input(0)), axes;
    if (!axesOf(builder, node, &axes)) return "axes given at run time: not covered";
    size_t rank = input.size() + axes.size();
    std::vector<bool> inserted(rank, false);
    for (int64_t axis : axes) {
        int64_t a = normalizeAxis(axis, rank);
        if (a < 0 || inserted[a]) return "an axis out of range or given twice";
        inserted[a] = true;
    }
    Dims dims;
    size_t next = 0;
    for (size_t d = 0; d < rank; ++d) dims.push_back(inserted[d] ? 1 : input[next++]);
    return reshapeTo(builder, node, dims);
}

std::string lowerIdentity(Builder &builder, const onnx::NodeProto &node) {
    for (int i = 1; i < node.output_size(); ++i)
        if (!node.output(i).empty()) return "a mask output: not covered";
    return reshapeTo(builder, node, builder.dims(node.input(0)));
}

std::string lowerShape(Builder &builder, const onnx::NodeProto &node) {
    Dims input = builder.dims(node.input(0));
    int64_t rank = static_cast<int64_t>(input.size());
    int64_t start = intAttribute(node, "start", 0), end = intAttribute(node, "end", rank);
    auto clamp = [rank](int64_t i) { return std::clamp<int64_t>(i < 0 ? i + rank : i, 0, rank); };
    start = clamp(start);
    end = clamp(end);
    Constant shape;
    shape.integer = true;
    for (int64_t d = start; d < end; ++d) shape.ints.push_back(input[d]);
    shape.dims = {static_cast<int64_t>(shape.ints.size())};
    builder.defineConstant(node.output(0), std::move(shape));
    return "";
}

std::string lowerGather(Builder &builder, const onnx::NodeProto &node) {
    if (!builder.isConstant(node.input(0))) return gatherActivations(builder, node);
    if (!builder.allConstant(node)) return "indices given at run time: not covered";
    const Constant &data = builder.constant(node.input(0)), &indices = builder.constant(node.input(1));
    int64_t axis = normalizeAxis(intAttribute(node, "axis", 0), data.dims.size());
    if (axis < 0) return "axis out of range";
    int64_t outer = countOf(Dims(data.dims.begin(), data.dims.begin() + axis));
    int64_t inner = countOf(Dims(data.dims.begin() + axis + 1, data.dims.end()));
    int64_t extent = data.dims[axis];
    Constant out;
    out.integer = data.integer;
    out.dims.assign(data.dims.begin(), data.dims.begin() + axis);
    out.dims.insert(out.dims.end(), indices.dims.begin(), indices.dims.end());
    out.dims.insert(out.dims.end(), data.dims.begin() + axis + 1, data.dims.end());
    for (int64_t o = 0; o < outer; ++o)
        for (size_t i = 0; i < indices.count(); ++i) {
            int64_t index = indices.intAt(i);
            if (index < 0) index += extent;
            if (index < 0 || index >= extent) return "an index out of range";
            for (int64_t k = 0; k < inner; ++k) {
                size_t from = static_cast<size_t>((o * extent + index) * inner + k);
                if (out.integer)
                    out.ints.push_back(data.ints[from]);
                else
                    out.floats.push_back(data.floats[from]);
            }
        }
    builder.defineConstant(node.output(0), std::move(out));
    return "";
}

std::string lowerConcat(Builder &builder, const onnx::NodeProto &node) {
    if (!builder.allConstant(node)) return concatActivations(builder, node);
    const Constant &first = builder.constant(node.input(0));
    int64_t axis = normalizeAxis(intAttribute(node, "axis", 0), first.dims.size());
    if (axis < 0) return "axis out of range";
    Constant out;
    out.dims = first.dims;
    out.dims[axis] = 0;
    out.integer = true;
    for (const auto &name : node.input()) {
        const Constant &c = builder.constant(name);
        if (c.dims.size() != first.dims.size()) return "inputs of different ranks";
        out.dims[axis] += c.dims[axis];
        out.integer = out.integer && c.integer;
    }
    int64_t outer = countOf(Dims(first.dims.begin(), first.dims.begin() + axis));
    for (int64_t o = 0; o < outer; ++o)
        for (const auto &name : node.input()) {
            const Constant &c = builder.constant(name);
            int64_t block = countOf(Dims(c.dims.begin() + axis, c.dims.end()));
            for (int64_t k = 0; k < block; ++k) {
                size_t from = static_cast<size_t>(o * block + k);
                if (out.integer)
                    out.ints.push_back(c.ints[from]);
                else
                    out.floats.push_back(c.at(from));
            }
        }
    builder.defineConstant(node.output(0), std::move(out));
    return "";
}

std::string lowerCast(Builder &builder, const onnx::NodeProto &node) {
    int64_t to = intAttribute(node, "to", 0);
    bool toFloat = to == onnx::TensorProto::FLOAT || to == onnx::TensorProto::DOUBLE;
    bool toInt = to == onnx::TensorProto::INT64 || to == onnx::TensorProto::INT32;
    const std::string &source = node.input(0);
    if (!builder.isConstant(source)) {
        if (toFloat) return reshapeTo(builder, node, builder.dims(source));  // activations are float already
        return "a cast of run-time data to other than float: not covered";
    }
    if (!toFloat && !toInt) return "a cast to an element type the plan does not hold";
    const Constant &c = builder.constant(source);
    Constant out;
    out.dims = c.dims;
    out.integer = toInt;
    for (size_t i = 0; i < c.count(); ++i) {
        if (toInt)
            out.ints.push_back(c.intAt(i));
        else
            out.floats.push_back(c.at(i));
    }
    builder.defineConstant(node.output(0), std::move(out));
    return "";
}

}  // namespace

void registerShape(Registry &registry) {
    registry.add("Reshape", lowerReshape);
    registry.add("Flatten", lowerFlatten);
    registry.add("Squeeze", lowerSqueeze);
    registry.add("Unsqueeze", lowerUnsqueeze);
    registry.add("Identity", lowerIdentity);
    registry.add("Dropout", lowerIdentity);
    registry.add("Shape", lowerShape);
    registry.add("Gather", lowerGather);
    registry.add("Concat", lowerConcat);
    registry.add("Cast", lowerCast);
}

}  // namespace zecl::plan
