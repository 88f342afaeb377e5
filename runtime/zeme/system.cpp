// System set-up of the media engine and the store of host picture memory.
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <vector>

#include "zecm/memory.hpp"
#include "zeme/media.hpp"
#include "zesim/inventory.hpp"

namespace zeme {
namespace {

std::mutex systemMutex;  // orders initialise and uninitialise
std::atomic<bool> isInitialized{false};

constexpr size_t kPage = 4096;
constexpr size_t kHugePage = 2u << 20;

// The store of spare buffers, by size. It keeps at most kStoreBytes of them: recycling
// past that drops the spares recycled longest ago, so that pictures of ever new sizes
// (each wanting a buffer that no spare fits) do not pile up buffers nothing reuses.
constexpr size_t kStoreBytes = size_t{256} << 20;
struct Spare {
    std::shared_ptr<HostBuffer> buffer;
    uint64_t recycled;  // the order of its recycling
};
std::mutex storeMutex;
std::multimap<size_t, Spare> spareBuffers;
size_t spareBytes = 0;  // mapped bytes of the spares
uint64_t recycleCount = 0;

// Address ranges of buffers that died, without pages, by length; kept for the process.
std::mutex rangesMutex;
std::multimap<size_t, uint8_t *> &emptyRanges = *new std::multimap<size_t, uint8_t *>;

}  // namespace

HostBuffer::HostBuffer(size_t bytes) {
    const size_t unit = bytes >= 2 * kHugePage ? kHugePage : kPage;
    mapped = std::max(unit, (bytes + unit - 1) / unit * unit);
    size = bytes;
    {
        std::lock_guard<std::mutex> lock(rangesMutex);
        auto range = emptyRanges.lower_bound(mapped);
        if (range != emptyRanges.end() && range->first / 2 <= mapped) {
            mapped = range->first;
            data = range->second;
            emptyRanges.erase(range);
            return;
        }
    }
    void *memory = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
    if (unit == kHugePage) madvise(memory, mapped, MADV_HUGEPAGE);
    data = static_cast<uint8_t *>(memory);
}

HostBuffer::~HostBuffer() {
    madvise(data, mapped, MADV_DONTNEED);  // the pages go back; the range now reads zeros
    std::lock_guard<std::mutex> lock(rangesMutex);
    emptyRanges.emplace(mapped, data);
}

std::shared_ptr<HostBuffer> acquireHostBuffer(size_t size) {
    {
        std::lock_guard<std::mutex> lock(storeMutex);
        // The smallest spare that fits, unless it would waste more than half of itself.
        auto spare = spareBuffers.lower_bound(size);
        if (spare != spareBuffers.end() && spare->first / 2 <= size) {
            auto buffer = std::move(spare->second.buffer);
            spareBuffers.erase(spare);
            spareBytes -= buffer->mapped;
            return buffer;
        }
    }
    return std::make_shared<HostBuffer>(size);
}

void recycleHostBuffer(std::shared_ptr<HostBuffer> buffer) {
    if (!buffer) return;
    std::vector<std::shared_ptr<HostBuffer>> dropped;  // die after the lock is let go
    std::lock_guard<std::mutex> lock(storeMutex);
    if (!isInitialized.load()) return;         // after uninitialise: freed with its last holder
    if (buffer->mapped > kStoreBytes) return;  // one that big is not kept at all
    spareBytes += buffer->mapped;
    const size_t size = buffer->size;  // read before the buffer moves into its entry
    spareBuffers.emplace(size, Spare{std::move(buffer), recycleCount++});
    while (spareBytes > kStoreBytes && !spareBuffers.empty()) {
        auto oldest = spareBuffers.begin();
        for (auto spare = spareBuffers.begin(); spare != spareBuffers.end(); ++spare)
            if (spare->second.recycled < oldest->second.recycled) oldest = spare;
        spareBytes -= oldest->second.buffer->mapped;
        dropped.push_back(std::move(oldest->second.buffer));
        spareBuffers.erase(oldest);
    }
}

void clearHostBuffers() {
    std::multimap<size_t, Spare> dropped;
    std::lock_guard<std::mutex> lock(storeMutex);
    dropped.swap(spareBuffers);
    spareBytes = 0;
}

bool systemInitialized() { return isInitialized.load(std::memory_order_acquire); }

uint32_t streamBytes(const zemeStream &stream, const uint8_t **bytes) {
    if (stream.data) {
        *bytes = stream.data;
        return zemeER_SUCCESS;
    }
    if (!stream.busAddress) return zemeER_RSLT_ERR_INVALID_PARAM;
    const void *address = reinterpret_cast<const void *>(stream.busAddress);
    zesim::Entry block;
    if (zecm::findRange(address, stream.dataSize, &block) || !zecm::isDeviceKind(block.kind))
        return zemeER_RSLT_ERR_INVALID_PARAM;
    *bytes = static_cast<const uint8_t *>(address);
    return zemeER_SUCCESS;
}

int32_t codecDevice(uint32_t channel) {
    const auto &codecs = zesim::inventory().codecDevices;
    return codecs.empty() ? -1 : static_cast<int32_t>(channel % codecs.size());
}

uint32_t channelHardware(uint32_t channel, zemeHardwareID *hardware) {
    const auto &codecs = zesim::inventory().codecDevices;
    if (codecs.empty()) return zemeER_RSLT_ERR_UNSUPPORTED;
    *hardware = {static_cast<int32_t>(codecs[channel % codecs.size()].seqNum),
                 static_cast<int32_t>(channel / codecs.size())};
    return zemeER_SUCCESS;
}

}  // namespace zeme

using namespace zeme;

// A second initialise while initialised does nothing and succeeds; it is not
// counted: one uninitialise ends the system.
uint32_t zemeSystemInitialize(void) {
    ZESIM_CALL() {
        std::lock_guard<std::mutex> lock(systemMutex);
        isInitialized.store(true, std::memory_order_release);
        return zemeER_SUCCESS;
    };
}

// Stops and destroys every decoder and encoder channel (pictures and streams still
// handed out are taken back), then frees the host picture memory.
uint32_t zemeSystemUninitialize(void) {
    ZESIM_CALL() {
        std::lock_guard<std::mutex> lock(systemMutex);
        if (!isInitialized.exchange(false)) return zemeER_RSLT_ERR_NOT_SYSTEM_INIT;
        return guarded([] {
            destroyAllDecoders();
            destroyAllEncoders();
            clearHostBuffers();
            return uint32_t{zemeER_SUCCESS};
        });
    };
}
