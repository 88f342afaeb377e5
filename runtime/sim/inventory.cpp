#include "sim/inventory.hpp"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace zesim {
namespace {

using nlohmann::json;

constexpr int64_t kMaxDies = 64;

std::string defaultUuid(uint32_t cardId) {
    char text[40];
    std::snprintf(text, sizeof text, "5a455349-4d00-4000-8000-%012x", cardId);
    return text;
}

std::string defaultBusId(uint32_t cardIndex) {
    char text[16];
    std::snprintf(text, sizeof text, "0000:%02x:00.0", cardIndex + 1);
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
            if (die.ai) inventory.aiDevices.push_back(die);
            if (die.codec) inventory.codecDevices.push_back(die);
        }
    }
}

Die parseDie(const json &node) {
    Die die;
    if (node.is_null()) return die;
    die.memory = node.value("memory", kDefaultDeviceMemory);
    die.ai = node.value("ai", true);
    die.codec = node.value("codec", true);
    return die;
}

Card parseCard(const json &node, uint32_t index) {
    Card card;
    card.id = node.value("id", index);
    card.uuid = node.value("uuid", defaultUuid(card.id));
    card.busId = node.value("busId", defaultBusId(index));
    card.typeName = node.value("type", std::string("software card"));
    const json &dies = node.contains("dies") ? node.at("dies") : json(2);
    if (dies.is_number_integer()) {
        int64_t count = dies.get<int64_t>();
        if (count < 0 || count > kMaxDies) throw std::out_of_range("die count out of range");
        card.dies.resize(static_cast<size_t>(count));
    } else {
        for (const json &die : dies.get<std::vector<json>>()) card.dies.push_back(parseDie(die));
    }
    return card;
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
        const json &cards = config.at("cards");
        for (uint32_t i = 0; i < cards.size(); ++i) inventory.cards.push_back(parseCard(cards[i], i));
        index(inventory);
    } catch (const std::exception &error) {
        inventory = Inventory();
        inventory.valid = false;
        inventory.error = error.what();
    }
    return inventory;
}

Inventory defaultInventory() { return parseInventory(R"({"cards": [{}]})"); }

const Inventory &inventory() {
    static const Inventory loaded = load();
    return loaded;
}

}  // namespace zesim
