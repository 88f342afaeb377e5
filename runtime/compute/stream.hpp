// Op streams: a built snapshot of a graph, runs queued in submission order and
// executed on worker threads, reports and outputs delivered in submission order.
#pragma once
#include "compute/compute.hpp"
#include "sim/queue.hpp"

namespace zecl {

// One run-model op of a run, in execution order.
struct Step {
    std::shared_ptr<Op> op;
    int feeder = -1;         // index of the step whose outputs feed it; -1: the run's input
    bool registered = false;  // its outputs go into the run's output dataset
};

class Stream : public zesim::TaskQueue {
public:
    Stream(std::shared_ptr<Graph> graph, zeclBalanceMode mode, uint32_t device);
    ~Stream() override;

    uint32_t device() const { return device_; }
    uint32_t build();
    void subscribe(zeclStreamReportCallback callback, void *user);
    // Checks and queues a run; writes its sequence number.
    uint32_t submit(void *inputOp, void *dataset, uint64_t *sequence);
    // Waits until the run has been delivered; its status, or zeclER_TIMEOUT.
    uint32_t waitRun(uint64_t sequence, uint32_t timeoutMs);
    // Waits until everything queued so far has finished; zeclER_TIMEOUT if it did not.
    uint32_t waitIdle(uint32_t timeoutMs);
    uint32_t cached() const;
    void *takeOutput();
    // Calls every subscriber from a thread of the stream's own and waits for them.
    void deliverReport(void *p1, void *p2, void *p3, int32_t errorCode, int32_t streamEnd);
    // True on the stream's own threads (where waiting for the stream would deadlock).
    bool ownsCurrentThread() const;
    // Refuses runs from now on and waits until those queued have been delivered.
    void close();
    // Finishes what is queued and stops the threads.
    void shutdown();
    // At process exit: drops what is queued, lets the runs under way end, stops the threads.
    void abandon();

    void push(std::function<void()> task) override;
    void drain() override;

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

    void dispatch();
    void work();
    Result execute(const Job &job);
    void complete(uint64_t sequence, Result result);
    void deliver(Result &result);
    void callSubscribers(void *p1, void *p2, void *p3, zeclCallbackStatus status);
    bool waitUntil(std::unique_lock<std::mutex> &lock, uint32_t timeoutMs,
                   const std::function<bool()> &done);

    std::shared_ptr<Graph> graph_;
    const zeclBalanceMode mode_;
    const uint32_t device_;
    const size_t poolSize_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool built_ = false;
    std::map<Op *, std::vector<Step>> plans_;  // per graph-input op
    std::vector<std::pair<zeclStreamReportCallback, void *>> subscribers_;
    std::deque<Job> jobs_;      // waiting for the dispatcher
    std::deque<Job> poolJobs_;  // runs handed to the pool
    uint64_t submitted_ = 0, finished_ = 0;
    size_t running_ = 0;  // runs handed to the pool and not yet computed
    std::map<uint64_t, Result> completed_;
    std::map<uint64_t, uint32_t> awaited_;  // statuses of runs a caller waits for
    bool delivering_ = false;
    std::deque<void *> outputs_;
    bool closing_ = false;    // refuses new runs
    bool abandoned_ = false;  // drops what is queued (process exit)
    bool stopping_ = false;
    bool dispatched_ = false;  // the dispatcher has handed out its last job
    std::thread dispatcher_;
    std::vector<std::thread> pool_;
};

}  // namespace zecl
