#include "zesim/inventory.hpp"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <stdexcept>

namespace zesim {
namespace {

using nlohmann::json;

std::string dieCountError(size_t card, int64_t count) {
    return "card " + std::to_string(card) + " has " + std::to_string(count) + " dies; a card has 0 to " +
           std::to_string(kMaxCardDies);
}

// The card id is in the first group too, so that the short form of the UUID (its
// first 31 characters) tells the cards apart as well.
std::string defaultUuid(uint32_t cardId) {
    char text[40];
    std::snprintf(text, sizeof text, "5a45%04x-4d00-4000-8000-%012x", cardId & 0xFFFFu, cardId);
    return text;
}

std::string defaultBusId(uint32_t cardIndex) {
    char text[32];
    std::snprintf(text, sizeof text, "0000:%02x:%02x.0", (cardIndex + 1) & 0xFFu, ((cardIndex + 1) >> 8) & 0x1Fu);
    return text;
}

// Numbers the dies across the host and lists the AI and codec devices.
void index(Inventory &inventory) {
    uint32_t seq = 0;
    for (Card &card : inventory.cards) {
        for (uint32_t d = 0; d < card.dies.size(); ++d) {
            Die &die = card.dies[d];
            die.cardId = card.id;
            die.dieId = d;
            die.seqNum = seq++;
            if (die.ai) die.aiDevice = static_cast<int32_t>(inventory.aiDevices.size());
            if (die.codec) die.codecDevice = static_cast<int32_t>(inventory.codecDevices.size());
            if (die.ai) inventory.aiDevices.push_back(die);
            if (die.codec) inventory.codecDevices.push_back(die);
        }
    }
}

// A member that must be a whole number from 0 to `max` (`fallback` when absent). A
// number with a fraction or an exponent, a negative one or one above `max` is refused:
// converting it would be undefined (out of range) or wrap around.
uint64_t wholeNumber(const json &node, const char *key, uint64_t fallback, uint64_t max, const std::string &which) {
    auto member = node.find(key);
    if (member == node.end()) return fallback;
    if (!member->is_number_unsigned() || member->get<uint64_t>() > max)
        throw std::invalid_argument(which + ": " + key + " must be a whole number from 0 to " + std::to_string(max));
    return member->get<uint64_t>();
}

Die parseDie(const json &node, const std::string &which) {
    Die die;
    if (node.is_null()) return die;
    if (!node.is_object()) throw std::invalid_argument(which + " must be an object or null");
    die.memory = wholeNumber(node, "memory", kDefaultDeviceMemory, UINT64_MAX, which);
    die.ai = node.value("ai", true);
    die.codec = node.value("codec", true);
    return die;
}

Card parseCard(const json &node, uint32_t index) {
    Card card;
    const std::string which = "card " + std::to_string(index);
    if (!node.is_object()) throw std::invalid_argument(which + " must be an object");
    card.id = static_cast<uint32_t>(wholeNumber(node, "id", index, UINT32_MAX, which));
    card.uuid = node.value("uuid", defaultUuid(card.id));
    card.busId = node.value("busId", defaultBusId(index));
    card.typeName = node.value("type", std::string("software card"));
    const json &dies = node.contains("dies") ? node.at("dies") : json(2);
    if (dies.is_number_integer()) {
        int64_t count = dies.get<int64_t>();
        if (count < 0 || count > kMaxCardDies) throw std::out_of_range(dieCountError(index, count));
        card.dies.resize(static_cast<size_t>(count));
    } else {
        for (const json &die : dies.get<std::vector<json>>())
            card.dies.push_back(parseDie(die, which + " die " + std::to_string(card.dies.size())));
        if (card.dies.size() > kMaxCardDies) throw std::out_of_range(dieCountError(index, card.dies.size()));
    }
    return card;
}

bool canonicalUuid(const std::string &uuid) {
    if (uuid.size() != kUuidLength) return false;
    for (size_t i = 0; i < uuid.size(); ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? uuid[i] != '-' : !std::isxdigit(static_cast<unsigned char>(uuid[i]))) return false;
    }
    return true;
}

std::string lower(std::string text) {
    for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// What the management library needs to tell the cards apart and to describe them:
// 16-bit card ids, canonical UUIDs that differ within their first 31 characters
// (the short form a card record holds), bus ids of the form domain:bus:device.function,
// type names that fit their field, and die sequence numbers of 8 bits.
void check(const Inventory &inventory) {
    std::set<uint32_t> ids;
    std::set<std::string> shortUuids;
    std::set<PciAddress> buses;
    size_t dies = 0;
    for (size_t i = 0; i < inventory.cards.size(); ++i) {
        const Card &card = inventory.cards[i];
        const std::string which = "card " + std::to_string(i);
        if (card.id > 0xFFFF) throw std::out_of_range(which + ": id above 65535");
        if (!ids.insert(card.id).second)
            throw std::invalid_argument(which + ": id " + std::to_string(card.id) + " used twice");
        if (!canonicalUuid(card.uuid))
            throw std::invalid_argument(which + ": uuid must read xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx (hex digits)");
        if (!shortUuids.insert(lower(card.uuid.substr(0, kUuidShortLength))).second)
            throw std::invalid_argument(which + ": uuid equals another card's in its first 31 characters");
        PciAddress bus;
        if (!parsePciAddress(card.busId, &bus) || card.busId.size() >= 16)
            throw std::invalid_argument(which + ": busId must read dddd:bb:dd.f (hex)");
        if (!buses.insert(bus).second) throw std::invalid_argument(which + ": busId used twice");
        if (card.typeName.size() > kTypeNameLength)
            throw std::invalid_argument(which + ": type longer than 33 characters");
        dies += card.dies.size();
    }
    if (dies > 256) throw std::out_of_range("more than 256 dies on the host");
}

Inventory load() {
    const char *path = std::getenv("ZESIM_CONFIG");
    if (!path || !*path) return defaultInventory();
    std::ifstream file(path);
    if (!file) {
        Inventory refused;
        refused.valid = false;
        refused.error = std::string("cannot open ") + path;
        return refused;
    }
    std::stringstream text;
    text << file.rdbuf();
    return parseInventory(text.str());
}

}  // namespace

Inventory parseInventory(const std::string &text) {
    Inventory inventory;
    try {
        json config = json::parse(text);
        inventory.engine = config.value("engine", std::string("auto"));
        if (inventory.engine != "plan" && inventory.engine != "opencv" && inventory.engine != "auto")
            throw std::invalid_argument("engine must be \"plan\", \"opencv\" or \"auto\"");
        const json &cards = config.at("cards");
        for (uint32_t i = 0; i < cards.size(); ++i) inventory.cards.push_back(parseCard(cards[i], i));
        check(inventory);
        index(inventory);
    } catch (const std::exception &error) {
        inventory = Inventory();
        inventory.valid = false;
        inventory.error = error.what();
    }
    return inventory;
}

bool parsePciAddress(const std::string &text, PciAddress *address) {
    unsigned domain = 0, bus = 0, device = 0, function = 0;
    int consumed = -1;
    if (std::sscanf(text.c_str(), "%x:%x:%x.%x%n", &domain, &bus, &device, &function, &consumed) != 4 ||
        consumed != static_cast<int>(text.size()) || text.find_first_of(" +-xX") != std::string::npos)
        return false;
    if (domain > 0xFFFF || bus > 0xFF || device > 0x1F || function > 7) return false;
    *address = {domain, bus, device, function};
    return true;
}

Inventory defaultInventory() { return parseInventory(R"({"cards": [{}]})"); }

const Inventory &inventory() {
    // Never destroyed: threads of the card may still read it while the process exits.
    static const Inventory &loaded = *new Inventory(load());
    return loaded;
}

}  // namespace zesim
