// The Builder: names to values and constants, layouts and reorders, the graph's
// readers of each name, and the attributes of nodes.
#include <algorithm>
#include <stdexcept>

#include "zecl/plan/lowering.hpp"

namespace zecl::plan {
namespace {

constexpr uint64_t kMaxElements = uint64_t{1} << 34;

}  // namespace

const Lowering *Registry::find(const std::string &opType) const {
    auto found = lowerings_.find(opType);
    return found == lowerings_.end() ? nullptr : &found->second;
}

Builder::Builder(const onnx::GraphProto &graph, int64_t opset) : opset_(opset) {
    for (const auto &node : graph.node())
        for (const auto &input : node.input())
            if (!input.empty()) readers_[input].push_back(&node);
    for (const auto &output : graph.output()) graphOutputs_.insert(output.name());
}

Dims Builder::dims(const std::string &name) const {
    auto constant = constants_.find(name);
    if (constant != constants_.end()) return constant->second.dims;
    return program_.values[ids_.at(name)].dims;
}

bool Builder::allConstant(const onnx::NodeProto &node) const {
    for (const auto &input : node.input())
        if (!input.empty() && !isConstant(input)) return false;
    return true;
}

int Builder::defineInput(const std::string &name, const Dims &dims, int index, const std::vector<float> *value) {
    int id = define(name, dims, plainDesc(dims));
    program_.values[id].input = index;
    program_.inputs.push_back(id);
    if (value) {
        Constant constant;
        constant.dims = dims;
        constant.floats = *value;
        defineConstant(name, std::move(constant));
    } else {
        inputIndex_[name] = index;
    }
    return id;
}

const Constant *Builder::known(const std::string &name) {
    auto constant = constants_.find(name);
    if (constant != constants_.end()) return &constant->second;
    auto input = inputIndex_.find(name);
    if (input != inputIndex_.end() &&
        std::find(valueInputs_.begin(), valueInputs_.end(), input->second) == valueInputs_.end())
        valueInputs_.push_back(input->second);
    return nullptr;
}

int Builder::addValue(Value value) {
    program_.values.push_back(std::move(value));
    return static_cast<int>(program_.values.size()) - 1;
}

int Builder::value(const std::string &name) {
    auto found = ids_.find(name);
    if (found != ids_.end()) return found->second;
    const Constant &data = constants_.at(name);
    std::vector<float> floats(data.count());
    for (size_t i = 0; i < floats.size(); ++i) floats[i] = data.at(i);
    Value value;
    value.dims = data.dims;
    value.desc = plainDesc(data.dims);
    value.constant = static_cast<int>(program_.memories.size());
    program_.memories.push_back(constantMemory(value.desc, data.dims, floats));
    int id = addValue(std::move(value));
    ids_[name] = id;
    return id;
}

int Builder::inLayout(int id, Desc desc) {  // by value: it may name a value scratch() moves
    if (at(id).desc == desc) return id;
    // Layouts are told apart by their descriptors' bytes, never by tag names.
    std::string key(reinterpret_cast<const char *>(&desc.data), sizeof desc.data);
    auto cached = layouts_.find({id, key});
    if (cached != layouts_.end()) return cached->second;
    int target = scratch(at(id).dims, desc);
    dnnl::reorder::primitive_desc pd(cpuEngine(), at(id).desc, cpuEngine(), desc, attributes());
    add(pd, dnnl::reorder(pd), {{DNNL_ARG_FROM, id}, {DNNL_ARG_TO, target}}, {}, false);
    layouts_[{id, key}] = target;
    return target;
}

int Builder::scratch(const Dims &dims, const Desc &desc) {
    // Shapes a model can declare but no arena can hold are refused while compiling.
    uint64_t count = 1;
    for (int64_t d : dims)
        if (d <= 0 || __builtin_mul_overflow(count, static_cast<uint64_t>(d), &count) || count > kMaxElements)
            throw std::length_error("a tensor of more than 2^34 elements or an empty dimension");
    Value value;
    value.dims = dims;
    value.desc = desc;
    return addValue(std::move(value));
}

int Builder::define(const std::string &name, const Dims &dims, const Desc &desc) {
    int id = scratch(dims, desc);
    ids_[name] = id;
    return id;
}

int Builder::defineView(const std::string &name, const Dims &dims, int plainSource) {
    int id = view(plainSource, dims);
    ids_[name] = id;
    return id;
}

int Builder::view(int id, const Dims &dims) {
    int plainSource = plain(id);
    Value value;
    value.dims = dims;
    value.desc = plainDesc(dims);
    value.alias = at(plainSource).alias >= 0 ? at(plainSource).alias : plainSource;
    value.input = at(plainSource).input;
    value.constant = at(plainSource).constant;
    viewed_.insert(plainSource);
    viewed_.insert(value.alias);
    int made = addValue(std::move(value));
    viewed_.insert(made);
    return made;
}

int Builder::view(int id, const Dims &dims, const Desc &desc) {
    int made = view(id, dims);
    program_.values[made].desc = desc;
    return made;
}

void Builder::defineConstant(const std::string &name, Constant constant) { constants_[name] = std::move(constant); }

void Builder::overwrite(const std::string &name, int id) {
    for (auto entry = layouts_.begin(); entry != layouts_.end();)
        entry = entry->first.first == id ? layouts_.erase(entry) : std::next(entry);
    ids_[name] = id;
}

std::string Builder::add(const dnnl::primitive_desc_base &pd, dnnl::primitive primitive,
                         std::vector<std::pair<int, int>> values, std::vector<std::pair<int, dnnl::memory>> constants,
                         bool hot) {
    if (referenceKernel(pd)) {
        if (hot) return "oneDNN offers only its reference kernel (" + implementation(pd) + ")";
        notes_.push_back("a step runs on oneDNN's reference kernel (" + implementation(pd) + ")");
    }
    program_.scratchpadBytes = std::max(program_.scratchpadBytes, pd.scratchpad_desc().get_size());
    program_.steps.push_back({std::move(primitive), std::move(values), std::move(constants)});
    return "";
}

std::vector<const onnx::NodeProto *> Builder::readers(const std::string &name) const {
    auto found = readers_.find(name);
    return found == readers_.end() ? std::vector<const onnx::NodeProto *>{} : found->second;
}

const onnx::NodeProto *Builder::soleReader(const std::string &name) const {
    auto nodes = readers(name);
    // One entry per input that reads it: a node reading it twice is not a sole reader.
    if (nodes.size() != 1 || graphOutput(name)) return nullptr;
    return nodes[0];
}

bool Builder::overwritable(const std::string &name, const onnx::NodeProto &except) const {
    auto found = ids_.find(name);
    if (found == ids_.end() || graphOutput(name)) return false;
    const Value &value = at(found->second);
    if (value.input >= 0 || value.constant >= 0 || value.alias >= 0 || viewed_.count(found->second)) return false;
    for (const onnx::NodeProto *reader : readers(name))
        if (reader != &except && !done_.count(reader)) return false;
    return true;
}

const onnx::AttributeProto *attribute(const onnx::NodeProto &node, const std::string &name) {
    for (const auto &a : node.attribute())
        if (a.name() == name) return &a;
    return nullptr;
}

int64_t intAttribute(const onnx::NodeProto &node, const std::string &name, int64_t fallback) {
    const auto *a = attribute(node, name);
    return a ? a->i() : fallback;
}

float floatAttribute(const onnx::NodeProto &node, const std::string &name, float fallback) {
    const auto *a = attribute(node, name);
    return a ? a->f() : fallback;
}

std::string stringAttribute(const onnx::NodeProto &node, const std::string &name, const std::string &fallback) {
    const auto *a = attribute(node, name);
    return a ? a->s() : fallback;
}

std::vector<int64_t> intsAttribute(const onnx::NodeProto &node, const std::string &name) {
    const auto *a = attribute(node, name);
    if (!a) return {};
    return {a->ints().begin(), a->ints().end()};
}

std::string inputName(const onnx::NodeProto &node, int index) {
    return index < node.input_size() ? node.input(index) : std::string();
}

int64_t normalizeAxis(int64_t axis, size_t rank) {
    int64_t r = static_cast<int64_t>(rank);
    if (axis < -r || axis >= r) return -1;
    return axis < 0 ? axis + r : axis;
}

Dims broadcastDims(const Dims &a, const Dims &b, bool *ok) {
    size_t rank = std::max(a.size(), b.size());
    Dims out(rank);
    *ok = true;
    for (size_t i = 0; i < rank; ++i) {
        int64_t x = i < rank - a.size() ? 1 : a[i - (rank - a.size())];
        int64_t y = i < rank - b.size() ? 1 : b[i - (rank - b.size())];
        if (x != y && x != 1 && y != 1) *ok = false;
        out[i] = x == 1 ? y : x;
    }
    return out;
}

}  // namespace zecl::plan
