// Compiled plans: an ONNX graph lowered, node by node, onto oneDNN primitives for
// the model's current input shapes, and run on one activation arena per executing
// thread.
//
// Adding an operator family: write plan/ops_<family>.cpp with a function
// `void register<Family>(Registry &registry)` that calls
// `registry.add("OpType", lowering)` for each ONNX op it lowers (see lowering.hpp
// for what a lowering may ask of the Builder), declare it in lowering.hpp and add
// one line to kFamilies in registry.cpp. A node whose op has no lowering, or whose
// lowering returns a reason, leaves the whole model to OpenCV.
#pragma once
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace onnx {
class ModelProto;
}

namespace zecl::plan {

struct Program;
struct Context;

// Values of graph inputs (by input index) a program is compiled for: inputs that
// decide shapes or attributes, such as Resize's scales given as graph inputs.
using InputValues = std::map<int, std::vector<float>>;

// The compiled graph for one set of input shapes. oneDNN sizes its kernels' work
// split for the thread count current when a primitive is made, so the plan keeps
// one program per thread count it ran with, compiled on first use. A graph that
// needs the values of some of its inputs is compiled at run, once per set of
// those values, with the output shapes the graph declares.
class Plan {
public:
    Plan(std::shared_ptr<const onnx::ModelProto> model, std::vector<std::vector<int64_t>> inputShapes, int threads,
         std::shared_ptr<const Program> program);
    Plan(std::shared_ptr<const onnx::ModelProto> model, std::vector<std::vector<int64_t>> inputShapes,
         std::vector<int> valueInputs, std::vector<std::vector<int64_t>> outputShapes);
    ~Plan();

    const std::vector<std::vector<int64_t>> &outputShapes() const;
    size_t primitiveCount() const;
    // The bytes of one execution context's arena, its values' bytes shared by lifetime.
    size_t arenaBytes() const;
    // Runs on float32 inputs in plain layout of the compiled shapes with `threads`
    // intra-op threads, writing each graph output, plain float32 of its shape, into
    // the caller's buffer of that output. False (with `error`) when the library failed.
    bool run(const std::vector<const float *> &inputs, const std::vector<float *> &outputs, int threads,
             std::string *error) const;
    // Compiles the program for runs of `threads` threads now, so that the first run
    // on a thread of that count does not.
    void prepare(int threads) const;

private:
    // Thread count, and the value inputs' values by their bits (NaN orders like any other).
    using Key = std::pair<int, std::vector<uint32_t>>;
    Key keyOf(int threads, const std::vector<const float *> &inputs) const;
    InputValues valuesOf(const Key &key) const;
    std::shared_ptr<const Program> program(const Key &key, std::string *error) const;
    std::unique_ptr<Context> acquire(const std::shared_ptr<const Program> &program) const;
    void release(std::unique_ptr<Context> context) const;

    std::shared_ptr<const onnx::ModelProto> model_;
    std::vector<std::vector<int64_t>> inputShapes_;
    std::vector<int> valueInputs_;  // inputs whose values the programs are compiled for
    std::vector<std::vector<int64_t>> outputShapes_;
    std::shared_ptr<const Program> first_;  // null when compiled at run
    mutable std::mutex mutex_;
    mutable std::map<Key, std::shared_ptr<const Program>> programs_;
    mutable std::vector<std::unique_ptr<Context>> idle_;  // execution contexts between runs
};

struct Compiled {
    std::shared_ptr<Plan> plan;      // null when not covered
    std::string reason;              // the first node not covered, or what failed
    std::vector<std::string> notes;  // what the log should know (reference kernels)
};

// The number of programs a plan compiled at run keeps; past it, it starts afresh.
constexpr size_t kMaxValuePrograms = 16;

// Compiles the model's graph for these shapes of its non-weight inputs (in the
// order of the graph's inputs), for runs of `threads` intra-op threads.
Compiled compile(std::shared_ptr<const onnx::ModelProto> model, const std::vector<std::vector<int64_t>> &inputShapes,
                 int threads);

}  // namespace zecl::plan
