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

// The compiled graph for one set of input shapes. oneDNN sizes its kernels' work
// split for the thread count current when a primitive is made, so the plan keeps
// one program per thread count it ran with, compiled on first use.
class Plan {
public:
    Plan(std::shared_ptr<const onnx::ModelProto> model, std::vector<std::vector<int64_t>> inputShapes,
         int threads, std::shared_ptr<const Program> program);
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
    std::shared_ptr<const Program> program(int threads) const;
    std::unique_ptr<Context> acquire(const std::shared_ptr<const Program> &program) const;
    void release(std::unique_ptr<Context> context) const;

    std::shared_ptr<const onnx::ModelProto> model_;
    std::vector<std::vector<int64_t>> inputShapes_;
    std::shared_ptr<const Program> first_;
    mutable std::mutex mutex_;
    mutable std::map<int, std::shared_ptr<const Program>> programs_;  // by thread count
    mutable std::vector<std::unique_ptr<Context>> idle_;               // execution contexts between runs
};

struct Compiled {
    std::shared_ptr<Plan> plan;  // null when not covered
    std::string reason;          // the first node not covered, or what failed
    std::vector<std::string> notes;  // what the log should know (reference kernels)
};

// Compiles the model's graph for these shapes of its non-weight inputs (in the
// order of the graph's inputs), for runs of `threads` intra-op threads.
Compiled compile(std::shared_ptr<const onnx::ModelProto> model, const std::vector<std::vector<int64_t>> &inputShapes,
                 int threads);

}  // namespace zecl::plan
