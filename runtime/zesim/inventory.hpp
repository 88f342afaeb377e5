// The machine the software card pretends to be: cards, their dies, and on each
// die one AI device and one codec device. Read once per process from the JSON
// file named by ZESIM_CONFIG, or the built-in default (one card, two dies).
#pragma once
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "zesim/call.hpp"

namespace zesim {

constexpr uint64_t kDefaultDeviceMemory = 16ull << 30;
// Dies a card can have; a configuration with more is refused.
constexpr int64_t kMaxCardDies = 4;
// A card's UUID text, its short form (what a card record of the management library
// holds), and the longest type name.
constexpr size_t kUuidLength = 36;
constexpr size_t kUuidShortLength = 31;
constexpr size_t kTypeNameLength = 33;

struct Die {
    uint32_t cardId = 0;
    uint32_t dieId = 0;   // index of the die on its card
    uint32_t seqNum = 0;  // index of the die among all dies of the host
    uint64_t memory = kDefaultDeviceMemory;
    bool ai = true;
    bool codec = true;
    int32_t aiDevice = -1;     // its AI device's index, -1 without one
    int32_t codecDevice = -1;  // its codec device's index, -1 without one
};

struct Card {
    uint32_t id = 0;
    std::string uuid;
    std::string busId;
    std::string typeName;
    std::vector<Die> dies;
};

struct PciAddress {
    uint32_t domain = 0, bus = 0, device = 0, function = 0;
    bool operator<(const PciAddress &o) const {
        return std::tie(domain, bus, device, function) < std::tie(o.domain, o.bus, o.device, o.function);
    }
    bool operator==(const PciAddress &o) const { return !(*this < o) && !(o < *this); }
};

struct Inventory {
    bool valid = true;
    std::string error;            // why ZESIM_CONFIG was refused (an invalid inventory has no cards)
    std::string engine = "auto";  // which engine runs models: "plan", "opencv" or "auto"
    std::vector<Card> cards;
    std::vector<Die> aiDevices;     // in device index order
    std::vector<Die> codecDevices;  // in device index order
};

ZESIM_EXPORT const Inventory &inventory();
// Parses a configuration text (exposed for tests).
ZESIM_EXPORT Inventory parseInventory(const std::string &json);
ZESIM_EXPORT Inventory defaultInventory();
// A bus id "domain:bus:device.function" in hex (e.g. 0000:01:00.0; leading zeros optional).
ZESIM_EXPORT bool parsePciAddress(const std::string &text, PciAddress *address);

}  // namespace zesim
