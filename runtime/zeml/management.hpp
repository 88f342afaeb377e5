// The management library of the software card: the inventory as cards and dies
// named by handles, and telemetry read from the usage registry.
#pragma once
#include <cstdint>
#include <string>

#include "zesim/call.hpp"
#include "zesim/inventory.hpp"
#include "zesim/usage.hpp"
#include "zeml.h"

#define ZEML_INTERNAL __attribute__((visibility("default")))

namespace zeml {

// Runs a call's body; an exception (a failed allocation) becomes ZEML_ERROR_MAX, the
// library's generic failure, so that none leaves the library.
template <class Body> uint32_t guarded(Body &&body) {
    try {
        return body();
    } catch (...) {
        return ZEML_ERROR_MAX;
    }
}

// ZEML_ERROR_UNINITIALIZED unless zemlInit has been called (and no zemlShutDown since).
ZEML_INTERNAL uint32_t checkInitialized();

// Handles: "ZEML" in the top 32 bits, a kind byte, then the card's index in the
// inventory (bits 0-15; a die handle: the card's index in bits 8-23 and the die's
// index on its card in bits 0-7). Never 0.
constexpr uint64_t kCardHandleTag = 0x5A454D4C01000000ull;
constexpr uint64_t kDieHandleTag = 0x5A454D4C02000000ull;
constexpr uint64_t kTagMask = 0xFFFFFFFFFF000000ull;

inline uint64_t cardHandle(size_t card) { return kCardHandleTag | (card & 0xFFFFu); }
inline uint64_t dieHandle(size_t card, size_t die) { return kDieHandleTag | ((card & 0xFFFFu) << 8) | (die & 0xFFu); }
// The card or die a handle names, or null.
ZEML_INTERNAL const zesim::Card *findCard(uint64_t handle);
ZEML_INTERNAL const zesim::Die *findDie(uint64_t handle);

inline zemlDieIndex dieIndex(const zesim::Die &die) { return ZEML_DIE_INDEX(die.dieId, die.cardId, die.seqNum); }

// Copies `text` into a field of `size` bytes, cut to fit, NUL-terminated, the rest zeroed.
ZEML_INTERNAL void putText(char *field, size_t size, const std::string &text);

// What the usage registry says about a die at one moment.
struct DieLoad {
    // Busy seconds per second over the last second, summed over the processes (more
    // than 1 when work overlaps): compute runs, preprocess ops, decoder and encoder work.
    double ai = 0, vdsp = 0, vdmcu = 0, vemcu = 0;
    uint64_t memoryTotal = 0, memoryUsed = 0;  // bytes of the die's AI device
    // The load that drives the sensor model, from 0 (idle) to 1.
    double drive() const;
    double memoryShare() const { return memoryTotal ? double(memoryUsed) / double(memoryTotal) : 0.0; }
};
// ZEML_ERROR_FETCH_API when the registry cannot be read.
ZEML_INTERNAL uint32_t readLoad(const zesim::Die &die, DieLoad *load);
// Percent of a share, rounded, capped at 100.
ZEML_INTERNAL int32_t percent(double share);

}  // namespace zeml
