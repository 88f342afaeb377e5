// Ordered queues of asynchronous work. Each device has a default queue for the
// common runtime's asynchronous copies and fills; op streams of the compute
// library bring queues of their own.
#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "zesim/call.hpp"

namespace zesim {

class ZESIM_EXPORT TaskQueue {
public:
    virtual ~TaskQueue() = default;
    // Runs `task` after every task pushed before it.
    virtual void push(std::function<void()> task) = 0;
    // Returns once every task pushed so far has run.
    virtual void drain() = 0;
};

// Queues whose work every synchronous touch of memory waits for: the devices'
// default queues. (Op streams are not tracked: their work may wait for report
// callbacks, which may wait for the caller; they are synchronized explicitly.)
ZESIM_EXPORT void trackQueue(const std::shared_ptr<TaskQueue> &queue);
// Waits for every tracked queue that is still alive.
ZESIM_EXPORT void drainAllQueues();

// A TaskQueue served by one worker thread of its own.
class ZESIM_EXPORT SerialQueue : public TaskQueue {
public:
    SerialQueue();
    ~SerialQueue() override;  // runs what is queued, then stops the worker
    void push(std::function<void()> task) override;
    void drain() override;

private:
    void serve();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> tasks_;
    uint64_t pushed_ = 0, done_ = 0;
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace zesim
