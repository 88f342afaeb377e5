// The inventory as the management library reports it: devices, cards, dies, their
// handles, device nodes and identity. Everything comes from zesim::inventory(), the
// same inventory the common library uses.
//
// Statuses: a null output or text -> ZEML_ERROR_INPUT_PARAMETER_NULL; a handle, card
// index, card id, UUID, bus id or die index naming no card or die ->
// ZEML_ERROR_CARD_NOTFOUND; a malformed UUID or bus id, a device index or device count
// beyond the devices -> ZEML_ERROR_INPUT_PARAMETER_ERROR; a text buffer too small for
// the text and its NUL -> ZEML_USER_BUF_INSUFFICIENT.
#include <algorithm>
#include <cstring>
#include <strings.h>

#include "zeml/management.hpp"

namespace zeml {
namespace {

// Device node numbers: DRM render nodes have their usual major; the card's own nodes
// take majors from the range Linux leaves for local use.
constexpr uint16_t kRenderMajor = 226;
constexpr uint16_t kZeccMajor = 240;
constexpr uint16_t kVideoMajor = 241;
constexpr uint16_t kPcieMajor = 242;
constexpr uint16_t kManageMajor = 243;
constexpr uint16_t kRenderMinorBase = 128;

// PCI identity of the software card.
constexpr uint16_t kPciVendor = 0x5A45;
constexpr uint16_t kPciDevice = 0x0100;
constexpr uint32_t kPciSubId = 0x0145;  // sub-vendor 0x45, sub-card 0x01

const char *const kDriverVersion = "2.1.1 (software card)";

const zesim::Inventory &cards() { return zesim::inventory(); }

zemlNodeBaseInfo_struct node(const std::string &name, uint16_t major, uint32_t minor) {
    zemlNodeBaseInfo_struct record{};
    putText(record.name, sizeof record.name, name);
    record.majorMinor.parts.major = major;
    record.majorMinor.parts.minor = static_cast<uint16_t>(minor);
    return record;
}

zemlNodeBaseInfo_struct zeccNode(const zesim::Die &die) {
    if (die.aiDevice < 0) return zemlNodeBaseInfo_struct{};
    return node("/dev/zecc" + std::to_string(die.aiDevice), kZeccMajor, static_cast<uint32_t>(die.aiDevice));
}

zemlNodeBaseInfo_struct videoNode(const zesim::Die &die) {
    if (die.codecDevice < 0) return zemlNodeBaseInfo_struct{};
    return node("/dev/zevideo" + std::to_string(die.codecDevice), kVideoMajor, static_cast<uint32_t>(die.codecDevice));
}

zemlDieBaseInfo_struct dieRecord(const zesim::Die &die) {
    zemlDieBaseInfo_struct record{};
    record.dieIndex = dieIndex(die);
    record.zeccBaseInfo = zeccNode(die);
    const uint32_t render = kRenderMinorBase + die.seqNum;
    record.renderBaseInfo = node("/dev/dri/renderD" + std::to_string(render), kRenderMajor, render);
    record.videoBaseInfo = videoNode(die);
    return record;
}

size_t cardIndex(const zesim::Card *card) { return static_cast<size_t>(card - cards().cards.data()); }

zemlPciInfo_struct pciRecord(const zesim::Card &card) {
    zemlPciInfo_struct record{};
    const size_t index = cardIndex(&card);
    putText(record.busId, sizeof record.busId, card.busId);
    zesim::PciAddress address;
    zesim::parsePciAddress(card.busId, &address);  // checked when the inventory was read
    record.domain = address.domain;
    record.bus = address.bus;
    record.card = address.device;
    record.pciId.renderId = kPciVendor;
    record.pciId.cardId = kPciDevice;
    record.pciSubId = kPciSubId;
    const std::string base = "/dev/zepcie" + std::to_string(index);
    const uint32_t minor = static_cast<uint32_t>(index) * 3;
    record.pcieCardBaseInfo = node(base, kPcieMajor, minor);
    record.pcieCardVersionBaseInfo = node(base + "_version", kPcieMajor, minor + 1);
    record.pcieCardCtlBaseInfo = node(base + "_ctl", kPcieMajor, minor + 2);
    return record;
}

// Bit i set: die i of the card has an AI device (a codec device).
zemlCapability_struct capability(const zesim::Card &card) {
    zemlCapability_struct record{};
    for (size_t i = 0; i < card.dies.size(); ++i) {
        if (card.dies[i].ai) record.aiCapability |= 1u << i;
        if (card.dies[i].codec) record.videoCapability |= 1u << i;
    }
    return record;
}

zemlCardInfo_struct cardRecord(const zesim::Card &card) {
    zemlCardInfo_struct record{};
    record.cardId = static_cast<uint16_t>(card.id);
    putText(record.uuid, sizeof record.uuid, card.uuid);  // its first 31 characters
    putText(record.cardTypeName, sizeof record.cardTypeName, card.typeName);
    record.pciInfo = pciRecord(card);
    record.cardCapability = capability(card);
    const uint32_t index = static_cast<uint32_t>(cardIndex(&card));
    record.manNodeBaseInfo = node("/dev/zemgr" + std::to_string(index), kManageMajor, index + 1);
    record.dieNum = static_cast<uint32_t>(std::min<size_t>(card.dies.size(), ZEML_MAX_CARD_DIE_NUM));
    for (uint32_t i = 0; i < record.dieNum; ++i) record.dieInfo[i] = dieRecord(card.dies[i]);
    return record;
}

uint32_t copyText(const std::string &text, char *buffer, uint32_t length) {
    if (!buffer) return ZEML_ERROR_INPUT_PARAMETER_NULL;
    if (length <= text.size()) return ZEML_USER_BUF_INSUFFICIENT;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return ZEML_SUCCESS;
}

template <class Record, class Fill>
uint32_t deviceList(const std::vector<zesim::Die> &devices, Record *records, uint32_t count, Fill fill) {
    if (uint32_t status = checkInitialized()) return status;
    if (!records && count) return ZEML_ERROR_INPUT_PARAMETER_NULL;
    if (count > devices.size()) return ZEML_ERROR_INPUT_PARAMETER_ERROR;
    for (uint32_t i = 0; i < count; ++i) {
        const zesim::Die &die = devices[i];
        records[i] = Record{};
        records[i].dieIndex = dieIndex(die);
        fill(records[i], die);
    }
    return ZEML_SUCCESS;
}

}  // namespace

void putText(char *field, size_t size, const std::string &text) {
    if (!size) return;
    const size_t length = std::min(text.size(), size - 1);
    std::memcpy(field, text.data(), length);
    std::memset(field + length, 0, size - length);
}

const zesim::Card *findCard(uint64_t handle) {
    if ((handle & kTagMask) != kCardHandleTag) return nullptr;
    const uint64_t index = handle & ~kTagMask;
    return index < cards().cards.size() ? &cards().cards[index] : nullptr;
}

const zesim::Die *findDie(uint64_t handle) {
    if ((handle & kTagMask) != kDieHandleTag) return nullptr;
    const uint64_t card = (handle >> 8) & 0xFFFFu, die = handle & 0xFFu;
    if (card >= cards().cards.size() || die >= cards().cards[card].dies.size()) return nullptr;
    return &cards().cards[card].dies[die];
}

}  // namespace zeml

using namespace zeml;

uint32_t zemlGetAiDeviceCount(uint32_t *count) {
    ZESIM_CALL(count) {
        if (uint32_t status = checkInitialized()) return status;
        if (!count) return ZEML_ERROR_INPUT_PARAMETER_NULL;
        *count = static_cast<uint32_t>(cards().aiDevices.size());
        return ZEML_SUCCESS;
    };
}

uint32_t zemlGetCodecDeviceCount(uint32_t *count) {
    ZESIM_CALL(count) {
        if (uint32_t status = checkInitialized()) return status;
        if (!count) return ZEML_ERROR_INPUT_PARAMETER_NULL;
        *count = static_cast<uint32_t>(cards().codecDevices.size());
        return ZEML_SUCCESS;
    };
}

uint32_t zemlGetAiDevInfo(zemlAiDevInfo_struct *devices, uint32_t count) {
    ZESIM_CALL(devices, count) {
        return guarded([&] {
            return deviceList(
                cards().aiDevices, devices, count,
                [](zemlAiDevInfo_struct &record, const zesim::Die &die) { record.aiBaseInfo = zeccNode(die); });
        });
    };
}

uint32_t zemlGetCodecDevInfo(zemlCodecDevInfo_struct *devices, uint32_t count) {
    ZESIM_CALL(devices, count) {
        return guarded([&] {
            return deviceList(
                cards().codecDevices, devices, count,
                [](zemlCodecDevInfo_struct &record, const zesim::Die &die) { record.videoBaseInfo = videoNode(die); });
        });
    };
}

uint32_t zemlGetDieIndexByDevIndex(uint32_t devIndex, zemlDieIndex *index) {
    ZESIM_CALL(devIndex, index) {
        if (uint32_t status = checkInitialized()) return status;
        if (!index) return ZEML_ERROR_INPUT_PARAMETER_NULL;
        if (devIndex >= cards().aiDevices.size()) return ZEML_ERROR_INPUT_PARAMETER_ERROR;
        *index = dieIndex(cards().aiDevices[devIndex]);
        return ZEML_SUCCESS;
    };
}

uint32_t zemlGetCardCount(uint32_t *count) {
    ZESIM_CALL(count) {
        if (uint32_t status = checkInitialized()) return status;
        if (!count) return ZEML_ERROR_INPUT_PARAMETER_NULL;
        *count = static_cast<uint32_t>(cards().cards.size());
        return ZEML_SUCCESS;
    };
}

uint32_t zemlGetCardInfo(uint32_t *count, zemlCardInfo_struct *records, uint32_t capacity) {
    ZESIM_CALL(count, records, capacity) {
        return guarded([&]() -> uint32_t {
            if (uint32_t status = checkInitialized()) return status;
            if (!count || (!records && capacity)) return ZEML_ERROR_INPUT_PARAMETER_NULL;
            const auto &all = cards().cards;
            const uint32_t written = static_cast<uint32_t>(std::min<size_t>(all.size(), capacity));
            for (uint32_t i = 0; i < written; ++i) records[i] = cardRecord(all[i]);
            *count = written;
            return ZEML_SUCCESS;
        });
    };
}

// The whole UUID (36 characters) or the short form a card record holds (its first
// 31), in either case of the hex digits.
uint32_t zemlGetHandleByUUID(const char *uuid, uint64_t *cardHandle) {
    ZESIM_CALL(uuid, cardHandle) {
        if (uint32_t status = checkInitialized()) return status;
        if (!uuid || !cardHandle) return ZEML_ERROR_INPUT_PARAMETER_NULL;
        const size_t length = strnlen(uuid, zesim::kUuidLength + 1);
        if (length != zesim::kUuidLength && length != zesim::kUuidShortLength) return ZEML_ERROR_INPUT_PARAMETER_ERROR;
        const auto &all = cards().cards;
        for (size_t i = 0; i < all.size(); ++i) {
            if (strncasecmp(all[i].uuid.c_str(), uuid, length) == 0) {
                *cardHandle = zeml::cardHandle(i);
                return ZEML_SUCCESS;
            }
        }
        return ZEML_ERROR_CARD_NOTFOUND;
    };
}

// domain:bus:device.function in hex, leading zeros optional (0000:01:00.0 = 0:1:0.0).
uint32_t zemlGetHandleByPciBusId(const char *busId, uint64_t *cardHandle) {
    ZESIM_CALL(busId, cardHandle) {
        return guarded([&]() -> uint32_t {
            if (uint32_t status = checkInitialized()) return status;
            if (!busId || !cardHandle) return ZEML_ERROR_INPUT_PARAMETER_NULL;
            zesim::PciAddress wanted, address;
            if (strnlen(busId, 64) >= 64 || !zesim::parsePciAddress(busId, &wanted))
                return ZEML_ERROR_INPUT_PARAMETER_ERROR;
            const auto &all = cards().cards;
            for (size_t i = 0; i < all.size(); ++i) {
                if (zesim::parsePciAddress(all[i].busId, &address) && address == wanted) {
                    *cardHandle = zeml::cardHandle(i);
                    return ZEML_SUCCESS;
                }
            }
            return ZEML_ERROR_CARD_NOTFOUND;
        });
    };
}

uint32_t zemlGetCardHandleByIndex(uint32_t index, uint64_t *cardHandle) {
    ZESIM_CALL(index, cardHandle) {
        if (uint32_t status = checkInitialized()) return status;
        if (!cardHandle) return ZEML_ERROR_INPUT_PARAMETER_NULL;
        if (index >= cards().cards.size()) return ZEML_ERROR_CARD_NOTFOUND;
        *cardHandle = zeml::cardHandle(index);
        return ZEML_SUCCESS;
    };
}

uint32_t zemlGetCardHandleByCardId(uint16_t cardId, uint64_t *cardHandle) {
    ZESIM_CALL(cardId, cardHandle) {
        if (uint32_t status = checkInitialized()) return status;
        if (!cardHandle) return ZEML_ERROR_INPUT_PARAMETER_NULL;
        const auto &all = cards().cards;
        for (size_t i = 0; i < all.size(); ++i) {
            if (all[i].id == cardId) {
                *cardHandle = zeml::cardHandle(i);
                return ZEML_SUCCESS;
            }
        }
        return ZEML_ERROR_CARD_NOTFOUND;
    };
}

// The whole UUID: 36 characters and the NUL.
uint32_t zemlGetUUID(uint64_t cardHandle, char *uuid, uint32_t length) {
    ZESIM_CALL(cardHandle, uuid, length) {
        if (uint32_t status = checkInitialized()) return status;
        if (!uuid) return ZEML_ERROR_INPUT_PARAMETER_NULL;
        const zesim::Card *card = findCard(cardHandle);
        if (!card) return ZEML_ERROR_CARD_NOTFOUND;
        return copyText(card->uuid, uuid, length);
    };
}

uint32_t zemlGetPciInfo(uint64_t cardHandle, zemlPciInfo_struct *pciInfo) {
    ZESIM_CALL(cardHandle, pciInfo) {
        return guarded([&]() -> uint32_t {
            if (uint32_t status = checkInitialized()) return status;
            if (!pciInfo) return ZEML_ERROR_INPUT_PARAMETER_NULL;
            const zesim::Card *card = findCard(cardHandle);
            if (!card) return ZEML_ERROR_CARD_NOTFOUND;
            *pciInfo = pciRecord(*card);
            return ZEML_SUCCESS;
        });
    };
}

uint32_t zemlGetCapability(uint64_t cardHandle, zemlCapability_struct *record) {
    ZESIM_CALL(cardHandle, record) {
        if (uint32_t status = checkInitialized()) return status;
        if (!record) return ZEML_ERROR_INPUT_PARAMETER_NULL;
        const zesim::Card *card = findCard(cardHandle);
        if (!card) return ZEML_ERROR_CARD_NOTFOUND;
        *record = capability(*card);
        return ZEML_SUCCESS;
    };
}

// The host's management node (each card record names the card's own).
uint32_t zemlGetManageNodeAttribute(zemlNodeBaseInfo_struct *record) {
    ZESIM_CALL(record) {
        return guarded([&]() -> uint32_t {
            if (uint32_t status = checkInitialized()) return status;
            if (!record) return ZEML_ERROR_INPUT_PARAMETER_NULL;
            *record = node("/dev/zemgr", kManageMajor, 0);
            return ZEML_SUCCESS;
        });
    };
}

uint32_t zemlGetDriverSWVersion(char *version, uint32_t length) {
    ZESIM_CALL(version, length) {
        return guarded([&]() -> uint32_t {
            if (uint32_t status = checkInitialized()) return status;
            return copyText(kDriverVersion, version, length);
        });
    };
}

uint32_t zemlGetDieCount(uint64_t cardHandle, uint32_t *count) {
    ZESIM_CALL(cardHandle, count) {
        if (uint32_t status = checkInitialized()) return status;
        if (!count) return ZEML_ERROR_INPUT_PARAMETER_NULL;
        const zesim::Card *card = findCard(cardHandle);
        if (!card) return ZEML_ERROR_CARD_NOTFOUND;
        *count = static_cast<uint32_t>(card->dies.size());
        return ZEML_SUCCESS;
    };
}

uint32_t zemlGetDieInfo(uint64_t cardHandle, zemlDieBaseInfo_struct *dies, uint32_t *count, uint32_t capacity) {
    ZESIM_CALL(cardHandle, dies, count, capacity) {
        return guarded([&]() -> uint32_t {
            if (uint32_t status = checkInitialized()) return status;
            if (!count || (!dies && capacity)) return ZEML_ERROR_INPUT_PARAMETER_NULL;
            const zesim::Card *card = findCard(cardHandle);
            if (!card) return ZEML_ERROR_CARD_NOTFOUND;
            const uint32_t written = static_cast<uint32_t>(std::min<size_t>(card->dies.size(), capacity));
            for (uint32_t i = 0; i < written; ++i) dies[i] = dieRecord(card->dies[i]);
            *count = written;
            return ZEML_SUCCESS;
        });
    };
}

uint32_t zemlGetDieHandleByIndex(uint64_t cardHandle, uint32_t index, uint64_t *handle) {
    ZESIM_CALL(cardHandle, index, handle) {
        if (uint32_t status = checkInitialized()) return status;
        if (!handle) return ZEML_ERROR_INPUT_PARAMETER_NULL;
        const zesim::Card *card = findCard(cardHandle);
        if (!card || index >= card->dies.size()) return ZEML_ERROR_CARD_NOTFOUND;
        *handle = dieHandle(cardIndex(card), index);
        return ZEML_SUCCESS;
    };
}

// All three parts of the index must name the same die.
uint32_t zemlGetDieHandleByDieIndex(zemlDieIndex index, uint64_t *handle) {
    ZESIM_CALL(index, handle) {
        if (uint32_t status = checkInitialized()) return status;
        if (!handle) return ZEML_ERROR_INPUT_PARAMETER_NULL;
        const auto &all = cards().cards;
        for (size_t c = 0; c < all.size(); ++c) {
            for (size_t d = 0; d < all[c].dies.size(); ++d) {
                if (dieIndex(all[c].dies[d]) == index) {
                    *handle = dieHandle(c, d);
                    return ZEML_SUCCESS;
                }
            }
        }
        return ZEML_ERROR_CARD_NOTFOUND;
    };
}
