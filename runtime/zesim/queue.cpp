#include "zesim/queue.hpp"

#include <algorithm>

#include <vector>

namespace zesim {
namespace {

std::mutex trackedMutex;
std::vector<std::weak_ptr<TaskQueue>> tracked;

}  // namespace

void trackQueue(const std::shared_ptr<TaskQueue> &queue) {
    std::lock_guard<std::mutex> lock(trackedMutex);
    tracked.erase(
        std::remove_if(tracked.begin(), tracked.end(), [](const std::weak_ptr<TaskQueue> &q) { return q.expired(); }),
        tracked.end());
    tracked.push_back(queue);
}

void drainAllQueues() {
    std::vector<std::shared_ptr<TaskQueue>> live;
    {
        std::lock_guard<std::mutex> lock(trackedMutex);
        for (const auto &queue : tracked)
            if (auto held = queue.lock()) live.push_back(std::move(held));
    }
    for (const auto &queue : live) queue->drain();
}

SerialQueue::SerialQueue() : worker_([this] { serve(); }) {}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (worker_.get_id() == std::this_thread::get_id())
        worker_.detach();  // destroyed by its own last task
    else
        worker_.join();
}

void SerialQueue::push(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tasks_.push_back(std::move(task));
        ++pushed_;
    }
    changed_.notify_all();
}

void SerialQueue::drain() {
    if (std::this_thread::get_id() == worker_.get_id()) return;  // a task waiting for itself
    std::unique_lock<std::mutex> lock(mutex_);
    uint64_t target = pushed_;
    changed_.wait(lock, [&] { return done_ >= target; });
}

void SerialQueue::serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty()) return;  // stopping, nothing left
        std::function<void()> task = std::move(tasks_.front());
        tasks_.pop_front();
        lock.unlock();
        task();
        task = nullptr;
        lock.lock();
        ++done_;
        changed_.notify_all();
    }
}

}  // namespace zesim
