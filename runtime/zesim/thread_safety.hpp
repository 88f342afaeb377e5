// Locks clang's thread-safety analysis can check (-Wthread-safety): the annotation
// macros, a mutex and a scoped lock carrying them, and the one timed wait on a
// condition variable the libraries use. With other compilers the macros expand to
// nothing and Mutex and MutexLock are plain std::mutex and std::unique_lock.
//
// Condition variables stay std::condition_variable: they wait on the MutexLock's
// std::unique_lock (native()). A predicate reading guarded members is a lambda of its
// own to the analysis, so it says which lock it runs under: [&]() REQUIRES(mutex_) {...}.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#if defined(__clang__)
#define ZESIM_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ZESIM_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) ZESIM_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY ZESIM_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) ZESIM_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) ZESIM_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) ZESIM_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) ZESIM_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) ZESIM_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) ZESIM_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) ZESIM_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) ZESIM_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) ZESIM_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) ZESIM_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) ZESIM_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS ZESIM_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace zesim {

class CAPABILITY("mutex") Mutex {
public:
    constexpr Mutex() noexcept = default;  // constant-initialised, as std::mutex is
    Mutex(const Mutex &) = delete;
    Mutex &operator=(const Mutex &) = delete;

    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }
    std::mutex &native() { return mutex_; }

private:
    std::mutex mutex_;
};

// Holds a Mutex from construction to destruction, or in between as unlock and lock say.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex &mutex) ACQUIRE(mutex) : lock_(mutex.native()) {}
    ~MutexLock() RELEASE() {}
    MutexLock(const MutexLock &) = delete;
    MutexLock &operator=(const MutexLock &) = delete;

    void lock() ACQUIRE() { lock_.lock(); }
    void unlock() RELEASE() { lock_.unlock(); }
    // For condition variables, which give the lock up while they wait and hold it again
    // when they return.
    std::unique_lock<std::mutex> &native() { return lock_; }

private:
    std::unique_lock<std::mutex> lock_;
};

// The wait that means none: ZEME_WAIT_FOREVER, ZECL_WAIT_FOREVER.
constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

// Waits on `changed`, with `lock` held, until `ready()` holds or `timeoutMs` has passed
// (kWaitForever: no limit). False when it timed out with `ready()` still false.
template <class Ready>
bool waitUntil(std::condition_variable &changed, MutexLock &lock, uint32_t timeoutMs, Ready ready) {
    if (timeoutMs == kWaitForever) {
        changed.wait(lock.native(), ready);
        return true;
    }
    return changed.wait_for(lock.native(), std::chrono::milliseconds(timeoutMs), ready);
}

}  // namespace zesim
