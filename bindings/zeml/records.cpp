#include "records.hpp"

#include <algorithm>
#include <cstring>

namespace halvora::zeml {

std::string fieldText(const char *field, size_t width) { return std::string(field, strnlen(field, width)); }

zemlDieIndexPy_union unpackDieIndex(zemlDieIndex index) {
    return {index & 0xFFu, (index >> 8) & 0xFFFFu, (index >> 24) & 0xFFu};
}

zemlDieIndex packDieIndex(const zemlDieIndexPy_union &index) {
    return (index.dieId & 0xFFu) | ((index.cardId & 0xFFFFu) << 8) | ((index.seqNum & 0xFFu) << 24);
}

zemlNodeBaseInfoPy nodeFromRuntime(const zemlNodeBaseInfo_struct &node) {
    return {fieldText(node.name, sizeof node.name), node.majorMinor};
}

zemlDieBaseInfoPy dieFromRuntime(const zemlDieBaseInfo_struct &die) {
    return {unpackDieIndex(die.dieIndex), nodeFromRuntime(die.zeccBaseInfo), nodeFromRuntime(die.renderBaseInfo),
            nodeFromRuntime(die.videoBaseInfo)};
}

zemlPciInfoPy pciFromRuntime(const zemlPciInfo_struct &pci) {
    return {fieldText(pci.busId, sizeof pci.busId),
            pci.domain,
            pci.bus,
            pci.card,
            pci.pciId,
            {pci.pciSubId},
            nodeFromRuntime(pci.pcieCardBaseInfo),
            nodeFromRuntime(pci.pcieCardVersionBaseInfo),
            nodeFromRuntime(pci.pcieCardCtlBaseInfo)};
}

// At most the dies the card record holds, whatever dieNum says.
zemlCardInfoPy cardFromRuntime(const zemlCardInfo_struct &card) {
    zemlCardInfoPy record;
    record.cardId = card.cardId;
    record.uuid = fieldText(card.uuid, sizeof card.uuid);
    record.cardTypeName = fieldText(card.cardTypeName, sizeof card.cardTypeName);
    record.pciInfo = pciFromRuntime(card.pciInfo);
    record.cardCapability = card.cardCapability;
    record.manNodeBaseInfo = nodeFromRuntime(card.manNodeBaseInfo);
    record.dieNum = card.dieNum;
    const uint32_t dies = std::min<uint32_t>(card.dieNum, ZEML_MAX_CARD_DIE_NUM);
    for (uint32_t i = 0; i < dies; ++i) record.dieInfo.push_back(dieFromRuntime(card.dieInfo[i]));
    return record;
}

namespace {

template <class S> void readings(py::module_ &m, const char *name, const char *list) {
    py::class_<ReadingsPy<S>>(m, name)
        .def(py::init<>())
        .def_readonly("unit", &ReadingsPy<S>::unit)
        .def_readonly(list, &ReadingsPy<S>::readings);
}

}  // namespace

void registerRecords(py::module_ &m) {
    py::class_<zemlPciCardId_struct>(m, "pciCardId")
        .def(py::init<>())
        .def_readonly("renderId", &zemlPciCardId_struct::renderId)
        .def_readonly("cardId", &zemlPciCardId_struct::cardId);
    py::class_<zemlPciSubSystemIdPy_union>(m, "pciSubSystemId")
        .def(py::init<>())
        .def_property_readonly("subVenderId", [](const zemlPciSubSystemIdPy_union &id) { return uint8_t(id.value); })
        .def_property_readonly("subCardId",
                               [](const zemlPciSubSystemIdPy_union &id) { return uint8_t(id.value >> 8); });
    py::class_<zemlNodeMajorMinor_union>(m, "nodeMajorMinor")
        .def(py::init<>())
        .def_property_readonly("minor", [](const zemlNodeMajorMinor_union &n) { return uint16_t(n.value); })
        .def_property_readonly("major", [](const zemlNodeMajorMinor_union &n) { return uint16_t(n.value >> 16); });
    py::class_<zemlDieIndexPy_union>(m, "dieIndex")
        .def(py::init<>())
        .def_readonly("dieId", &zemlDieIndexPy_union::dieId)
        .def_readonly("cardId", &zemlDieIndexPy_union::cardId)
        .def_readonly("seqNum", &zemlDieIndexPy_union::seqNum);
    py::class_<zemlNodeBaseInfoPy>(m, "nodeBaseInfo")
        .def(py::init<>())
        .def_readonly("name", &zemlNodeBaseInfoPy::name)
        .def_readonly("majorMinor", &zemlNodeBaseInfoPy::majorMinor);
    py::class_<zemlDieBaseInfoPy>(m, "dieBaseInfo")
        .def(py::init<>())
        .def_readonly("dieIndex", &zemlDieBaseInfoPy::dieIndex)
        .def_readonly("zeccBaseInfo", &zemlDieBaseInfoPy::zeccBaseInfo)
        .def_readonly("renderBaseInfo", &zemlDieBaseInfoPy::renderBaseInfo)
        .def_readonly("videoBaseInfo", &zemlDieBaseInfoPy::videoBaseInfo);
    py::class_<zemlAiDevInfoPy>(m, "aiDevInfo")
        .def(py::init<>())
        .def_readonly("dieIndex", &zemlAiDevInfoPy::dieIndex)
        .def_readonly("aiBaseInfo", &zemlAiDevInfoPy::aiBaseInfo);
    py::class_<zemlCodecDevInfoPy>(m, "codecDevInfo")
        .def(py::init<>())
        .def_readonly("dieIndex", &zemlCodecDevInfoPy::dieIndex)
        .def_readonly("videoBaseInfo", &zemlCodecDevInfoPy::videoBaseInfo);
    py::class_<zemlPciInfoPy>(m, "pciInfo")
        .def(py::init<>())
        .def_readonly("busId", &zemlPciInfoPy::busId)
        .def_readonly("domain", &zemlPciInfoPy::domain)
        .def_readonly("bus", &zemlPciInfoPy::bus)
        .def_readonly("card", &zemlPciInfoPy::card)
        .def_readonly("pciId", &zemlPciInfoPy::pciId)
        .def_readonly("pciSubId", &zemlPciInfoPy::pciSubId)
        .def_readonly("pcieCardBaseInfo", &zemlPciInfoPy::pcieCardBaseInfo)
        .def_readonly("pcieCardVersionBaseInfo", &zemlPciInfoPy::pcieCardVersionBaseInfo)
        .def_readonly("pcieCardCtlBaseInfo", &zemlPciInfoPy::pcieCardCtlBaseInfo);
    py::class_<zemlCapability_struct>(m, "capability")
        .def(py::init<>())
        .def_readonly("aiCapability", &zemlCapability_struct::aiCapability)
        .def_readonly("videoCapability", &zemlCapability_struct::videoCapability);
    py::class_<zemlCardInfoPy>(m, "cardInfo")
        .def(py::init<>())
        .def_readonly("cardId", &zemlCardInfoPy::cardId)
        .def_readonly("uuid", &zemlCardInfoPy::uuid)
        .def_readonly("cardTypeName", &zemlCardInfoPy::cardTypeName)
        .def_readonly("pciInfo", &zemlCardInfoPy::pciInfo)
        .def_readonly("cardCapability", &zemlCardInfoPy::cardCapability)
        .def_readonly("manNodeBaseInfo", &zemlCardInfoPy::manNodeBaseInfo)
        .def_readonly("dieNum", &zemlCardInfoPy::dieNum)
        .def_readonly("dieInfo", &zemlCardInfoPy::dieInfo);
    py::class_<zemlFanSpeedInfo_struct>(m, "fanSpeedInfo")
        .def(py::init<>())
        .def_readonly("fanSpeedLevel", &zemlFanSpeedInfo_struct::fanSpeedLevel);
    readings<zemlPllClock_struct>(m, "pllClock", "clockArray");
    readings<zemlTemperature_struct>(m, "temperature", "temperature");
    readings<zemlTempThreshold_struct>(m, "tempThreshold", "tempThreshold");
    readings<zemlPinVolt_struct>(m, "pinVolt", "pinVolt");
    readings<zemlPower_struct>(m, "power", "power");
    readings<zemlPowerCur_struct>(m, "powerCur", "powerCur");
    readings<zemlPowerVolt_struct>(m, "powerVolt", "powerVolt");
    py::class_<zemlMemUtilizationRate_stuct>(m, "memUtilizationRate")
        .def(py::init<>())
        .def_readonly("total", &zemlMemUtilizationRate_stuct::total)
        .def_readonly("free", &zemlMemUtilizationRate_stuct::free)
        .def_readonly("used", &zemlMemUtilizationRate_stuct::used)
        .def_readonly("utilizationRate", &zemlMemUtilizationRate_stuct::utilizationRate);
    py::class_<zemlUtilizationRate_struct>(m, "utilizationRate")
        .def(py::init<>())
        .def_readonly("ai", &zemlUtilizationRate_struct::ai)
        .def_readonly("vdsp", &zemlUtilizationRate_struct::vdsp)
        .def_readonly("vemcu", &zemlUtilizationRate_struct::vemcu)
        .def_readonly("vdmcu", &zemlUtilizationRate_struct::vdmcu);
    py::class_<zemlMcuUtilizationRatePy>(m, "mcuUtilizationRate")
        .def(py::init<>())
        .def_readonly("ai", &zemlMcuUtilizationRatePy::ai)
        .def_readonly("vdsp", &zemlMcuUtilizationRatePy::vdsp)
        .def_readonly("vemcu", &zemlMcuUtilizationRatePy::vemcu)
        .def_readonly("vdmcu", &zemlMcuUtilizationRatePy::vdmcu);
    py::class_<zemlProcessInfoPy>(m, "processInfo")
        .def(py::init<>())
        .def_readonly("pid", &zemlProcessInfoPy::pid)
        .def_readonly("memused", &zemlProcessInfoPy::memused)
        .def_readonly("name", &zemlProcessInfoPy::name);
}

}  // namespace halvora::zeml
