// What lowerings see: the program being built (values, steps, constants) and the
// Builder that imports the graph node by node. A lowering reads its node's inputs
// by name, defines its outputs with their dims (the plan's own shape inference),
// and either adds primitives or, when every input is constant, defines constants.
#pragma once
#include <onnx/onnx_pb.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "zecl/plan/dnnl.hpp"

namespace zecl::plan {

// A value known when the plan is compiled: weights, Constant nodes, folded nodes.
struct Constant {
    Dims dims;
    bool integer = false;
    std::vector<float> floats;  // float data, when !integer
    std::vector<int64_t> ints;  // integer data (indices, shapes), when integer
    size_t count() const { return integer ? ints.size() : floats.size(); }
    float at(size_t i) const { return integer ? static_cast<float>(ints[i]) : floats[i]; }
    int64_t intAt(size_t i) const { return integer ? ints[i] : static_cast<int64_t>(floats[i]); }
};

// A tensor the primitives read or write at run time.
struct Value {
    Dims dims;          // ONNX dims (empty for a scalar)
    Desc desc;          // its layout
    int alias = -1;     // a view: the value whose bytes these are (plain layouts only)
    int input = -1;     // a graph input: its index
    int constant = -1;  // a constant: its index in Program::memories
    size_t offset = 0;  // place in the arena, for values the plan computes
};

struct Step {
    dnnl::primitive primitive;
    std::vector<std::pair<int, int>> values;              // argument -> value id
    std::vector<std::pair<int, dnnl::memory>> constants;  // argument -> plan-owned memory
};

struct Program {
    std::vector<Value> values;
    std::vector<Step> steps;
    std::vector<dnnl::memory> memories;  // constants used as values
    std::vector<int> inputs, outputs;    // value ids
    std::vector<std::vector<int64_t>> outputShapes;
    size_t arenaBytes = 0;
    size_t scratchpadBytes = 0;  // the largest scratchpad a step needs
};

class Builder;
// Lowers one node; returns the reason when it cannot ("" on success).
using Lowering = std::function<std::string(Builder &, const onnx::NodeProto &)>;

class Registry {
public:
    void add(const std::string &opType, Lowering lowering) { lowerings_[opType] = std::move(lowering); }
    const Lowering *find(const std::string &opType) const;

private:
    std::map<std::string, Lowering> lowerings_;
};
const Registry &registry();

class Builder {
public:
    Builder(const onnx::GraphProto &graph, int64_t opset);
    // A graph input, with its index among the inputs and its value when the program is compiled for one.
    int defineInput(const std::string &name, const Dims &dims, int index, const std::vector<float> *value);

    int64_t opset() const { return opset_; }
    // Names: defined, constant, their dims.
    bool defined(const std::string &name) const { return ids_.count(name) || constants_.count(name); }
    bool isConstant(const std::string &name) const { return constants_.count(name) > 0; }
    const Constant &constant(const std::string &name) const { return constants_.at(name); }
    Dims dims(const std::string &name) const;
    bool allConstant(const onnx::NodeProto &node) const;
    // A value a lowering needs while compiling (scales, bounds, repeats): a constant,
    // or a graph input's value when the program is compiled for it. Null for other
    // graph inputs, which the plan then compiles for at run, once per value: check
    // everything else about the node first, and return a reason on null.
    const Constant *known(const std::string &name);
    const std::vector<int> &valueInputs() const { return valueInputs_; }

    // A value id for a name; a constant becomes a plan-owned plain value.
    int value(const std::string &name);
    const Value &at(int id) const { return program_.values[id]; }
    // The value in layout `desc`, reordered into a new value when it differs.
    int inLayout(int id, Desc desc);
    int plain(int id) { return inLayout(id, plainDesc(at(id).dims)); }

    // Output definitions.
    int define(const std::string &name, const Dims &dims, const Desc &desc);
    int defineView(const std::string &name, const Dims &dims, int plainSource);
    // The bytes of a value in plain layout, seen with other dims of the same count.
    int view(int id, const Dims &dims);
    // The bytes of a value in plain layout seen through `desc` (a window, a transposed
    // order): a source for reorders and concatenations only.
    int view(int id, const Dims &dims, const Desc &desc);
    void defineConstant(const std::string &name, Constant constant);
    // The name given to a value computed in place over another (a residual sum).
    void overwrite(const std::string &name, int id);
    // A fresh value the plan computes, named by no node (a copy, a reordered input).
    int scratch(const Dims &dims, const Desc &desc);

    // Adds a primitive; `hot` refuses a reference kernel (returned reason), others log it.
    std::string add(const dnnl::primitive_desc_base &pd, dnnl::primitive primitive,
                    std::vector<std::pair<int, int>> values, std::vector<std::pair<int, dnnl::memory>> constants = {},
                    bool hot = true);

    // The graph around a node: who reads a name, and fusing a reader into its producer.
    std::vector<const onnx::NodeProto *> readers(const std::string &name) const;
    bool graphOutput(const std::string &name) const { return graphOutputs_.count(name) > 0; }
    // The single node that reads `name`, when nothing else (no graph output) does.
    const onnx::NodeProto *soleReader(const std::string &name) const;
    void fuse(const onnx::NodeProto &node) { fused_.insert(&node); }
    bool isFused(const onnx::NodeProto &node) const { return fused_.count(&node) > 0; }
    void markDone(const onnx::NodeProto &node) { done_.insert(&node); }
    // Whether a computed value may be overwritten in place: no view, no other
    // reader than `except` still to run, not a graph output, input or constant.
    bool overwritable(const std::string &name, const onnx::NodeProto &except) const;

    Program &program() { return program_; }
    const std::vector<std::string> &notes() const { return notes_; }

private:
    int addValue(Value value);

    int64_t opset_;
    Program program_;
    std::unordered_map<std::string, int> ids_;
    std::unordered_map<std::string, Constant> constants_;
    std::map<std::pair<int, std::string>, int> layouts_;  // (value, layout) -> reordered value
    std::unordered_map<std::string, std::vector<const onnx::NodeProto *>> readers_;
    std::set<std::string> graphOutputs_;
    std::set<int> viewed_;
    std::set<const onnx::NodeProto *> fused_, done_;
    std::vector<std::string> notes_;
    std::unordered_map<std::string, int> inputIndex_;  // graph inputs without a value, by name
    std::vector<int> valueInputs_;                     // those a lowering asked the value of
};

// Attributes of a node, with ONNX's defaults.
const onnx::AttributeProto *attribute(const onnx::NodeProto &node, const std::string &name);
int64_t intAttribute(const onnx::NodeProto &node, const std::string &name, int64_t fallback);
float floatAttribute(const onnx::NodeProto &node, const std::string &name, float fallback);
std::string stringAttribute(const onnx::NodeProto &node, const std::string &name, const std::string &fallback);
std::vector<int64_t> intsAttribute(const onnx::NodeProto &node, const std::string &name);
// The node's input `index`, "" when absent or empty.
std::string inputName(const onnx::NodeProto &node, int index);
// An axis in [0, rank), or -1 when out of range.
int64_t normalizeAxis(int64_t axis, size_t rank);
Dims broadcastDims(const Dims &a, const Dims &b, bool *ok);

// Compiles the graph's program with primitives made for `threads` intra-op threads;
// the reason when it is not covered, "" otherwise.
// `values` are the graph inputs' values the program is compiled for; `valueInputs`
// gets those the graph needed and did not have.
struct CompileResult {
    std::string reason;
    std::shared_ptr<const Program> program;
    std::vector<std::string> notes;
    std::vector<int> valueInputs;
};
CompileResult compileFor(const onnx::ModelProto &model, const std::vector<std::vector<int64_t>> &inputShapes,
                         int threads, const std::map<int, std::vector<float>> &values);

// An activation a convolution or matrix product applies to its result as a post-op.
struct Activation {
    dnnl::algorithm kind = dnnl::algorithm::eltwise_relu;
    float alpha = 0, beta = 0;
};
// The activation `node` applies, when a post-op computes it (Relu, LeakyRelu,
// Sigmoid, Tanh, Elu, Clip with constant bounds); false for other nodes.
bool postOpActivation(const Builder &builder, const onnx::NodeProto &node, Activation *activation);

// Places the values the plan computes in the arena: values whose lifetimes (from
// the first step that touches them to the last) do not overlap share bytes.
void layOutArena(Program *program);

// A tensor of ONNX's as a constant, for the element types the plan computes with
// (float, double, int64, int32); false for others.
bool toConstant(const onnx::TensorProto &tensor, Constant *constant);
// The axes a node names: its attribute, or its constant second input (Squeeze and
// Unsqueeze, ReduceSum from opset 13, every reduction from 18); false when they come
// with the run.
bool axesOf(const Builder &builder, const onnx::NodeProto &node, Dims *axes);
// A Gemm's matrices after their transposes: A is m x k, B is k x n; the reason when
// they are not matrices of a common k.
struct GemmShape {
    int64_t m = 0, k = 0, n = 0;
    bool transA = false, transB = false;
};
std::string gemmShape(const Builder &builder, const onnx::NodeProto &node, GemmShape *shape);

// Operator families.
void registerConv(Registry &registry);
void registerMatmul(Registry &registry);
void registerPool(Registry &registry);
void registerEltwise(Registry &registry);
void registerBinary(Registry &registry);
void registerShape(Registry &registry);
void registerNorm(Registry &registry);
void registerReduce(Registry &registry);
void registerSoftmax(Registry &registry);

// Single steps on plain data the reduction and normalization families compose
// ONNX's functions of; each returns the new value. A reduction to `reduced`, the
// source's dims with the reduced axes 1; a binary operation whose second source
// broadcasts to the first's dims.
int addReduction(Builder &builder, int source, dnnl::algorithm kind, const Dims &reduced, float p);
int addEltwise(Builder &builder, int source, dnnl::algorithm kind, float alpha, float beta);
int addBinary(Builder &builder, dnnl::algorithm kind, int first, int second);
void registerDeconv(Registry &registry);
void registerVariadic(Registry &registry);

// A Conv whose weights or bias are graph inputs (ops_deconv.cpp).
std::string lowerConvGivenWeights(Builder &builder, const onnx::NodeProto &node);
// A Gemm whose alpha or beta scales an operand given at run time (ops_given.cpp).
bool scalesGivenOperand(const Builder &builder, const onnx::NodeProto &node);
std::string lowerGemmScaled(Builder &builder, const onnx::NodeProto &node);
void registerResize(Registry &registry);
void registerTensor(Registry &registry);
// Concat and Gather of activations (ops_tensor.cpp), for the shape family's folding lowerings.
std::string concatActivations(Builder &builder, const onnx::NodeProto &node);
std::string gatherActivations(Builder &builder, const onnx::NodeProto &node);

}  // namespace zecl::plan
