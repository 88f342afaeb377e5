// The compute library of the software card: ONNX models run with OpenCV's DNN
// module, op graphs of graph-input and run-model ops, and op streams that run
// inputs on worker threads and report each finished op to their subscribers.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "zecm/objects.hpp"

namespace onnx {
class ModelProto;
}
#include "zecl.h"

namespace zecl::plan {
class Plan;
}

namespace zecl {

constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

// One input or output of a model, as its ONNX graph declares it.
struct Port {
    std::string name;
    zecmDType type = zecmDT_FLOAT32;
    std::vector<int64_t> dims;  // declared (empty for a scalar); -1 where the graph leaves a dimension open
    std::string symbol;         // the first dimension's symbolic name, if it has one
    bool ranked = true;         // false for an output whose graph declares no shape
    bool batched = false;       // inputs: the first dimension is the model's batch
};

class Model {
public:
    // Loads and checks an ONNX file. `config` is null or JSON text of options.
    static uint32_t load(const char *path, const char *config, bool dynamic, std::shared_ptr<Model> *model);

    const std::vector<Port> &inputs() const { return inputs_; }
    const std::vector<Port> &outputs() const { return outputs_; }

    // Current shapes, sizes and batch; all under the model's lock.
    struct Shapes {
        bool known = false;  // false for a dynamic model whose input shapes are not set
        uint32_t batch = 1;
        std::vector<std::vector<int64_t>> inputs, outputs;
        // What OpenCV reads for these shapes: the file, with its inputs declared in
        // these shapes where they differ. OpenCV's importer plans some layers from the
        // declared input shapes, so a model runs as a static model of its current
        // shapes would, whatever its file leaves open.
        std::shared_ptr<const std::vector<unsigned char>> network;
        std::string failure;  // why the engine could not run the model, when not known
        // The compiled plan that runs the model in these shapes, or null for OpenCV;
        // and, for OpenCV, why the plan does not (the first node it does not cover).
        std::shared_ptr<const plan::Plan> plan;
        std::string planReason;
        std::vector<std::string> planNotes;  // slow kernels the plan settled for
    };
    Shapes shapes() const;
    uint32_t maxBatch() const { return maxBatch_; }
    uint32_t setBatch(uint32_t batch);
    uint32_t setInputShapes(const zecmShape *shapes, uint32_t count);
    // The largest batch for the given input shapes (dynamic models).
    uint32_t maxBatchFor(const zecmShape *shapes, uint32_t count, uint32_t *batch) const;

private:
    uint32_t checkShapes(const zecmShape *shapes, uint32_t count) const;
    // Input shapes with their batch applied, and output shapes inferred from them.
    Shapes derive(uint32_t batch, std::vector<std::vector<int64_t>> inputs) const;
    // The input whose first dimension is the batch (the first input of rank 1 or
    // more), or -1 when every input is a scalar.
    int batchInput() const;

    // The model as OpenCV reads it for the given input shapes.
    std::shared_ptr<const std::vector<unsigned char>> networkFor(const std::vector<std::vector<int64_t>> &inputs) const;

    // Output shapes and the plan from a compile of the graph, when it covers every node.
    bool derivePlanned(Shapes *shapes) const;
    // Output shapes from a run of OpenCV's network on zeros of the input shapes.
    void deriveWithOpenCV(Shapes *shapes) const;

    std::shared_ptr<const std::vector<unsigned char>> bytes_;  // the file, as OpenCV reads it
    std::shared_ptr<const onnx::ModelProto> proto_;            // the graph the plan compiles
    bool dynamic_ = false;
    uint32_t maxBatch_ = 1;
    std::vector<Port> inputs_, outputs_;
    mutable std::mutex mutex_;
    Shapes shapes_;
};

// Which engine runs models: ZESIM_ENGINE, else ZESIM_CONFIG's "engine", else auto
// (the plan where it covers the model, OpenCV otherwise).
enum class Engine { Auto, Plan, OpenCV };
Engine engineSetting();

// Intra-op threads of model runs on the calling thread: every core unless the
// thread (an op stream's worker) shares them.
void setRunThreads(int threads);
int runThreads();

// The dims OpenCV is given for an input of these dims: a scalar is one value.
std::vector<int> networkDims(const std::vector<int64_t> &dims);

// An output's shape from the dims OpenCV computed. OpenCV's blobs have two
// dimensions or more, so where the graph declares another rank (a scalar or a
// vector) the declared dims are used, their open dimensions filled from the count
// of values; otherwise OpenCV's dims stand.
std::vector<int64_t> outputDims(const std::vector<int64_t> &computed, const Port &port);

// Runs one model on the members of `input` (buffers or tensors in device memory,
// one per model input) and makes a dataset of the same mode with one new member
// per model output, in device memory of `device`.
uint32_t infer(const std::shared_ptr<Model> &model, const std::shared_ptr<zecm::Dataset> &input, uint32_t device,
               std::vector<void *> *outputs);

enum class OpKind { GraphInput, RunModel };

struct Graph;

struct Op {
    OpKind kind = OpKind::GraphInput;
    uint32_t inputCount = 0;       // graph-input ops: the datasets' member count
    std::shared_ptr<Model> model;  // run-model ops
    std::weak_ptr<Graph> graph;    // the graph the op belongs to, once it joined one
};

struct Graph {
    std::vector<std::shared_ptr<Op>> ops;  // in the order they joined
    std::map<Op *, Op *> inputOf;          // run-model op -> the op that feeds it
    std::vector<Op *> outputs;             // ops whose results a run returns, in order
};

// Graph edits and stream builds take this lock.
std::mutex &graphMutex();

}  // namespace zecl
