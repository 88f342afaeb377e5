// Card queries: count, every card in one call, handles from a card's identity,
// and a card's UUID, PCI placement, capability, fan speed, managed node and driver.
#include <array>

#include "groups.hpp"
#include "records.hpp"

namespace halvora::zeml {
namespace {

constexpr uint32_t kCardCapacity = 64;
constexpr uint32_t kTextCapacity = 64;

// Text the runtime writes into a zero-filled 64-byte buffer, up to its first NUL.
template <class Call> py::str text(Call call, const char *message) {
    std::array<char, kTextCapacity> buffer{};
    check(call(buffer.data(), kTextCapacity), message);
    return boundedText(buffer.data(), buffer.size());
}

// Appends the cards to the caller's list and returns it (unchanged on failure).
py::list cardInfo(py::list cards) {
    std::vector<zemlCardInfo_struct> buffer(kCardCapacity);
    uint32_t count = 0;
    check(zemlGetCardInfo(&count, buffer.data(), kCardCapacity), "get card info error, ret: %d.");
    count = std::min(count, kCardCapacity);
    for (uint32_t i = 0; i < count; ++i) cards.append(py::cast(cardFromRuntime(buffer[i])));
    return cards;
}

}  // namespace

void registerCards(py::module_ &m) {
    m.def(
        "getCardCount", [] { return output(&zemlGetCardCount, "get card count error, ret: %d."); },
        "get the count of card.");
    m.def("getCardInfo", &cardInfo, "get the information of card.");
    m.def(
        "getCardHandleByUUID",
        [](const char *uuid) { return output(&zemlGetHandleByUUID, "get card handle by uuid error, ret: %d.", uuid); },
        "get the card handle by uuid.");
    m.def(
        "getCardHandleByPciBusId",
        [](const char *busId) {
            return output(&zemlGetHandleByPciBusId, "get card handle by pci bus id error, ret: %d.", busId);
        },
        "get the card handle by pciBus id.");
    m.def(
        "getCardHandleByIndex",
        [](uint32_t index) {
            return output(&zemlGetCardHandleByIndex, "get card handle by index error, ret: %d.", index);
        },
        "get the card handle by index of card.");
    m.def(
        "getCardHandleByCardId",
        [](uint16_t cardId) {
            return output(&zemlGetCardHandleByCardId, "get card handle by card id error, ret: %d.", cardId);
        },
        "get the card handle by card id.");
    m.def(
        "getUUID",
        [](uint64_t card) {
            return text([card](char *buffer, uint32_t length) { return zemlGetUUID(card, buffer, length); },
                        "get uuid error, ret: %d.");
        },
        "get the uuid by the specified handle of card.");
    m.def(
        "getPciInfo",
        [](uint64_t card) { return pciFromRuntime(output(&zemlGetPciInfo, "get pci info error, ret: %d.", card)); },
        "get the pci information by the specified handle of card.");
    // The runtime writes into the caller's record (None: a null pointer).
    m.def(
        "getCapability",
        [](uint64_t card, zemlCapability_struct *capability) { return asStatus(zemlGetCapability(card, capability)); },
        "get the capability by the specified handle of card.");
    m.def(
        "getFanSpeedInfo",
        [](uint64_t card, zemlFanSpeedInfo_struct *fan) { return asStatus(zemlGetFanSpeedInfo(card, fan)); },
        "get the fan speed of card.");
    m.def(
        "getManageNodeAttribute",
        [] {
            return nodeFromRuntime(output(&zemlGetManageNodeAttribute, "get manage node attribute error, ret: %d."));
        },
        "get the attributes of managed node.");
    m.def(
        "getDriverSWVersion", [] { return text(&zemlGetDriverSWVersion, "get driver SW version error, ret: %d."); },
        "get the version information of driver.");
}

}  // namespace halvora::zeml
