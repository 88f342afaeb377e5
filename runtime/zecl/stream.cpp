#include "zecl/stream.hpp"

#include "zecl/plan/plan.hpp"

#include <algorithm>

namespace zecl {

static_assert(kWaitForever == zesim::kWaitForever && ZECL_WAIT_FOREVER == zesim::kWaitForever, "one infinite wait");

namespace {

thread_local const Stream *currentStream = nullptr;

void destroyShell(void *dataset) { zesim::unregisterHandle(dataset, zesim::Kind::Dataset); }

int cores() { return static_cast<int>(std::max(1u, std::thread::hardware_concurrency())); }

// The workers' intra-op threads: together they use the cores, no more.
int workerThreads(size_t workers) { return std::max(1, cores() / static_cast<int>(std::max<size_t>(1, workers))); }

// Compiles the plans of the stream's models for its workers' thread count now: a
// program compiled on a worker's first run would hold that run up for the whole
// compile (a quarter of a second for a ResNet-18 shape).
void preparePlans(const std::map<Op *, std::vector<Step>> &plans, int threads) {
    for (const auto &[input, steps] : plans)
        for (const Step &step : steps)
            if (auto plan = step.op->model->shapes().plan) plan->prepare(threads);
}

}  // namespace

Stream::Stream(std::shared_ptr<Graph> graph, zeclBalanceMode mode, uint32_t device)
    : graph_(std::move(graph)),
      mode_(mode),
      device_(device),
      poolSize_(mode == zeclBM_RUN ? std::max(1u, std::thread::hardware_concurrency()) : 0) {
    // The dispatcher runs one input at a time with every core; the workers share
    // the cores, so that workers times intra-op threads stays within them.
    dispatcher_ = std::thread([this] {
        currentStream = this;
        dispatch();
    });
    for (size_t i = 0; i < poolSize_; ++i)
        pool_.emplace_back([this] {
            currentStream = this;
            setRunThreads(workerThreads(poolSize_));
            work();
        });
}

Stream::~Stream() { shutdown(); }

bool Stream::ownsCurrentThread() const { return currentStream == this; }

// Snapshots the graph: for each graph-input op, the run-model ops it reaches, in
// an order where every op comes after the op that feeds it.
uint32_t Stream::build() {
    std::map<Op *, std::vector<Step>> plans;
    {
        std::lock_guard<std::mutex> graphLock(graphMutex());
        const Graph &graph = *graph_;
        for (const auto &op : graph.ops)
            if (op->kind == OpKind::RunModel && !graph.inputOf.count(op.get()))
                return zeclER_GRAPH_INVALID;  // a run-model op nothing feeds
        size_t reached = 0;
        for (const auto &root : graph.ops) {
            if (root->kind != OpKind::GraphInput) continue;
            std::vector<Step> steps;
            std::vector<std::pair<Op *, int>> frontier{{root.get(), -1}};
            while (!frontier.empty()) {
                auto [feeder, feederStep] = frontier.front();
                frontier.erase(frontier.begin());
                // Ops fed by the same op run in the order they joined the graph (not
                // in address order): the output dataset's members keep that order.
                for (const auto &member : graph.ops) {
                    Op *target = member.get();
                    auto source = graph.inputOf.find(target);
                    if (source == graph.inputOf.end() || source->second != feeder) continue;
                    size_t produced = feeder->kind == OpKind::GraphInput ? feeder->inputCount
                                                                         : feeder->model->outputs().size();
                    if (produced != target->model->inputs().size()) return zeclER_GRAPH_INVALID;
                    bool registered = std::find(graph.outputs.begin(), graph.outputs.end(), target) !=
                                      graph.outputs.end();
                    steps.push_back({member, feederStep, registered});
                    frontier.emplace_back(target, static_cast<int>(steps.size()) - 1);
                }
            }
            reached += steps.size();
            plans[root.get()] = std::move(steps);
        }
        size_t runModelOps = std::count_if(graph.ops.begin(), graph.ops.end(),
                                           [](const auto &op) { return op->kind == OpKind::RunModel; });
        if (reached != runModelOps) return zeclER_GRAPH_INVALID;  // a cycle no input reaches
    }
    if (poolSize_ > 0) preparePlans(plans, workerThreads(poolSize_));
    zesim::MutexLock lock(mutex_);
    if (submitted_ != finished_) return zeclER_STREAM_BUSY;
    plans_ = std::move(plans);
    built_ = true;
    return zeclER_SUCCESS;
}

void Stream::subscribe(zeclStreamReportCallback callback, void *user) {
    zesim::MutexLock lock(mutex_);
    subscribers_.emplace_back(callback, user);
}

uint32_t Stream::submit(void *inputOp, void *input, uint64_t *sequence) {
    auto op = zesim::find<Op>(inputOp, zesim::Kind::Op);
    auto dataset = zecm::findDataset(input);
    if (!op || !dataset) return zeclER_INVALID_HANDLE;
    if (op->kind != OpKind::GraphInput) return zeclER_GRAPH_INVALID;  // no run starts at a model
    {
        std::lock_guard<std::mutex> datasetLock(dataset->mutex);
        if (dataset->members.size() != op->inputCount) return zeclER_INVALID_PARAM;
    }
    zesim::MutexLock lock(mutex_);
    if (stopping_ || closing_) return zeclER_INVALID_HANDLE;
    auto plan = plans_.find(op.get());
    if (!built_ || plan == plans_.end()) return zeclER_GRAPH_INVALID;
    Job job;
    job.sequence = submitted_++;
    job.inputOp = inputOp;
    job.input = input;
    job.dataset = std::move(dataset);
    job.steps = &plan->second;
    if (sequence) {
        *sequence = job.sequence;
        awaited_[job.sequence] = zeclER_SUCCESS;
    }
    jobs_.push_back(std::move(job));
    changed_.notify_all();
    return zeclER_SUCCESS;
}

void Stream::push(std::function<void()> task) {
    zesim::MutexLock lock(mutex_);
    Job job;
    job.sequence = submitted_++;
    job.task = std::move(task);
    jobs_.push_back(std::move(job));
    changed_.notify_all();
}

uint32_t Stream::waitRun(uint64_t sequence, uint32_t timeoutMs) {
    zesim::MutexLock lock(mutex_);
    bool finished = zesim::waitUntil(changed_, lock, timeoutMs,
                                     [&]() REQUIRES(mutex_) { return finished_ > sequence; });
    uint32_t status = finished ? awaited_[sequence] : static_cast<uint32_t>(zeclER_TIMEOUT);
    awaited_.erase(sequence);
    return status;
}

uint32_t Stream::waitIdle(uint32_t timeoutMs) {
    zesim::MutexLock lock(mutex_);
    uint64_t target = submitted_;
    return zesim::waitUntil(changed_, lock, timeoutMs, [&]() REQUIRES(mutex_) { return finished_ >= target; })
               ? zeclER_SUCCESS
               : zeclER_TIMEOUT;
}

void Stream::drain() {
    if (!ownsCurrentThread()) waitIdle(kWaitForever);
}

uint32_t Stream::cached() const {
    zesim::MutexLock lock(mutex_);
    return static_cast<uint32_t>(outputs_.size());
}

void *Stream::takeOutput() {
    zesim::MutexLock lock(mutex_);
    if (outputs_.empty()) return nullptr;
    void *output = outputs_.front();
    outputs_.pop_front();
    return output;
}

// Jobs start in submission order. Copies and fills wait for everything before
// them; runs go one at a time (zeclBM_ONCE) or to the pool (zeclBM_RUN).
void Stream::dispatch() {
    zesim::MutexLock lock(mutex_);
    for (;;) {
        changed_.wait(lock.native(), [&]() REQUIRES(mutex_) { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) break;
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        if (job.task) {
            changed_.wait(lock.native(), [&]() REQUIRES(mutex_) { return finished_ == job.sequence || abandoned_; });
            if (abandoned_) continue;
            lock.unlock();
            job.task();
            lock.lock();
            ++finished_;
            changed_.notify_all();
        } else if (pool_.empty()) {
            lock.unlock();
            complete(job.sequence, execute(job));
            lock.lock();
        } else {
            changed_.wait(lock.native(), [&]() REQUIRES(mutex_) { return running_ < poolSize_ || abandoned_; });
            if (abandoned_) continue;
            ++running_;
            poolJobs_.push_back(std::move(job));
            changed_.notify_all();
        }
    }
    dispatched_ = true;
    changed_.notify_all();
}

void Stream::work() {
    zesim::MutexLock lock(mutex_);
    for (;;) {
        changed_.wait(lock.native(), [&]() REQUIRES(mutex_) { return dispatched_ || !poolJobs_.empty(); });
        if (poolJobs_.empty()) return;
        Job job = std::move(poolJobs_.front());
        poolJobs_.pop_front();
        lock.unlock();
        Result result = execute(job);
        lock.lock();
        --running_;
        changed_.notify_all();
        lock.unlock();
        complete(job.sequence, std::move(result));
        lock.lock();
    }
}

Stream::Result Stream::execute(const Job &job) {
    Result result;
    result.input = job.input;
    const std::vector<Step> &steps = *job.steps;
    if (steps.empty()) {
        result.reports.push_back({job.inputOp, nullptr, {0, 1}});
        return result;
    }
    zecmDatasetMode mode;
    {
        std::lock_guard<std::mutex> lock(job.dataset->mutex);
        mode = job.dataset->mode;
    }
    bool anyRegistered = std::any_of(steps.begin(), steps.end(), [](const Step &s) { return s.registered; });
    void *output = anyRegistered ? zecm::newDataset(mode) : nullptr;
    std::vector<void *> produced(steps.size(), nullptr);
    for (size_t i = 0; i < steps.size(); ++i) {
        const Step &step = steps[i];
        auto input = step.feeder < 0 ? job.dataset : zecm::findDataset(produced[step.feeder]);
        std::vector<void *> members;
        uint32_t status = input ? infer(step.op->model, input, device_, &members)
                                : static_cast<uint32_t>(zeclER_INVALID_HANDLE);
        if (status) {
            result.status = status;
            result.reports.push_back({step.op.get(), nullptr, {static_cast<int32_t>(status), 1}});
            break;
        }
        produced[i] = zecm::newDataset(mode);
        for (void *member : members) {
            zecm::addDatasetMember(produced[i], member);
            if (step.registered) zecm::addDatasetMember(output, member);
        }
        result.reports.push_back({step.op.get(), step.registered ? output : nullptr, {0, 0}});
    }
    // Intermediate results go; the members of registered steps live on in the output.
    for (size_t i = 0; i < steps.size(); ++i) {
        if (!produced[i]) continue;
        if (steps[i].registered)
            destroyShell(produced[i]);
        else
            zecm::destroyDatasetAll(produced[i]);
    }
    if (result.status) {
        if (output) zecm::destroyDatasetAll(output);
        for (Report &report : result.reports) report.output = nullptr;
        return result;
    }
    result.reports.back().status.isStreamEnd = 1;
    result.output = output;
    return result;
}

// Results are delivered strictly in submission order, by whichever thread
// completes the next one due; callbacks run with no lock held.
void Stream::complete(uint64_t sequence, Result result) {
    zesim::MutexLock lock(mutex_);
    completed_.emplace(sequence, std::move(result));
    if (delivering_) return;
    delivering_ = true;
    for (auto next = completed_.find(finished_); next != completed_.end(); next = completed_.find(finished_)) {
        Result due = std::move(next->second);
        completed_.erase(next);
        lock.unlock();
        deliver(due);
        lock.lock();
        auto waiter = awaited_.find(finished_);
        if (waiter != awaited_.end()) waiter->second = due.status;
        ++finished_;
        changed_.notify_all();
    }
    delivering_ = false;
}

// Reports in op order; the output dataset can be requested from the last report on.
void Stream::deliver(Result &result) {
    for (size_t i = 0; i < result.reports.size(); ++i) {
        const Report &report = result.reports[i];
        if (i + 1 == result.reports.size() && result.output) {
            zesim::MutexLock lock(mutex_);
            outputs_.push_back(result.output);
        }
        callSubscribers(report.op, result.input, report.output, report.status);
    }
}

void Stream::callSubscribers(void *p1, void *p2, void *p3, zeclCallbackStatus status) {
    std::vector<std::pair<zeclStreamReportCallback, void *>> subscribers;
    {
        zesim::MutexLock lock(mutex_);
        subscribers = subscribers_;
    }
    for (const auto &[callback, user] : subscribers) {
        zeclCallbackStatus copy = status;
        if (callback) callback(p1, p2, p3, &copy, user);
    }
}

void Stream::deliverReport(void *p1, void *p2, void *p3, int32_t errorCode, int32_t streamEnd) {
    std::thread reporter([&] {
        currentStream = this;
        callSubscribers(p1, p2, p3, {errorCode, streamEnd});
    });
    reporter.join();
}

void Stream::close() {
    {
        zesim::MutexLock lock(mutex_);
        closing_ = true;
    }
    waitIdle(kWaitForever);
}

void Stream::abandon() {
    {
        zesim::MutexLock lock(mutex_);
        abandoned_ = true;
        jobs_.clear();
        running_ -= poolJobs_.size();  // handed to the pool, never to be computed
        poolJobs_.clear();
        changed_.notify_all();
    }
    shutdown();
}

void Stream::shutdown() {
    {
        zesim::MutexLock lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
        changed_.notify_all();
    }
    auto stop = [this](std::thread &thread) {
        if (!thread.joinable()) return;
        if (thread.get_id() == std::this_thread::get_id())
            thread.detach();  // released from one of its own callbacks
        else
            thread.join();
    };
    stop(dispatcher_);
    for (auto &thread : pool_) stop(thread);
    std::deque<void *> left;
    {
        zesim::MutexLock lock(mutex_);
        left.swap(outputs_);
    }
    for (void *output : left) zecm::destroyDatasetAll(output);
}

}  // namespace zecl
