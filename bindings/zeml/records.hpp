// The management records: mirrors of the library's structures that hold texts as
// strings and arrays as vectors, with the conversions from the structures. Every
// property is read-only; nested records are views that keep their parent alive.
#pragma once
#include <vector>

#include "binding.hpp"
#include "zeml.h"

namespace halvora::zeml {

struct zemlPciSubSystemIdPy_union {
    uint32_t value = 0;  // byte 0 the sub-vendor id, byte 1 the sub-card id
};

struct zemlDieIndexPy_union {
    uint32_t dieId = 0;
    uint32_t cardId = 0;
    uint32_t seqNum = 0;
};

struct zemlNodeBaseInfoPy {
    std::string name;
    zemlNodeMajorMinor_union majorMinor{};
};

struct zemlDieBaseInfoPy {
    zemlDieIndexPy_union dieIndex;
    zemlNodeBaseInfoPy zeccBaseInfo, renderBaseInfo, videoBaseInfo;
};

struct zemlAiDevInfoPy {
    zemlDieIndexPy_union dieIndex;
    zemlNodeBaseInfoPy aiBaseInfo;
};

struct zemlCodecDevInfoPy {
    zemlDieIndexPy_union dieIndex;
    zemlNodeBaseInfoPy videoBaseInfo;
};

struct zemlPciInfoPy {
    std::string busId;
    uint32_t domain = 0, bus = 0, card = 0;
    zemlPciCardId_struct pciId{};
    zemlPciSubSystemIdPy_union pciSubId;
    zemlNodeBaseInfoPy pcieCardBaseInfo, pcieCardVersionBaseInfo, pcieCardCtlBaseInfo;
};

struct zemlCardInfoPy {
    uint16_t cardId = 0;
    std::string uuid, cardTypeName;
    zemlPciInfoPy pciInfo;
    zemlCapability_struct cardCapability{};
    zemlNodeBaseInfoPy manNodeBaseInfo;
    uint32_t dieNum = 0;
    std::vector<zemlDieBaseInfoPy> dieInfo;
};

// A unit and its readings: the mirror of a telemetry structure S with one list.
template <class S> struct ReadingsPy {
    uint32_t unit = 0;
    std::vector<uint32_t> readings;
};

struct zemlMcuUtilizationRatePy {
    int32_t ai = 0;
    std::vector<int32_t> vdsp, vemcu, vdmcu;
};

struct zemlProcessInfoPy {
    int32_t pid = 0;
    int32_t memused = 0;
    std::string name;
};

// Text of a fixed field, up to its first NUL and never past the field.
std::string fieldText(const char *field, size_t width);

zemlDieIndexPy_union unpackDieIndex(zemlDieIndex index);
zemlDieIndex packDieIndex(const zemlDieIndexPy_union &index);
zemlNodeBaseInfoPy nodeFromRuntime(const zemlNodeBaseInfo_struct &node);
zemlDieBaseInfoPy dieFromRuntime(const zemlDieBaseInfo_struct &die);
zemlPciInfoPy pciFromRuntime(const zemlPciInfo_struct &pci);
zemlCardInfoPy cardFromRuntime(const zemlCardInfo_struct &card);

// A runtime status as a member of `opStatus` (a number without a member still comes
// back as an `opStatus` object of that value).
inline zemlOpStatus_enum asStatus(uint32_t status) { return static_cast<zemlOpStatus_enum>(status); }

// Registers every record class, in order.
void registerRecords(py::module_ &m);

}  // namespace halvora::zeml
