// ZESIM_CONFIG texts through zesim::parseInventory: any text gives an inventory,
// valid or refused with a reason, and a valid one is consistent (die numbering,
// device lists, the limits the management library relies on).
#include <set>
#include <string>

#include "zesim/inventory.hpp"
#include "support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const zesim::Inventory inventory = zesim::parseInventory(std::string(reinterpret_cast<const char *>(data), size));
    if (!inventory.valid) {
        FUZZ_CHECK(!inventory.error.empty());
        FUZZ_CHECK(inventory.cards.empty() && inventory.aiDevices.empty() && inventory.codecDevices.empty());
        return 0;
    }
    size_t dies = 0, ai = 0, codec = 0;
    std::set<uint32_t> ids;
    for (const zesim::Card &card : inventory.cards) {
        FUZZ_CHECK(card.id <= 0xFFFF && ids.insert(card.id).second);
        FUZZ_CHECK(card.uuid.size() == zesim::kUuidLength);
        FUZZ_CHECK(card.typeName.size() <= zesim::kTypeNameLength);
        zesim::PciAddress bus;
        FUZZ_CHECK(zesim::parsePciAddress(card.busId, &bus));
        FUZZ_CHECK(card.dies.size() <= zesim::kMaxCardDies);
        for (size_t d = 0; d < card.dies.size(); ++d) {
            const zesim::Die &die = card.dies[d];
            FUZZ_CHECK(die.cardId == card.id && die.dieId == d && die.seqNum == dies);
            FUZZ_CHECK(die.ai == (die.aiDevice >= 0) && die.codec == (die.codecDevice >= 0));
            if (die.ai) FUZZ_CHECK(die.aiDevice == static_cast<int32_t>(ai++));
            if (die.codec) FUZZ_CHECK(die.codecDevice == static_cast<int32_t>(codec++));
            ++dies;
        }
    }
    FUZZ_CHECK(dies <= 256);
    FUZZ_CHECK(inventory.aiDevices.size() == ai && inventory.codecDevices.size() == codec);
    return 0;
}
