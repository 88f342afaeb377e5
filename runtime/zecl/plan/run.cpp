// Running a plan: one execution context (arena, memories, stream) per executing
// thread at a time, kept between runs.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <unordered_map>

#include "zecl/plan/lowering.hpp"
#include "zecl/plan/plan.hpp"

namespace zecl::plan {

struct Context {
    explicit Context(std::shared_ptr<const Program> source) : program(std::move(source)), stream(cpuEngine()) {
        arena.reset(static_cast<char *>(std::aligned_alloc(64, roundUp(program->arenaBytes))));
        if (!arena) throw std::bad_alloc();
        for (const Value &value : program->values) {
            void *handle = nullptr;
            if (value.constant >= 0 && value.alias < 0)
                handle = program->memories[value.constant].get_data_handle();
            else if (value.alias >= 0)
                handle = memories[value.alias].get_data_handle();
            else if (value.input < 0)
                handle = arena.get() + value.offset;
            memories.emplace_back(value.desc, cpuEngine(), handle);
        }
        scratchpad.reset(static_cast<char *>(std::aligned_alloc(64, roundUp(program->scratchpadBytes))));
        if (!scratchpad) throw std::bad_alloc();
        dnnl::memory scratch(dnnl::memory::desc({static_cast<int64_t>(program->scratchpadBytes)},
                                                dnnl::memory::data_type::u8, dnnl::memory::format_tag::a),
                             cpuEngine(), scratchpad.get());
        for (const Step &step : program->steps) {
            std::unordered_map<int, dnnl::memory> arguments{{DNNL_ARG_SCRATCHPAD, scratch}};
            for (const auto &[argument, id] : step.values) arguments[argument] = memories[id];
            for (const auto &[argument, memory] : step.constants) arguments[argument] = memory;
            steps.push_back(std::move(arguments));
        }
        for (int id : program->outputs) sharers[owner(id)];
        for (size_t id = 0; id < program->values.size(); ++id) {
            auto root = sharers.find(owner(static_cast<int>(id)));
            if (root != sharers.end()) root->second.push_back(static_cast<int>(id));
        }
    }

    // Graph inputs, and the views of them, read the caller's buffers.
    void bindInputs(const std::vector<const float *> &inputs) {
        for (size_t id = 0; id < program->values.size(); ++id) {
            const Value &value = program->values[id];
            if (value.input >= 0) memories[id].set_data_handle(const_cast<float *>(inputs[value.input]));
        }
    }

    // Outputs the steps write are written straight into the caller's buffers: the
    // arena value that holds them, and every view of it, is bound there. The others
    // (inputs, constants, a value given as two outputs) are copied after the run.
    std::vector<bool> bindOutputs(const std::vector<float *> &outputs) {
        std::vector<bool> bound(outputs.size(), false);
        std::vector<int> taken;
        for (size_t j = 0; j < outputs.size(); ++j) {
            int root = owner(program->outputs[j]);
            if (!inArena(root) || std::find(taken.begin(), taken.end(), root) != taken.end()) continue;
            taken.push_back(root);
            for (int id : sharers[root]) memories[id].set_data_handle(outputs[j]);
            bound[j] = true;
        }
        return bound;
    }

    int owner(int id) const {
        int alias = program->values[id].alias;
        return alias >= 0 ? alias : id;
    }
    bool inArena(int id) const {
        const Value &value = program->values[id];
        return value.alias < 0 && value.input < 0 && value.constant < 0;
    }

    struct Free {
        void operator()(char *block) const { std::free(block); }
    };
    std::shared_ptr<const Program> program;
    dnnl::stream stream;
    // aligned_alloc takes whole multiples of the alignment, and never nothing.
    static size_t roundUp(size_t bytes) { return std::max<size_t>((bytes + 63) / 64 * 64, 64); }

    std::unique_ptr<char, Free> arena, scratchpad;
    std::vector<dnnl::memory> memories;  // by value id
    std::vector<std::unordered_map<int, dnnl::memory>> steps;
    std::map<int, std::vector<int>> sharers;  // an output's value: it and the views of it
};

Plan::Plan(std::shared_ptr<const onnx::ModelProto> model, std::vector<std::vector<int64_t>> inputShapes, int threads,
           std::shared_ptr<const Program> program)
    : model_(std::move(model)),
      inputShapes_(std::move(inputShapes)),
      outputShapes_(program->outputShapes),
      first_(program) {
    programs_[{threads, {}}] = std::move(program);
}

Plan::Plan(std::shared_ptr<const onnx::ModelProto> model, std::vector<std::vector<int64_t>> inputShapes,
           std::vector<int> valueInputs, std::vector<std::vector<int64_t>> outputShapes)
    : model_(std::move(model)),
      inputShapes_(std::move(inputShapes)),
      valueInputs_(std::move(valueInputs)),
      outputShapes_(std::move(outputShapes)) {}

Plan::~Plan() = default;

const std::vector<std::vector<int64_t>> &Plan::outputShapes() const { return outputShapes_; }

size_t Plan::primitiveCount() const { return first_ ? first_->steps.size() : 0; }

size_t Plan::arenaBytes() const { return first_ ? first_->arenaBytes : 0; }

namespace {

size_t elementCount(const std::vector<int64_t> &dims) {
    size_t count = 1;
    for (int64_t d : dims) count *= static_cast<size_t>(d);
    return count;
}

}  // namespace

Plan::Key Plan::keyOf(int threads, const std::vector<const float *> &inputs) const {
    Key key{threads, {}};
    for (int index : valueInputs_) {
        size_t count = elementCount(inputShapes_[index]), start = key.second.size();
        key.second.resize(start + count);
        std::memcpy(key.second.data() + start, inputs[index], count * sizeof(float));
    }
    return key;
}

InputValues Plan::valuesOf(const Key &key) const {
    InputValues values;
    size_t next = 0;
    for (int index : valueInputs_) {
        auto &value = values[index];
        value.resize(elementCount(inputShapes_[index]));
        std::memcpy(value.data(), key.second.data() + next, value.size() * sizeof(float));
        next += value.size();
    }
    return values;
}

std::shared_ptr<const Program> Plan::program(const Key &key, std::string *error) const {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = programs_.find(key);
        if (found != programs_.end()) return found->second;
    }
    CompileResult result = compileFor(*model_, inputShapes_, key.first, valuesOf(key));
    std::shared_ptr<const Program> compiled = result.program;
    if (valueInputs_.empty()) {
        // The graph compiled once already; a failure now is the library's, and the
        // program of the first compile still computes the same results.
        if (!compiled) compiled = first_;
    } else if (!compiled) {
        *error = "the plan cannot compile for these input values: " + result.reason;
        return nullptr;
    } else if (compiled->outputShapes != outputShapes_) {
        *error = "these input values give other output shapes than the graph declares";
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (programs_.size() >= kMaxValuePrograms && !valueInputs_.empty()) {
        // Values that change from run to run: keep the memory bounded.
        programs_.clear();
        idle_.clear();
    }
    return programs_.emplace(key, std::move(compiled)).first->second;
}

std::unique_ptr<Context> Plan::acquire(const std::shared_ptr<const Program> &program) const {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto context = idle_.begin(); context != idle_.end(); ++context)
            if ((*context)->program == program) {
                auto taken = std::move(*context);
                idle_.erase(context);
                return taken;
            }
    }
    return std::make_unique<Context>(program);
}

void Plan::release(std::unique_ptr<Context> context) const {
    std::lock_guard<std::mutex> lock(mutex_);
    idle_.push_back(std::move(context));
}

bool Plan::run(const std::vector<const float *> &inputs, const std::vector<float *> &outputs, int threads,
               std::string *error) const {
    threads = std::max(1, threads);
    if (inputs.size() != inputShapes_.size() || outputs.size() != outputShapes_.size()) {
        *error = "the plan takes " + std::to_string(inputShapes_.size()) + " inputs and " +
                 std::to_string(outputShapes_.size()) + " outputs";
        return false;
    }
    try {
        auto chosen = program(keyOf(threads, inputs), error);
        if (!chosen) return false;
        auto context = acquire(chosen);
        setLibraryThreads(threads);
        steerTeamAway(threads);
        context->bindInputs(inputs);
        auto bound = context->bindOutputs(outputs);
        for (size_t i = 0; i < chosen->steps.size(); ++i)
            chosen->steps[i].primitive.execute(context->stream, context->steps[i]);
        context->stream.wait();
        for (size_t j = 0; j < outputs.size(); ++j) {
            if (bound[j]) continue;
            int id = chosen->outputs[j];
            std::memcpy(outputs[j], context->memories[id].get_data_handle(), chosen->values[id].desc.get_size());
        }
        release(std::move(context));
    } catch (const std::exception &failure) {
        *error = failure.what();
        return false;
    }
    return true;
}

void Plan::prepare(int threads) const {
    if (!valueInputs_.empty()) return;  // compiled for the values a run brings
    std::string error;
    program({std::max(1, threads), {}}, &error);
}

}  // namespace zecl::plan
