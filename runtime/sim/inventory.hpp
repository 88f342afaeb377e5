// The machine the software card pretends to be: cards, their dies, and on each
// die one AI device and one codec device. Read once per process from the JSON
// file named by ZESIM_CONFIG, or the built-in default (one card, two dies).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "sim/call.hpp"

namespace zesim {

constexpr uint64_t kDefaultDeviceMemory = 16ull << 30;

struct Die {
    uint32_t cardId = 0;
    uint32_t dieId = 0;   // index of the die on its card
    uint32_t seqNum = 0;  // index of the die among all dies of the host
    uint64_t memory = kDefaultDeviceMemory;
    bool ai = true;
    bool codec = true;
};

struct Card {
    uint32_t id = 0;
    std::string uuid;
    std::string busId;
    std::string typeName;
    std::vector<Die> dies;
};

struct Inventory {
    bool valid = true;
    std::string error;             // why ZESIM_CONFIG was refused
    std::vector<Card> cards;
    std::vector<Die> aiDevices;     // in device index order
    std::vector<Die> codecDevices;  // in device index order
};

ZESIM_EXPORT const Inventory &inventory();
// Parses a configuration text (exposed for tests).
ZESIM_EXPORT Inventory parseInventory(const std::string &json);
ZESIM_EXPORT Inventory defaultInventory();

}  // namespace zesim
