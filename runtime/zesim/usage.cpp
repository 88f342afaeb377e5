#include "zesim/usage.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

namespace zesim {
namespace usage {
namespace {

constexpr size_t kHeaderSize = sizeof(Header);
constexpr size_t kFileSize = kHeaderSize + sizeof(Slot) * kSlots;
// A process found alive is not looked up again for this long.
constexpr uint64_t kAliveCacheNs = 250000000;
static_assert(kHeaderSize % alignof(Slot) == 0, "slots stay aligned");

// Reads a whole small file (a /proc entry); false when it cannot be read.
bool readFile(const char *path, std::string *text) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buffer[4096];
    text->clear();
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        text->append(buffer, static_cast<size_t>(got));
        if (text->size() >= 65536) break;
    }
    ::close(fd);
    return !text->empty();
}

// The command line of this process, arguments separated by spaces.
std::string commandLine() {
    std::string text;
    if (readFile("/proc/self/cmdline", &text)) {
        std::replace(text.begin(), text.end(), '\0', ' ');
        while (!text.empty() && text.back() == ' ') text.pop_back();
        if (!text.empty()) return text;
    }
    if (readFile("/proc/self/comm", &text)) {
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        if (!text.empty()) return text;
    }
    return "pid " + std::to_string(::getpid());
}

int64_t clampToZero(int64_t value) { return value < 0 ? 0 : value; }

// Adds `ns` to the bucket numbered `bucket` held in `cell`: a cell still holding an
// older bucket starts again from zero; one already holding a newer bucket is left
// alone (the part is too old to be counted).
void addToBucket(std::atomic<uint64_t> &cell, uint64_t bucket, uint64_t ns) {
    const uint64_t tag = bucket & kTagMask;
    uint64_t value = cell.load(std::memory_order_relaxed);
    for (;;) {
        const uint64_t held = value >> kBusyBits;
        uint64_t next;
        if (held == tag)
            next = (tag << kBusyBits) | std::min(kBusyMask, (value & kBusyMask) + ns);
        else if (((tag - held) & kTagMask) < (kTagMask >> 1))
            next = (tag << kBusyBits) | std::min(kBusyMask, ns);
        else
            return;
        if (cell.compare_exchange_weak(value, next, std::memory_order_relaxed)) return;
    }
}

// This process's slot: claimed on first use, given back at exit, forgotten by a
// forked child (which claims its own).
enum SelfState : int { kUntried, kClaimed, kNone, kClosed };
Mutex selfMutex;  // orders claiming, opening the registry, forks
std::atomic<Slot *> self{nullptr};
std::atomic<int> selfState{kUntried};

struct Opened {
    bool done = false;
    State state = State::Off;
    std::shared_ptr<Registry> registry;
    std::string error;
};
// Kept mapped for the life of the process (never destroyed at exit): threads still
// working while the process exits may be writing into it.
Opened &opened GUARDED_BY(selfMutex) = *new Opened();

void leave() EXCLUDES(selfMutex) {
    MutexLock lock(selfMutex);
    Slot *slot = self.exchange(nullptr);
    selfState = kClosed;
    if (slot && opened.registry) opened.registry->release(slot, ::getpid());
}

// Held across fork, so that the child finds the registry's state whole.
void beforeFork() ACQUIRE(selfMutex) { selfMutex.lock(); }
void afterForkParent() RELEASE(selfMutex) { selfMutex.unlock(); }
void afterForkChild() RELEASE(selfMutex) {
    self = nullptr;
    if (selfState == kClaimed) selfState = kUntried;
    selfMutex.unlock();
}

State openShared(std::shared_ptr<Registry> *registry, std::string *error) REQUIRES(selfMutex) {
    if (!opened.done) {
        opened.done = true;
        std::string path = registryPath();
        if (path.empty()) {
            opened.state = State::Off;
        } else {
            opened.registry = Registry::open(path, &opened.error);
            opened.state = opened.registry ? State::Ready : State::Unusable;
        }
    }
    if (registry) *registry = opened.registry;
    if (error) *error = opened.error;
    return opened.state;
}

// Called from the libraries' hooks (inside their C entry points): never throws; a
// process that cannot claim a slot (no memory left, no registry) publishes nothing.
Slot *claimSelf() noexcept EXCLUDES(selfMutex) {
    MutexLock lock(selfMutex);
    if (selfState != kUntried) return self.load();
    std::shared_ptr<Registry> registry;
    Slot *slot = nullptr;
    try {
        if (openShared(&registry, nullptr) == State::Ready) {
            uint64_t start = 0;
            const int32_t pid = ::getpid();
            processStart(pid, &start);
            slot = registry->claim(pid, start, commandLine());
        }
    } catch (...) {
        slot = nullptr;
    }
    if (!slot) {
        selfState = kNone;
        return nullptr;
    }
    static bool hooked = false;
    if (!hooked) {
        hooked = true;
        std::atexit(leave);
        pthread_atfork(beforeFork, afterForkParent, afterForkChild);
    }
    self.store(slot, std::memory_order_release);
    selfState = kClaimed;
    return slot;
}

Slot *ownSlot() noexcept {
    Slot *slot = self.load(std::memory_order_acquire);
    if (slot) return slot;
    if (selfState.load(std::memory_order_relaxed) != kUntried) return nullptr;
    return claimSelf();
}

}  // namespace

std::string registryPath() {
    const char *name = std::getenv("ZESIM_REGISTRY");
    if (name && std::strcmp(name, "off") == 0) return std::string();
    if (name && *name) return name;
    return "/dev/shm/zesim-registry-v" + std::to_string(kVersion) + "-" + std::to_string(::getuid());
}

uint64_t now() {
    timespec time{};
    clock_gettime(CLOCK_MONOTONIC, &time);
    return uint64_t(time.tv_sec) * 1000000000u + uint64_t(time.tv_nsec);
}

bool processStart(int32_t pid, uint64_t *ticks) {
    if (pid <= 0) return false;
    std::string text;
    if (!readFile(("/proc/" + std::to_string(pid) + "/stat").c_str(), &text)) return false;
    // pid (comm) state ppid ...: the command may hold anything, so fields are counted
    // from the last parenthesis; the start time is the 22nd field.
    size_t close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size()) return false;
    const char state = text[close + 2];
    if (state == 'Z' || state == 'X' || state == 'x') return false;
    const char *cursor = text.c_str() + close + 2;
    for (int field = 3; field < 22; ++field) {
        cursor = std::strchr(cursor, ' ');
        if (!cursor) return false;
        ++cursor;
    }
    char *end = nullptr;
    unsigned long long value = std::strtoull(cursor, &end, 10);
    if (end == cursor) return false;
    *ticks = value;
    return true;
}

std::shared_ptr<Registry> Registry::open(const std::string &path, std::string *error) {
    auto fail = [&](const std::string &why) {
        if (error) *error = "usage registry " + path + ": " + why;
        return std::shared_ptr<Registry>();
    };
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return fail(std::strerror(errno));
    // The creator lays the header under an exclusive lock (the kernel drops it with a
    // process that dies); one that cannot get it within a second gives up.
    bool locked = false;
    for (int attempt = 0; attempt < 100 && !locked; ++attempt) {
        locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (!locked) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!locked) {
        ::close(fd);
        return fail("locked by another process");
    }
    struct stat info {};
    std::string problem;
    const Header expected{kMagic, kVersion, kSlots, static_cast<uint32_t>(sizeof(Slot)), kDevices};
    if (::fstat(fd, &info) != 0) {
        problem = std::strerror(errno);
    } else if (info.st_size == 0) {
        if (::ftruncate(fd, kFileSize) != 0 || ::pwrite(fd, &expected, sizeof expected, 0) != sizeof expected)
            problem = std::strerror(errno);
    } else if (static_cast<uint64_t>(info.st_size) != kFileSize) {
        problem = "of another size (another layout: remove it)";
    }
    void *map = MAP_FAILED;
    if (problem.empty()) {
        map = ::mmap(nullptr, kFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map == MAP_FAILED) problem = std::strerror(errno);
    }
    if (problem.empty()) {
        Header header;
        std::memcpy(&header, map, sizeof header);
        if (header.magic != expected.magic || header.version != expected.version || header.slots != expected.slots ||
            header.slotSize != expected.slotSize || header.devices != expected.devices)
            problem = "holds something else (another layout: remove it)";
    }
    ::flock(fd, LOCK_UN);
    ::close(fd);
    if (!problem.empty()) {
        if (map != MAP_FAILED) ::munmap(map, kFileSize);
        return fail(problem);
    }
    std::shared_ptr<Registry> registry(new Registry());
    registry->path_ = path;
    registry->map_ = map;
    registry->size_ = kFileSize;
    registry->slots_ = reinterpret_cast<Slot *>(static_cast<char *>(map) + kHeaderSize);
    return registry;
}

Registry::~Registry() {
    if (map_) ::munmap(map_, size_);
}

bool Registry::alive(uint64_t owner, uint64_t now) {
    const int32_t pid = static_cast<int32_t>(owner >> 32);
    const uint64_t start = (owner >> 1) & 0x7FFFFFFFu;
    if (pid <= 0 || (::kill(pid, 0) != 0 && errno == ESRCH)) return false;  // gone (reaped)
    {
        MutexLock lock(mutex_);
        auto found = checked_.find(owner & ~uint64_t{1});
        if (found != checked_.end() && now - found->second < kAliveCacheNs) return true;
    }
    uint64_t ticks = 0;
    if (!processStart(pid, &ticks)) return false;
    if (start != 0 && (ticks & 0x7FFFFFFFu) != start) return false;  // the pid names another process now
    MutexLock lock(mutex_);
    if (checked_.size() > 4 * kSlots) checked_.clear();
    checked_[owner & ~uint64_t{1}] = now;
    return true;
}

Slot *Registry::claim(int32_t pid, uint64_t startTicks, const std::string &name) {
    const uint64_t mine = identity(pid, startTicks);
    const uint64_t time = now();
    for (int pass = 0; pass < 2; ++pass) {
        for (uint32_t i = 0; i < kSlots; ++i) {
            Slot &slot = slots_[i];
            uint64_t owner = slot.owner.load(std::memory_order_acquire);
            if (owner != 0) {
                // On the second pass, slots of dead processes are freed and taken.
                if (pass == 0 || alive(owner, time)) continue;
                if (!slot.owner.compare_exchange_strong(owner, 0)) continue;
                owner = 0;
            }
            if (!slot.owner.compare_exchange_strong(owner, mine)) continue;
            for (auto &bytes : slot.memory) bytes.store(0, std::memory_order_relaxed);
            for (auto &engine : slot.meters)
                for (Meter &meter : engine) {
                    for (auto &bucket : meter.buckets) bucket.store(0, std::memory_order_relaxed);
                    for (auto &start : meter.active) start.store(0, std::memory_order_relaxed);
                }
            const size_t length = std::min(name.size(), size_t{kNameLength - 1});
            std::memcpy(slot.name, name.data(), length);
            std::memset(slot.name + length, 0, kNameLength - length);
            slot.owner.store(mine | 1, std::memory_order_release);
            return &slot;
        }
    }
    return nullptr;
}

void Registry::release(Slot *slot, int32_t pid) {
    uint64_t owner = slot->owner.load();
    if (owner && static_cast<int32_t>(owner >> 32) == pid) slot->owner.compare_exchange_strong(owner, 0);
}

std::vector<Process> Registry::processes(uint64_t time, uint32_t aiDevices, uint32_t codecDevices) {
    static_assert(kDevices <= 32, "device masks of 32 bits");
    std::vector<Process> found;
    for (uint32_t i = 0; i < kSlots; ++i) {
        Slot &slot = slots_[i];
        uint64_t owner = slot.owner.load(std::memory_order_acquire);
        if (owner == 0) continue;
        if (!alive(owner, time)) {
            slot.owner.compare_exchange_strong(owner, 0);  // unless it changed meanwhile
            continue;
        }
        if (!(owner & 1)) continue;  // still being written
        Process process;
        process.pid = static_cast<int32_t>(owner >> 32);
        char name[kNameLength];
        std::memcpy(name, slot.name, kNameLength);
        name[kNameLength - 1] = '\0';
        process.name = name;
        for (uint32_t d = 0; d < kDevices; ++d) {
            process.memory[d] = static_cast<uint64_t>(clampToZero(slot.memory[d].load(std::memory_order_relaxed)));
            for (uint32_t e = 0; e < kEngines; ++e) {
                const bool ai = e == uint32_t(Engine::Compute) || e == uint32_t(Engine::Preprocess);
                if ((ai ? aiDevices : codecDevices) >> d & 1) process.load[e][d] = load(slot.meters[e][d], time);
            }
        }
        // A slot freed or claimed again while it was read is left out.
        if (slot.owner.load(std::memory_order_acquire) != owner) continue;
        found.push_back(std::move(process));
    }
    return found;
}

State shared(std::shared_ptr<Registry> *registry, std::string *error) {
    MutexLock lock(selfMutex);
    return openShared(registry, error);
}

void addMemory(uint32_t device, int64_t bytes) noexcept {
    Slot *slot = ownSlot();
    if (slot && device < kDevices) slot->memory[device].fetch_add(bytes, std::memory_order_relaxed);
}

void account(Meter &meter, uint64_t start, uint64_t end) {
    if (end <= start) return;
    const uint64_t last = end / kBucketNs;
    uint64_t first = start / kBucketNs;
    if (last - first >= kBuckets) first = last - (kBuckets - 1);  // older parts are no longer kept
    for (uint64_t bucket = first; bucket <= last; ++bucket) {
        const uint64_t low = std::max(start, bucket * kBucketNs), high = std::min(end, (bucket + 1) * kBucketNs);
        if (high > low) addToBucket(meter.buckets[bucket % kBuckets], bucket, high - low);
    }
}

double load(const Meter &meter, uint64_t time) {
    const uint64_t current = time / kBucketNs;
    if (current < kWindowBuckets) return 0;
    const uint64_t windowStart = (current - (kWindowBuckets - 1)) * kBucketNs;
    const uint64_t span = time - windowStart;
    uint64_t busy = 0;
    for (const auto &cell : meter.buckets) {
        const uint64_t value = cell.load(std::memory_order_relaxed);
        const uint64_t age = (current - (value >> kBusyBits)) & kTagMask;
        if (age < kWindowBuckets) busy += std::min(value & kBusyMask, kBucketNs * kActive * 8);
    }
    for (const auto &cell : meter.active) {
        const uint64_t start = cell.load(std::memory_order_relaxed);
        if (start && start <= time) busy += time - std::max(start, windowStart);
    }
    return span ? static_cast<double>(busy) / static_cast<double>(span) : 0.0;
}

Busy::Busy(Engine engine, int64_t device) noexcept {
    const auto index = static_cast<uint32_t>(engine);
    if (device < 0 || device >= kDevices || index >= kEngines) return;
    slot_ = ownSlot();
    if (!slot_) return;
    meter_ = &slot_->meters[index][device];
    start_ = now();
    for (uint32_t i = 0; i < kActive; ++i) {
        uint64_t free = 0;
        if (meter_->active[i].compare_exchange_strong(free, start_, std::memory_order_relaxed)) {
            active_ = static_cast<int>(i);
            break;
        }
    }
}

Busy::~Busy() {
    if (!meter_) return;
    // The slot may have been given back (exit) or left to a parent (fork) meanwhile.
    if (self.load(std::memory_order_acquire) != slot_) return;
    if (active_ >= 0) meter_->active[active_].store(0, std::memory_order_relaxed);
    account(*meter_, start_, now());
}

}  // namespace usage
}  // namespace zesim
