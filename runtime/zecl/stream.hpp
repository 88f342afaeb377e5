// Op streams: a built snapshot of a graph, runs queued in submission order and
// executed on worker threads, reports and outputs delivered in submission order.
#pragma once
#include "zecl/compute.hpp"
#include "zesim/queue.hpp"
#include "zesim/thread_safety.hpp"

namespace zecl {

// One run-model op of a run, in execution order.
struct Step {
    std::shared_ptr<Op> op;
    int feeder = -1;          // index of the step whose outputs feed it; -1: the run's input
    bool registered = false;  // its outputs go into the run's output dataset
};

class Stream : public zesim::TaskQueue {
public:
    Stream(std::shared_ptr<Graph> graph, zeclBalanceMode mode, uint32_t device);
    ~Stream() override;

    uint32_t device() const { return device_; }
    uint32_t build() EXCLUDES(mutex_);
    void subscribe(zeclStreamReportCallback callback, void *user) EXCLUDES(mutex_);
    // Checks and queues a run; writes its sequence number.
    uint32_t submit(void *inputOp, void *dataset, uint64_t *sequence) EXCLUDES(mutex_);
    // Waits until the run has been delivered; its status, or zeclER_TIMEOUT.
    uint32_t waitRun(uint64_t sequence, uint32_t timeoutMs) EXCLUDES(mutex_);
    // Waits until everything queued so far has finished; zeclER_TIMEOUT if it did not.
    uint32_t waitIdle(uint32_t timeoutMs) EXCLUDES(mutex_);
    uint32_t cached() const EXCLUDES(mutex_);
    void *takeOutput() EXCLUDES(mutex_);
    // Calls every subscriber from a thread of the stream's own and waits for them.
    void deliverReport(void *p1, void *p2, void *p3, int32_t errorCode, int32_t streamEnd);
    // True on the stream's own threads (where waiting for the stream would deadlock).
    bool ownsCurrentThread() const;
    // Refuses runs from now on and waits until those queued have been delivered.
    void close() EXCLUDES(mutex_);
    // Finishes what is queued and stops the threads.
    void shutdown() EXCLUDES(mutex_);
    // At process exit: drops what is queued, lets the runs under way end, stops the threads.
    void abandon() EXCLUDES(mutex_);

    void push(std::function<void()> task) override EXCLUDES(mutex_);
    void drain() override EXCLUDES(mutex_);

private:
    struct Report {
        void *op;
        void *output;
        zeclCallbackStatus status;
    };
    struct Result {
        void *input = nullptr;
        std::vector<Report> reports;
        void *output = nullptr;  // the run's output dataset, handed out after its reports
        uint32_t status = zeclER_SUCCESS;
    };
    struct Job {
        uint64_t sequence = 0;
        std::function<void()> task;  // a queued copy or fill; otherwise a run:
        void *inputOp = nullptr;
        void *input = nullptr;
        std::shared_ptr<zecm::Dataset> dataset;
        const std::vector<Step> *steps = nullptr;
    };

    void dispatch() EXCLUDES(mutex_);
    void work() EXCLUDES(mutex_);
    Result execute(const Job &job) EXCLUDES(mutex_);
    void complete(uint64_t sequence, Result result) EXCLUDES(mutex_);
    void deliver(Result &result) EXCLUDES(mutex_);
    void callSubscribers(void *p1, void *p2, void *p3, zeclCallbackStatus status) EXCLUDES(mutex_);

    std::shared_ptr<Graph> graph_;
    const zeclBalanceMode mode_;
    const uint32_t device_;
    const size_t poolSize_;

    mutable zesim::Mutex mutex_;  // guards what follows, up to the threads
    std::condition_variable changed_;
    bool built_ GUARDED_BY(mutex_) = false;
    std::map<Op *, std::vector<Step>> plans_ GUARDED_BY(mutex_);  // per graph-input op
    std::vector<std::pair<zeclStreamReportCallback, void *>> subscribers_ GUARDED_BY(mutex_);
    std::deque<Job> jobs_ GUARDED_BY(mutex_);      // waiting for the dispatcher
    std::deque<Job> poolJobs_ GUARDED_BY(mutex_);  // runs handed to the pool
    uint64_t submitted_ GUARDED_BY(mutex_) = 0, finished_ GUARDED_BY(mutex_) = 0;
    size_t running_ GUARDED_BY(mutex_) = 0;  // runs handed to the pool and not yet computed
    std::map<uint64_t, Result> completed_ GUARDED_BY(mutex_);
    std::map<uint64_t, uint32_t> awaited_ GUARDED_BY(mutex_);  // statuses of runs a caller waits for
    bool delivering_ GUARDED_BY(mutex_) = false;
    std::deque<void *> outputs_ GUARDED_BY(mutex_);
    bool closing_ GUARDED_BY(mutex_) = false;    // refuses new runs
    bool abandoned_ GUARDED_BY(mutex_) = false;  // drops what is queued (process exit)
    bool stopping_ GUARDED_BY(mutex_) = false;
    bool dispatched_ GUARDED_BY(mutex_) = false;  // the dispatcher has handed out its last job
    std::thread dispatcher_;
    std::vector<std::thread> pool_;
};

}  // namespace zecl
