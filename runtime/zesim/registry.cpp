#include "zesim/registry.hpp"

#include <map>
#include <mutex>

namespace zesim {
namespace {

// Kept for the process, never destroyed: objects still registered at exit are
// left to the operating system, since their destructors (which release owned
// memory through this very registry, or touch other libraries' state) must not
// run during static teardown.
std::mutex &mutex = *new std::mutex;
std::map<uintptr_t, Entry> &entries = *new std::map<uintptr_t, Entry>;  // ordered, for range lookups

uintptr_t key(const void *handle) { return reinterpret_cast<uintptr_t>(handle); }

}  // namespace

void registerHandle(Entry entry) {
    std::lock_guard<std::mutex> lock(mutex);
    entries[key(entry.handle)] = std::move(entry);
}

std::shared_ptr<void> findHandle(const void *handle, Kind kind) {
    if (!handle) return nullptr;
    std::lock_guard<std::mutex> lock(mutex);
    auto found = entries.find(key(handle));
    if (found == entries.end() || found->second.kind != kind) return nullptr;
    return found->second.object;
}

std::shared_ptr<void> unregisterHandle(const void *handle, Kind kind) {
    if (!handle) return nullptr;
    std::shared_ptr<void> object;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto found = entries.find(key(handle));
        if (found == entries.end() || found->second.kind != kind) return nullptr;
        object = std::move(found->second.object);
        entries.erase(found);
    }
    return object;  // released by the caller, outside the lock
}

bool findEntry(const void *handle, Kind kind, Entry *entry) {
    if (!handle) return false;
    std::lock_guard<std::mutex> lock(mutex);
    auto found = entries.find(key(handle));
    if (found == entries.end() || found->second.kind != kind) return false;
    *entry = found->second;
    return true;
}

bool findBlock(const void *address, Entry *block) {
    if (!address) return false;
    std::lock_guard<std::mutex> lock(mutex);
    auto after = entries.upper_bound(key(address));
    if (after == entries.begin()) return false;
    const Entry &candidate = std::prev(after)->second;
    uintptr_t offset = key(address) - key(candidate.handle);
    if (offset >= candidate.size) return false;
    *block = candidate;
    return true;
}

std::vector<Entry> unregisterDevice(int32_t device) {
    std::vector<Entry> removed;
    std::lock_guard<std::mutex> lock(mutex);
    for (auto it = entries.begin(); it != entries.end();) {
        if (device == kNoDevice || it->second.device == device) {
            removed.push_back(std::move(it->second));
            it = entries.erase(it);
        } else {
            ++it;
        }
    }
    return removed;  // the objects die with the vector, outside the lock
}

void drainHandleQueues(int32_t device) {
    std::vector<std::shared_ptr<TaskQueue>> queues;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto &[handle, entry] : entries)
            if (entry.queue && (device == kNoDevice || entry.device == device)) queues.push_back(entry.queue);
    }
    for (const auto &queue : queues) queue->drain();  // outside the lock: reports may call the card
}

}  // namespace zesim

size_t zesimHandleCount(void) {
    std::lock_guard<std::mutex> lock(zesim::mutex);
    return zesim::entries.size();
}
