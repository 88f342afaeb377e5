// The lifecycle decoder and encoder channels share: the state machine of start, stop,
// reset and close, the two locks that order them, and the worker thread that takes the
// input in order and, after the end mark, flushes. Each kind of channel plugs in its
// coder, what a piece of input does, and what it drops or takes back.
#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <system_error>
#include <thread>
#include <utility>

#include "zesim/thread_safety.hpp"
#include "zeme.h"

namespace zeme {

static_assert(ZEME_WAIT_FOREVER == zesim::kWaitForever, "one infinite wait");

template <class Input> class ChannelLifecycle {
public:
    ChannelLifecycle(const ChannelLifecycle &) = delete;
    ChannelLifecycle &operator=(const ChannelLifecycle &) = delete;

    uint32_t start() EXCLUDES(control_, mutex_);
    uint32_t stop() EXCLUDES(control_, mutex_);
    uint32_t reset() EXCLUDES(control_, mutex_);
    // Stops the channel for good and takes back everything handed out (destroy,
    // uninitialise).
    void close() EXCLUDES(control_, mutex_);

protected:
    using Mutex = zesim::Mutex;
    using MutexLock = zesim::MutexLock;

    ChannelLifecycle() = default;
    // A kind of channel calls close() in its own destructor, while its hooks still exist.
    virtual ~ChannelLifecycle() = default;

    // Started, taking calls: running, or running on after a stream error.
    bool running() const REQUIRES(mutex_) { return state_ == ZEME_ST_RUNNING || state_ == ZEME_ST_ERROR; }

    // What each kind plugs in. With control_ held:
    // the channel runs a worker thread (video channels);
    virtual bool threaded() const = 0;
    // before the worker thread starts: the coder it uses;
    virtual uint32_t openCoder() = 0;
    // once the thread has ended, or could not start: the coder goes.
    virtual void closeCoder() = 0;
    // With mutex_ held: the counters start again (each start, and a reset of a channel
    // not started);
    virtual void clearCounters() REQUIRES(mutex_) {}
    // a reset could not start the channel again (it is STOPPED);
    virtual void restartFailed(uint32_t status) REQUIRES(mutex_) {}
    // the worker took a piece off the input;
    virtual void taken(const Input &piece) REQUIRES(mutex_) {}
    // halted: drops what was not received yet (the input and the end mark go here);
    // the function returned, if any, runs once the lock is given up;
    virtual std::function<void()> discard() REQUIRES(mutex_) = 0;
    // closed: takes back what was handed out, likewise.
    virtual std::function<void()> takeBack() REQUIRES(mutex_) = 0;
    // On the worker thread, no lock held: a piece of input, or null for the end mark
    // (flush the coder). False once the thread must end.
    virtual bool handle(Input *piece) = 0;

    Mutex control_ ACQUIRED_BEFORE(mutex_);  // orders start, stop, reset and close
    Mutex mutex_;                            // guards the state, the input and the kind's own
    std::condition_variable changed_;
    zemeState state_ GUARDED_BY(mutex_) = ZEME_ST_READY;
    bool closed_ GUARDED_BY(mutex_) = false;
    bool quit_ GUARDED_BY(mutex_) = false;  // the worker thread must end
    std::deque<Input> input_ GUARDED_BY(mutex_);
    bool endMarked_ GUARDED_BY(mutex_) = false;  // the end of the input came
    bool flushed_ GUARDED_BY(mutex_) = false;    // ... and the coder gave out its last output

private:
    void work() EXCLUDES(mutex_);
    // Ends the worker thread, closes the coder and drops the input and what was not
    // received.
    void halt() REQUIRES(control_) EXCLUDES(mutex_);
    // A fresh coder and its thread; the channel runs.
    uint32_t launch() REQUIRES(control_) EXCLUDES(mutex_);

    std::thread worker_ GUARDED_BY(control_);
};

template <class Input> void ChannelLifecycle<Input>::halt() {
    {
        MutexLock lock(mutex_);
        quit_ = true;
    }
    changed_.notify_all();
    if (worker_.joinable()) worker_.join();
    closeCoder();
    std::function<void()> dropped;
    {
        MutexLock lock(mutex_);
        dropped = discard();
        input_.clear();
        endMarked_ = flushed_ = false;
    }
    changed_.notify_all();
    if (dropped) dropped();
}

template <class Input> uint32_t ChannelLifecycle<Input>::launch() {
    if (uint32_t status = openCoder()) return status;
    {
        MutexLock lock(mutex_);
        quit_ = false;
        clearCounters();
    }
    if (threaded()) {
        try {
            worker_ = std::thread([this] { work(); });
        } catch (const std::system_error &) {
            closeCoder();
            return zemeER_RSLT_ERR_NO_MEMORY;
        }
    }
    {
        MutexLock lock(mutex_);
        state_ = ZEME_ST_RUNNING;
    }
    changed_.notify_all();
    return zemeER_SUCCESS;
}

// Start: from READY or STOPPED, with a fresh coder.
template <class Input> uint32_t ChannelLifecycle<Input>::start() {
    MutexLock control(control_);
    {
        MutexLock lock(mutex_);
        if (closed_) return zemeER_RSLT_ERR_INVALID_CHANNEL;
        if (running()) return zemeER_RSLT_ERR_STATE;
    }
    return launch();
}

// Stop: the input and what was not received are dropped; what was handed out stays
// valid until released.
template <class Input> uint32_t ChannelLifecycle<Input>::stop() {
    MutexLock control(control_);
    {
        MutexLock lock(mutex_);
        if (closed_) return zemeER_RSLT_ERR_INVALID_CHANNEL;
        if (!running()) return zemeER_RSLT_ERR_STATE;
        state_ = ZEME_ST_STOPPING;
    }
    halt();
    MutexLock lock(mutex_);
    state_ = ZEME_ST_STOPPED;
    changed_.notify_all();
    return zemeER_SUCCESS;
}

// Reset: a started channel drops what stop drops and the end mark, and goes on with a
// fresh coder; a channel not started only has its counters cleared.
template <class Input> uint32_t ChannelLifecycle<Input>::reset() {
    MutexLock control(control_);
    {
        MutexLock lock(mutex_);
        if (closed_) return zemeER_RSLT_ERR_INVALID_CHANNEL;
        if (!running()) {
            clearCounters();
            return zemeER_SUCCESS;
        }
        state_ = ZEME_ST_STOPPING;
    }
    halt();
    if (uint32_t status = launch()) {
        MutexLock lock(mutex_);
        state_ = ZEME_ST_STOPPED;
        restartFailed(status);
        return status;
    }
    return zemeER_SUCCESS;
}

template <class Input> void ChannelLifecycle<Input>::close() {
    MutexLock control(control_);
    {
        MutexLock lock(mutex_);
        if (closed_ && !worker_.joinable()) return;
        closed_ = true;
        state_ = ZEME_ST_STOPPING;
    }
    halt();
    std::function<void()> taken;
    {
        MutexLock lock(mutex_);
        taken = takeBack();
        state_ = ZEME_ST_NONE;
    }
    changed_.notify_all();
    if (taken) taken();
}

// The worker thread: takes the input in order and hands it to the kind; after the end
// mark, has it flush. It touches the channel only while the channel waits for it.
template <class Input> void ChannelLifecycle<Input>::work() {
    for (;;) {
        Input piece;
        bool end = false;
        {
            MutexLock lock(mutex_);
            changed_.wait(lock.native(),
                          [&]() REQUIRES(mutex_) { return quit_ || !input_.empty() || (endMarked_ && !flushed_); });
            if (quit_) return;
            if (!input_.empty()) {
                piece = std::move(input_.front());
                input_.pop_front();
                taken(piece);
                changed_.notify_all();
            } else {
                end = true;
            }
        }
        if (!handle(end ? nullptr : &piece)) return;
        if (end) {  // also after a failure: the receivers must see the end
            MutexLock lock(mutex_);
            flushed_ = true;
            changed_.notify_all();
        }
    }
}

}  // namespace zeme
