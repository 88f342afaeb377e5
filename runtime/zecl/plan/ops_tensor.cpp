// Copies of activations: Concat and Gather (one concat primitive over windows of
// the input), Transpose, Slice and Split (reorders from strided windows), Tile and
// Expand (a broadcast binary product with ones), and Range folded to a constant.
#include <cmath>
#include <numeric>

#include "zecl/plan/lowering.hpp"

namespace zecl::plan {
namespace {

int64_t countOf(const Dims &dims) {
    return std::accumulate(dims.begin(), dims.end(), int64_t{1}, std::multiplies<int64_t>());
}

Dims plainStrides(const Dims &dims) {
    Dims strides(dims.size(), 1);
    for (int d = static_cast<int>(dims.size()) - 2; d >= 0; --d) strides[d] = strides[d + 1] * dims[d + 1];
    return strides;
}

// The elements of a plain value from `starts`, `steps` apart along each axis, as a view of `dims`.
int window(Builder &builder, int id, const Dims &dims, const Dims &starts, const Dims &steps) {
    int source = builder.plain(id);
    Dims strides = plainStrides(builder.at(source).dims), windowStrides(dims.size());
    int64_t offset = 0;
    for (size_t d = 0; d < dims.size(); ++d) {
        windowStrides[d] = strides[d] * steps[d];
        offset += starts[d] * strides[d];
    }
    if (dims.empty()) return source;
    Desc desc(libraryDims(dims), dnnl::memory::data_type::f32,
              dnnl::memory::dims(windowStrides.begin(), windowStrides.end()));
    desc.data.offset0 = offset;
    return builder.view(source, dims, desc);
}

// A plain copy of a value seen through any descriptor, named `name` with `dims` of its count.
std::string copyTo(Builder &builder, int source, const std::string &name, const Dims &dims) {
    Dims from = builder.at(source).dims;
    int target = builder.scratch(from, plainDesc(from));
    dnnl::reorder::primitive_desc pd(cpuEngine(), builder.at(source).desc, cpuEngine(), plainDesc(from), attributes());
    std::string reason = builder.add(pd, dnnl::reorder(pd), {{DNNL_ARG_FROM, source}, {DNNL_ARG_TO, target}}, {},
                                     false);
    if (reason.empty()) builder.defineView(name, dims, target);
    return reason;
}

std::string copyTo(Builder &builder, int source, const std::string &name) {
    Dims dims = builder.at(source).dims;  // a copy: defining values moves the values' storage
    return copyTo(builder, source, name, dims);
}

// One concat primitive along `axis` of the given values, the result of dims `dims` named
// `name`: in the layout oneDNN picks when it keeps the joined dims, else plain for a view.
std::string concatenate(Builder &builder, const std::vector<int> &sources, int64_t axis, const Dims &dims,
                        const std::string &name) {
    if (sources.size() == 1) return copyTo(builder, sources[0], name, dims);
    std::vector<Desc> descs;
    std::vector<std::pair<int, int>> arguments;
    for (size_t i = 0; i < sources.size(); ++i) {
        descs.push_back(builder.at(sources[i]).desc);
        arguments.push_back({DNNL_ARG_MULTIPLE_SRC + static_cast<int>(i), sources[i]});
    }
    Dims joined = builder.at(sources[0]).dims;
    joined[axis] = 0;
    for (int id : sources) joined[axis] += builder.at(id).dims[axis];
    bool kept = joined == dims;
    dnnl::concat::primitive_desc pd(kept ? anyDesc(joined) : plainDesc(joined), static_cast<int>(axis), descs,
                                    cpuEngine(), attributes());
    int result = kept ? builder.define(name, dims, pd.dst_desc()) : builder.scratch(joined, plainDesc(joined));
    arguments.push_back({DNNL_ARG_DST, result});
    std::string reason = builder.add(pd, dnnl::concat(pd), arguments, {}, false);
    if (reason.empty() && !kept) builder.defineView(name, dims, result);
    return reason;
}

// Integer values a node needs while compiling: a constant or a graph input's value.
bool knownInts(Builder &builder, const std::string &name, Dims *values) {
    const Constant *c = builder.known(name);
    if (!c) return false;
    values->clear();
    for (size_t i = 0; i < c->count(); ++i) {
        if (c->integer) {
            values->push_back(c->ints[i]);
            continue;
        }
        // Integer inputs reach the plan as floats; past 2^62 they only say "to the end".
        double value = c->floats[i];
        if (!std::isfinite(value) || value != std::floor(value)) return false;
        values->push_back(static_cast<int64_t>(std::clamp(value, -0x1p62, 0x1p62)));
    }
    return true;
}

std::string lowerTranspose(Builder &builder, const onnx::NodeProto &node) {
    Dims input = builder.dims(node.input(0)), perm = intsAttribute(node, "perm");
    if (perm.empty())
        for (size_t d = input.size(); d-- > 0;) perm.push_back(static_cast<int64_t>(d));
    if (perm.size() != input.size()) return "a permutation of another rank";
    std::vector<bool> seen(input.size(), false);
    Dims dims, strides, inputStrides = plainStrides(input);
    for (int64_t axis : perm) {
        if (axis < 0 || axis >= static_cast<int64_t>(input.size()) || seen[axis]) return "not a permutation";
        seen[axis] = true;
        dims.push_back(input[axis]);
        strides.push_back(inputStrides[axis]);
    }
    if (input.empty()) return copyTo(builder, builder.value(node.input(0)), node.output(0));
    Desc desc(libraryDims(dims), dnnl::memory::data_type::f32, dnnl::memory::dims(strides.begin(), strides.end()));
    return copyTo(builder, builder.view(builder.value(node.input(0)), dims, desc), node.output(0));
}

// Slice's starts, ends, axes and steps, from the inputs (opset 10 on) or the attributes.
std::string sliceBounds(Builder &builder, const onnx::NodeProto &node, Dims *starts, Dims *ends, Dims *axes,
                        Dims *steps) {
    if (builder.opset() < 10) {
        *starts = intsAttribute(node, "starts");
        *ends = intsAttribute(node, "ends");
        *axes = intsAttribute(node, "axes");
    } else {
        // Check what needs no value first: inputs whose values come with the run compile then.
        for (int i = 1; i <= 4; ++i) {
            std::string name = inputName(node, i);
            Dims *target = i == 1 ? starts : i == 2 ? ends : i == 3 ? axes : steps;
            if (!name.empty() && !knownInts(builder, name, target)) return "bounds given at run time";
        }
    }
    if (axes->empty())
        for (size_t i = 0; i < starts->size(); ++i) axes->push_back(static_cast<int64_t>(i));
    if (steps->empty()) steps->assign(starts->size(), 1);
    if (ends->size() != starts->size() || axes->size() != starts->size() || steps->size() != starts->size())
        return "bounds of different lengths";
    return "";
}

// A slice of a constant (a shape's prefix or suffix, possibly empty), taken while compiling.
std::string foldSlice(Builder &builder, const onnx::NodeProto &node, const Dims &dims, const Dims &from,
                      const Dims &step) {
    const Constant &source = builder.constant(node.input(0));
    Constant result;
    result.dims = dims;
    result.integer = source.integer;
    size_t count = 1;
    for (int64_t d : dims) count *= static_cast<size_t>(d);
    for (size_t i = 0; i < count; ++i) {
        // The source's flat index of the result's element i, row-major.
        size_t rest = i, index = 0, stride = 1;
        for (int d = static_cast<int>(dims.size()) - 1; d >= 0; --d) {
            size_t coordinate = rest % static_cast<size_t>(dims[d]);
            rest /= static_cast<size_t>(dims[d]);
            index += (static_cast<size_t>(from[d]) + coordinate * static_cast<size_t>(step[d])) * stride;
            stride *= static_cast<size_t>(source.dims[d]);
        }
        if (result.integer)
            result.ints.push_back(source.ints[index]);
        else
            result.floats.push_back(source.floats[index]);
    }
    builder.defineConstant(node.output(0), std::move(result));
    return "";
}

std::string lowerSlice(Builder &builder, const onnx::NodeProto &node) {
    Dims input = builder.dims(node.input(0)), starts, ends, axes, steps;
    std::string reason = sliceBounds(builder, node, &starts, &ends, &axes, &steps);
    if (!reason.empty()) return reason;
    Dims from(input.size(), 0), step(input.size(), 1), dims = input;
    std::vector<bool> seen(input.size(), false);
    for (size_t i = 0; i < starts.size(); ++i) {
        int64_t axis = normalizeAxis(axes[i], input.size());
        if (axis < 0 || seen[axis]) return "an axis out of range or given twice";
        seen[axis] = true;
        if (steps[i] <= 0) return "a step that is not positive: not covered";
        int64_t extent = input[axis];
        auto clamp = [extent](int64_t i) { return std::clamp<int64_t>(i < 0 ? i + extent : i, 0, extent); };
        int64_t begin = clamp(starts[i]), end = clamp(ends[i]);
        if (end <= begin && !builder.isConstant(node.input(0))) return "an empty slice";
        from[axis] = begin;
        step[axis] = steps[i];
        dims[axis] = end <= begin ? 0 : (end - begin + steps[i] - 1) / steps[i];
    }
    if (builder.isConstant(node.input(0))) return foldSlice(builder, node, dims, from, step);
    return copyTo(builder, window(builder, builder.value(node.input(0)), dims, from, step), node.output(0));
}

// Split's part sizes: the input or attribute `split`, else equal parts (the last one smaller).
std::string splitSizes(Builder &builder, const onnx::NodeProto &node, int64_t extent, Dims *sizes) {
    std::string name = inputName(node, 1);
    if (!name.empty()) {
        if (!knownInts(builder, name, sizes)) return "sizes given at run time";
    } else {
        *sizes = intsAttribute(node, "split");
    }
    if (sizes->empty()) {
        int64_t parts = node.output_size(), part = (extent + parts - 1) / parts;
        for (int64_t i = 0; i < parts; ++i) sizes->push_back(std::min(part, extent - i * part));
    }
    if (static_cast<int>(sizes->size()) != node.output_size()) return "a size for each output";
    int64_t total = 0;
    for (int64_t size : *sizes) {
        if (size <= 0) return "an empty part";
        total += size;
    }
    return total == extent ? "" : "sizes that do not add up to the axis";
}

std::string lowerSplit(Builder &builder, const onnx::NodeProto &node) {
    Dims input = builder.dims(node.input(0));
    int64_t axis = normalizeAxis(intAttribute(node, "axis", 0), input.size());
    if (axis < 0) return "axis out of range";
    Dims sizes;
    std::string reason = splitSizes(builder, node, input[axis], &sizes);
    if (!reason.empty()) return reason;
    int source = builder.value(node.input(0));
    Dims from(input.size(), 0), steps(input.size(), 1);
    for (size_t i = 0; i < sizes.size(); ++i) {
        Dims dims = input;
        dims[axis] = sizes[i];
        if (!node.output(static_cast<int>(i)).empty()) {
            reason = copyTo(builder, window(builder, source, dims, from, steps), node.output(static_cast<int>(i)));
            if (!reason.empty()) return reason;
        }
        from[axis] += sizes[i];
    }
    return "";
}

// The output `dims` as x (broadcast from `xDims`) times ones: one binary primitive.
std::string broadcastCopy(Builder &builder, const onnx::NodeProto &node, const Dims &dims, const Dims &xDims,
                          const Dims &outputDims) {
    if (dims.size() > DNNL_MAX_NDIMS) return "more dimensions than oneDNN holds";
    int x = builder.view(builder.value(node.input(0)), xDims);
    Desc full = plainDesc(dims);
    dnnl::binary::desc desc(dnnl::algorithm::binary_mul, full, builder.at(x).desc, full);
    dnnl::binary::primitive_desc pd(desc, attributes(), cpuEngine());
    int result = builder.scratch(dims, full);
    auto ones = constantMemory(full, dims, std::vector<float>(static_cast<size_t>(countOf(dims)), 1.f));
    std::string reason = builder.add(pd, dnnl::binary(pd), {{DNNL_ARG_SRC_1, x}, {DNNL_ARG_DST, result}},
                                     {{DNNL_ARG_SRC_0, ones}}, false);
    if (reason.empty()) builder.defineView(node.output(0), outputDims, result);
    return reason;
}

std::string lowerTile(Builder &builder, const onnx::NodeProto &node) {
    Dims input = builder.dims(node.input(0)), repeats;
    if (!knownInts(builder, inputName(node, 1), &repeats)) return "repeats given at run time";
    if (repeats.size() != input.size()) return "repeats of another rank than the input";
    // Each repeated axis d becomes [repeats, d]: x broadcast along the repeats.
    Dims dims, xDims, output;
    for (size_t d = 0; d < input.size(); ++d) {
        if (repeats[d] <= 0) return "a repeat that empties the output";
        if (repeats[d] > 1) {
            dims.push_back(repeats[d]);
            xDims.push_back(1);
        }
        dims.push_back(input[d]);
        xDims.push_back(input[d]);
        output.push_back(input[d] * repeats[d]);
    }
    if (input.empty()) return copyTo(builder, builder.value(node.input(0)), node.output(0));
    return broadcastCopy(builder, node, dims, xDims, output);
}

std::string lowerExpand(Builder &builder, const onnx::NodeProto &node) {
    Dims input = builder.dims(node.input(0)), shape;
    if (!knownInts(builder, inputName(node, 1), &shape)) return "a shape given at run time";
    bool ok = false;
    Dims output = broadcastDims(input, shape, &ok);
    if (!ok) return "a shape the input does not broadcast to";
    for (int64_t d : output)
        if (d <= 0) return "an empty or negative dimension";
    Dims full = output.empty() ? Dims{1} : output, xDims(full.size() - input.size(), 1);
    xDims.insert(xDims.end(), input.begin(), input.end());
    return broadcastCopy(builder, node, full, xDims, output);
}

std::string lowerRange(Builder &builder, const onnx::NodeProto &node) {
    const Constant *start = builder.known(inputName(node, 0)), *limit = builder.known(inputName(node, 1)),
                   *delta = builder.known(inputName(node, 2));
    if (!start || !limit || !delta) return "bounds given at run time";
    if (start->count() != 1 || limit->count() != 1 || delta->count() != 1) return "bounds that are not scalars";
    Constant out;
    out.integer = start->integer && limit->integer && delta->integer;
    double count = 0;
    if (!out.integer)
        count = std::ceil((static_cast<double>(limit->at(0)) - start->at(0)) / delta->at(0));
    else if (delta->ints[0] != 0) {
        // ceil(span / delta) in a width no int64 bounds overflow.
        __int128 span = static_cast<__int128>(limit->ints[0]) - start->ints[0], step = delta->ints[0];
        count = static_cast<double>((span + step - (step > 0 ? 1 : -1)) / step);
    }
    if (!(count >= 1) || count > (1 << 24)) return "an empty or huge range";
    for (int64_t i = 0; i < static_cast<int64_t>(count); ++i) {
        if (out.integer)
            out.ints.push_back(start->ints[0] + i * delta->ints[0]);
        else
            out.floats.push_back(start->at(0) + static_cast<float>(i) * delta->at(0));
    }
    out.dims = {static_cast<int64_t>(count)};
    builder.defineConstant(node.output(0), std::move(out));
    return "";
}

}  // namespace

std::string concatActivations(Builder &builder, const onnx::NodeProto &node) {
    Dims first = builder.dims(node.input(0));
    int64_t axis = normalizeAxis(intAttribute(node, "axis", 0), first.size());
    if (axis < 0) return "axis out of range";
    std::vector<int> sources;
    Dims dims = first;
    dims[axis] = 0;
    for (const auto &name : node.input()) {
        Dims part = builder.dims(name);
        if (part.size() != first.size()) return "inputs of different ranks";
        for (size_t d = 0; d < part.size(); ++d)
            if (static_cast<int64_t>(d) != axis && part[d] != first[d]) return "inputs that differ off the axis";
        dims[axis] += part[axis];
        sources.push_back(builder.value(name));
    }
    return concatenate(builder, sources, axis, dims, node.output(0));
}

std::string gatherActivations(Builder &builder, const onnx::NodeProto &node) {
    Dims input = builder.dims(node.input(0)), indices;
    int64_t axis = normalizeAxis(intAttribute(node, "axis", 0), input.size());
    if (axis < 0) return "axis out of range";
    if (!knownInts(builder, inputName(node, 1), &indices)) return "indices given at run time";
    Dims indexDims = builder.dims(inputName(node, 1));
    if (indices.empty()) return "no indices";
    int source = builder.value(node.input(0));
    // Each index a window one element thick along the axis, the windows concatenated.
    std::vector<int> windows;
    Dims dims = input, from(input.size(), 0), steps(input.size(), 1);
    dims[axis] = 1;
    for (int64_t index : indices) {
        if (index < 0) index += input[axis];
        if (index < 0 || index >= input[axis]) return "an index out of range";
        from[axis] = index;
        windows.push_back(window(builder, source, dims, from, steps));
    }
    Dims output(input.begin(), input.begin() + axis);
    output.insert(output.end(), indexDims.begin(), indexDims.end());
    output.insert(output.end(), input.begin() + axis + 1, input.end());
    return concatenate(builder, windows, axis, output, node.output(0));
}

void registerTensor(Registry &registry) {
    registry.add("Transpose", lowerTranspose);
    registry.add("Slice", lowerSlice);
    registry.add("Split", lowerSplit);
    registry.add("Tile", lowerTile);
    registry.add("Expand", lowerExpand);
    registry.add("Range", lowerRange);
}

}  // namespace zecl::plan
