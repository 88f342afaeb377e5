// The usage registry: what every process using the card does with it, kept in a
// small shared-memory file so that the management library of any process can report
// the card's memory in use, its load and the processes on it.
//
// The file holds a header and one slot per process. A process claims a slot on its
// first use of the card (its first device allocation or timed work) and publishes
// there its pid, its command line, the device memory it holds per AI device, and
// the busy time of each engine per device. It frees the slot when it exits; a slot
// whose process has died (or whose pid now names another process, told apart by the
// process's start time) is freed by whichever process comes across it.
//
// Writers touch only their own slot, with relaxed atomic adds: accounting an
// allocation costs one atomic add, no lock and no system call. Nothing a reader does
// waits for a writer, and every value read is checked or clamped, so a corrupt or
// half-written slot never makes a reader misbehave.
//
// ZESIM_REGISTRY names the file: unset or empty gives /dev/shm/zesim-registry-v1-<uid>
// (the layout version, then the user id), "off" gives none (nothing is published and
// every reader sees an idle card).
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "zesim/call.hpp"
#include "zesim/thread_safety.hpp"

namespace zesim {
namespace usage {

// The engines whose busy time is published: compute runs and preprocess ops per AI
// device, decoder and encoder channel work per codec device.
enum class Engine : uint32_t { Compute = 0, Preprocess = 1, Decoder = 2, Encoder = 3 };
constexpr uint32_t kEngines = 4;
// Device indexes 0 to kDevices - 1 of each kind are published; work on others is not.
constexpr uint32_t kDevices = 32;
constexpr uint32_t kSlots = 128;
constexpr uint32_t kNameLength = 128;

// Busy time is kept in buckets of 100 ms, the last 16 of them; the load is read over
// the last 10 (the current bucket and the 9 before it: 0.9 to 1 s).
constexpr uint64_t kBucketNs = 100000000;
constexpr uint32_t kBuckets = 16;
constexpr uint32_t kWindowBuckets = 10;
// A bucket word: the bucket's number (low 24 bits) above 40 bits of busy nanoseconds.
constexpr uint32_t kBusyBits = 40;
constexpr uint64_t kBusyMask = (uint64_t{1} << kBusyBits) - 1;
constexpr uint64_t kTagMask = (uint64_t{1} << 24) - 1;
// Spans of work in progress each publish their start, up to this many at once per
// meter (more still count once they end).
constexpr uint32_t kActive = 8;

static_assert(std::atomic<uint64_t>::is_always_lock_free, "shared atomics must be lock-free");

// Busy time of one engine of one device.
struct Meter {
    std::atomic<uint64_t> buckets[kBuckets];
    std::atomic<uint64_t> active[kActive];  // start (monotonic ns) of spans in progress; 0: none
};

struct alignas(64) Slot {
    // pid << 32 | (start time in clock ticks, low 31 bits) << 1 | ready; 0: free.
    // Claimed with the ready bit clear; the owner sets it once the slot is written.
    std::atomic<uint64_t> owner;
    uint64_t reserved[7];
    char name[kNameLength];                 // the command line, NUL-terminated
    std::atomic<int64_t> memory[kDevices];  // device memory in bytes per AI device
    Meter meters[kEngines][kDevices];
};

struct alignas(64) Header {
    uint64_t magic;
    uint32_t version;
    uint32_t slots;
    uint32_t slotSize;
    uint32_t devices;
};

constexpr uint64_t kMagic = 0x59524749534d4953ull;  // "SIMSIGRY"
constexpr uint32_t kVersion = 1;

// The owner word of a process.
inline uint64_t identity(int32_t pid, uint64_t startTicks) {
    return (uint64_t(uint32_t(pid)) << 32) | ((startTicks & 0x7FFFFFFFu) << 1);
}

// A live process of the registry, as read at one moment.
struct Process {
    int32_t pid = 0;
    std::string name;
    uint64_t memory[kDevices] = {};        // bytes per AI device
    double load[kEngines][kDevices] = {};  // busy seconds per second over the last second
};

// A registry file mapped into this process.
class ZESIM_EXPORT Registry {
public:
    // Opens the registry at `path`, creating it when absent. Null, with the reason in
    // `error`, when the file cannot be opened or holds something else.
    static std::shared_ptr<Registry> open(const std::string &path, std::string *error);
    ~Registry();
    Registry(const Registry &) = delete;
    Registry &operator=(const Registry &) = delete;

    // Claims a free slot (freeing those of dead processes if none is free) for a
    // process, writes its name and zeros, and marks it ready. Null when all are taken.
    Slot *claim(int32_t pid, uint64_t startTicks, const std::string &name);
    // Frees a slot claimed for `pid` (left alone if it now belongs to another).
    void release(Slot *slot, int32_t pid);
    // The live processes with their memory and load at monotonic time `now`; the slots
    // of dead processes are freed on the way. A process that has exited is seen at once;
    // one found alive is checked for zombies and reused pids again after 250 ms.
    // Loads are read only for the devices in the masks (bit d: device d; compute and
    // preprocess on AI devices, decoder and encoder on codec devices), the others left 0.
    std::vector<Process> processes(uint64_t now, uint32_t aiDevices = ~0u, uint32_t codecDevices = ~0u);
    Slot &slot(uint32_t index) { return slots_[index]; }
    const std::string &path() const { return path_; }

private:
    Registry() = default;
    bool alive(uint64_t owner, uint64_t now) EXCLUDES(mutex_);

    std::string path_;
    void *map_ = nullptr;
    size_t size_ = 0;
    Slot *slots_ = nullptr;
    Mutex mutex_;
    std::unordered_map<uint64_t, uint64_t> checked_ GUARDED_BY(mutex_);  // owner word -> when found alive
};

// The registry this process uses (ZESIM_REGISTRY), opened on first call and kept.
enum class State { Off, Ready, Unusable };
ZESIM_EXPORT State shared(std::shared_ptr<Registry> *registry, std::string *error = nullptr);
// The file ZESIM_REGISTRY names (empty when off).
ZESIM_EXPORT std::string registryPath();

// Monotonic time in nanoseconds (the same clock in every process of the host).
ZESIM_EXPORT uint64_t now();
// Start time in clock ticks of a live process; false when there is no such process
// (or it is a zombie).
ZESIM_EXPORT bool processStart(int32_t pid, uint64_t *ticks);

// Adds `bytes` (negative: subtracts) to this process's device memory on AI device
// `device`. Claims the process's slot on first use.
ZESIM_EXPORT void addMemory(uint32_t device, int64_t bytes) noexcept;

// Work of an engine on a device, from construction to destruction. A negative
// device (work on no device) is not counted.
class ZESIM_EXPORT Busy {
public:
    Busy(Engine engine, int64_t device) noexcept;
    ~Busy();
    Busy(const Busy &) = delete;
    Busy &operator=(const Busy &) = delete;

private:
    Slot *slot_ = nullptr;
    Meter *meter_ = nullptr;
    int active_ = -1;
    uint64_t start_ = 0;
};

// Adds the span [start, end) (monotonic ns) to a meter; the load of a meter at `now`
// (busy seconds per second over the window, before any cap). Exposed for tests.
ZESIM_EXPORT void account(Meter &meter, uint64_t start, uint64_t end);
ZESIM_EXPORT double load(const Meter &meter, uint64_t now);

}  // namespace usage
}  // namespace zesim
