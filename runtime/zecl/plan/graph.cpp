// Compiling a graph: its weights and inputs imported, each node lowered in order
// through the registry, outputs reordered to plain layout, the arena laid out.
#include <climits>
#include <cstring>
#include <future>

#include <onnx/defs/schema.h>

#include "zecl/plan/lowering.hpp"
#include "zecl/plan/plan.hpp"

namespace zecl::plan {
namespace {

// The operator families, one line each.
const std::vector<void (*)(Registry &)> kFamilies = {
    registerConv,   registerMatmul,  registerPool,   registerEltwise,  registerBinary, registerShape,  registerNorm,
    registerReduce, registerSoftmax, registerDeconv, registerVariadic, registerResize, registerTensor,
};

template <typename T> std::vector<T> rawValues(const std::string &raw) {
    std::vector<T> values(raw.size() / sizeof(T));
    if (!values.empty()) std::memcpy(values.data(), raw.data(), values.size() * sizeof(T));
    return values;
}

}  // namespace

bool toConstant(const onnx::TensorProto &tensor, Constant *constant) {
    using T = onnx::TensorProto;
    constant->dims.assign(tensor.dims().begin(), tensor.dims().end());
    const bool raw = tensor.has_raw_data();
    switch (tensor.data_type()) {
    case T::FLOAT:
        constant->floats = raw ? rawValues<float>(tensor.raw_data())
                               : std::vector<float>(tensor.float_data().begin(), tensor.float_data().end());
        return true;
    case T::DOUBLE: {
        auto values = raw ? rawValues<double>(tensor.raw_data())
                          : std::vector<double>(tensor.double_data().begin(), tensor.double_data().end());
        constant->floats.assign(values.begin(), values.end());
        return true;
    }
    case T::INT64:
        constant->integer = true;
        constant->ints = raw ? rawValues<int64_t>(tensor.raw_data())
                             : std::vector<int64_t>(tensor.int64_data().begin(), tensor.int64_data().end());
        return true;
    case T::INT32: {
        constant->integer = true;
        auto values = raw ? rawValues<int32_t>(tensor.raw_data())
                          : std::vector<int32_t>(tensor.int32_data().begin(), tensor.int32_data().end());
        constant->ints.assign(values.begin(), values.end());
        return true;
    }
    default: return false;
    }
}

namespace {

// A Constant node's value, in any of the attribute forms ONNX allows.
bool constantNode(const onnx::NodeProto &node, Constant *constant) {
    if (const auto *a = attribute(node, "value")) return toConstant(a->t(), constant);
    if (const auto *a = attribute(node, "value_float")) {
        constant->floats = {a->f()};
        return true;
    }
    if (const auto *a = attribute(node, "value_floats")) {
        constant->floats.assign(a->floats().begin(), a->floats().end());
        constant->dims = {static_cast<int64_t>(constant->floats.size())};
        return true;
    }
    if (const auto *a = attribute(node, "value_int")) {
        constant->integer = true;
        constant->ints = {a->i()};
        return true;
    }
    if (const auto *a = attribute(node, "value_ints")) {
        constant->integer = true;
        constant->ints.assign(a->ints().begin(), a->ints().end());
        constant->dims = {static_cast<int64_t>(constant->ints.size())};
        return true;
    }
    return false;
}

std::string describe(int index, const onnx::NodeProto &node) {
    return "node " + std::to_string(index) + " '" + node.name() + "' (op " + node.op_type() + ")";
}

// The operator's arity at the model's opset, from ONNX's own schemas. Every node is checked
// before any is lowered, since fusions read the nodes after the one being lowered.
std::string checkArity(const onnx::NodeProto &node, int64_t opset) {
    if (!node.domain().empty() && node.domain() != "ai.onnx") return "";  // refused when lowered
    int version = opset > 0 && opset < INT_MAX ? static_cast<int>(opset) : INT_MAX;
    const onnx::OpSchema *schema = onnx::OpSchemaRegistry::Schema(node.op_type(), version);
    if (!schema) return "not covered (no such operator at opset " + std::to_string(opset) + ")";
    if (node.input_size() < schema->min_input()) return "fewer inputs than the operator takes";
    if (node.output_size() < schema->min_output()) return "fewer outputs than the operator gives";
    return "";
}

std::string lowerNode(Builder &builder, const onnx::NodeProto &node) {
    if (!node.domain().empty() && node.domain() != "ai.onnx") return "not covered (domain " + node.domain() + ")";
    for (const auto &input : node.input())
        if (!input.empty() && !builder.defined(input)) return "reads '" + input + "', which the plan cannot hold";
    if (node.op_type() == "Constant") {
        Constant constant;
        if (node.output_size() != 1 || !constantNode(node, &constant)) return "not covered (its value's type)";
        builder.defineConstant(node.output(0), std::move(constant));
        return "";
    }
    const Lowering *lowering = registry().find(node.op_type());
    if (!lowering) return "not covered";
    return (*lowering)(builder, node);
}

}  // namespace

CompileResult compileProgram(const onnx::ModelProto &model, const std::vector<std::vector<int64_t>> &inputShapes,
                             const InputValues &values);

CompileResult compileFor(const onnx::ModelProto &model, const std::vector<std::vector<int64_t>> &inputShapes,
                         int threads, const InputValues &values) {
    // Primitives take the calling thread's OpenMP thread count as theirs. They are made on a
    // thread of their own, whose OpenMP threads (weights are reordered in parallel) end with
    // it: GNU OpenMP counts every thread it keeps, and once they outnumber the cores its
    // threads stop spinning between parallel regions and every primitive of a run pays for
    // waking them.
    return std::async(std::launch::async,
                      [&] {
                          setLibraryThreads(threads);
                          return compileProgram(model, inputShapes, values);
                      })
        .get();
}

const Registry &registry() {
    static const Registry &table = *[] {
        auto *made = new Registry;  // never destroyed: plans compile while the process exits
        for (auto family : kFamilies) family(*made);
        return made;
    }();
    return table;
}

CompileResult compileProgram(const onnx::ModelProto &model, const std::vector<std::vector<int64_t>> &inputShapes,
                             const InputValues &values) {
    CompileResult result;
    int64_t opset = 0;
    for (const auto &import : model.opset_import())
        if (import.domain().empty() || import.domain() == "ai.onnx") opset = import.version();
    const auto &graph = model.graph();
    Builder builder(graph, opset);
    std::set<std::string> weights;
    for (const auto &initializer : graph.initializer()) {
        weights.insert(initializer.name());
        Constant constant;
        if (toConstant(initializer, &constant)) builder.defineConstant(initializer.name(), std::move(constant));
    }
    Program &program = builder.program();
    int next = 0;
    for (const auto &input : graph.input()) {
        if (weights.count(input.name())) continue;
        if (next >= static_cast<int>(inputShapes.size())) return {"more inputs than shapes"};
        for (int64_t d : inputShapes[next])
            if (d <= 0) return {"input '" + input.name() + "' has an empty dimension"};
        auto value = values.find(next);
        builder.defineInput(input.name(), inputShapes[next], next, value == values.end() ? nullptr : &value->second);
        ++next;
    }
    for (int i = 0; i < graph.node_size(); ++i) {
        std::string reason = checkArity(graph.node(i), opset);
        if (!reason.empty()) return {describe(i, graph.node(i)) + ": " + reason, nullptr, {}, builder.valueInputs()};
    }
    try {
        for (int i = 0; i < graph.node_size(); ++i) {
            const auto &node = graph.node(i);
            if (builder.isFused(node)) continue;
            std::string reason = lowerNode(builder, node);
            if (!reason.empty()) return {describe(i, node) + ": " + reason, nullptr, {}, builder.valueInputs()};
            builder.markDone(node);
        }
        for (const auto &output : graph.output()) {
            int id = builder.plain(builder.value(output.name()));
            program.outputs.push_back(id);
            program.outputShapes.push_back(program.values[id].dims);
        }
    } catch (const dnnl::error &error) {
        return {std::string("oneDNN refused a primitive: ") + error.what()};
    } catch (const std::exception &error) {
        return {error.what()};
    }
    layOutArena(&program);
    result.notes = builder.notes();
    result.program = std::make_shared<Program>(std::move(program));
    return result;
}

namespace {

// The shapes a graph declares for its values, when every dimension is a number.
bool declaredShapes(const google::protobuf::RepeatedPtrField<onnx::ValueInfoProto> &values,
                    const std::set<std::string> &skip, std::vector<std::vector<int64_t>> *shapes) {
    for (const auto &value : values) {
        if (skip.count(value.name())) continue;
        const auto &tensor = value.type().tensor_type();
        if (!tensor.has_shape()) return false;
        std::vector<int64_t> dims;
        for (const auto &dim : tensor.shape().dim()) {
            if (!dim.has_dim_value() || dim.dim_value() <= 0) return false;
            dims.push_back(dim.dim_value());
        }
        shapes->push_back(std::move(dims));
    }
    return true;
}

// A graph that needs some inputs' values compiles at run, when the shapes it was
// asked for are the ones it declares and it declares every output's shape.
std::shared_ptr<Plan> deferredPlan(const std::shared_ptr<const onnx::ModelProto> &model,
                                   const std::vector<std::vector<int64_t>> &inputShapes, std::vector<int> valueInputs) {
    const auto &graph = model->graph();
    std::set<std::string> weights;
    for (const auto &initializer : graph.initializer()) weights.insert(initializer.name());
    std::vector<std::vector<int64_t>> inputs, outputs;
    if (!declaredShapes(graph.input(), weights, &inputs) || inputs != inputShapes ||
        !declaredShapes(graph.output(), {}, &outputs))
        return nullptr;
    return std::make_shared<Plan>(model, inputShapes, std::move(valueInputs), std::move(outputs));
}

}  // namespace

Compiled compile(std::shared_ptr<const onnx::ModelProto> model, const std::vector<std::vector<int64_t>> &inputShapes,
                 int threads) {
    Compiled compiled;
    CompileResult result = compileFor(*model, inputShapes, threads, {});
    compiled.reason = result.reason;
    compiled.notes = std::move(result.notes);
    if (result.program)
        compiled.plan = std::make_shared<Plan>(std::move(model), inputShapes, threads, std::move(result.program));
    else if (!result.valueInputs.empty() && (compiled.plan = deferredPlan(model, inputShapes, result.valueInputs)))
        compiled.notes.push_back("the plan is compiled at run, for the values of graph inputs it needs (" +
                                 result.reason + ")");
    return compiled;
}

}  // namespace zecl::plan
