// Die queries: count, descriptions, handles, and telemetry: clocks, temperatures,
// power, current and voltages, memory and unit load, and the processes on a die.
#include "groups.hpp"
#include "records.hpp"

namespace halvora::zeml {
namespace {

constexpr uint32_t kListCapacity = 64;

// Appends up to the capacity of the entries the runtime lists to the caller's list.
template <class S, class Convert> py::list appendEntries(uint32_t (*runtime)(uint64_t, S *, uint32_t *, uint32_t),
                                                         uint64_t handle, py::list list, const char *message,
                                                         Convert convert) {
    std::vector<S> entries(kListCapacity);
    uint32_t count = 0;
    check(runtime(handle, entries.data(), &count, kListCapacity), message);
    count = std::min(count, kListCapacity);
    for (uint32_t i = 0; i < count; ++i) list.append(py::cast(convert(entries[i])));
    return list;
}

zemlProcessInfoPy processFromRuntime(const zemlProcessInfo_struct &process) {
    return {process.pid, process.memused, fieldText(process.name, sizeof process.name)};
}

// A telemetry fill: the record's unit and readings from a zeroed structure S, the
// readings exactly as many as S holds.
template <class S, size_t N> void fill(py::module_ &m, const char *name, uint32_t (*runtime)(uint64_t, S *),
                                       uint32_t (S::*readings)[N], const char *message, const char *doc) {
    m.def(
        name,
        [runtime, readings, message](uint64_t die, ReadingsPy<S> *record) {
            ReadingsPy<S> &target = required(record, "record");
            S values{};
            check(runtime(die, &values), message);
            target.unit = values.unit;
            target.readings.assign(values.*readings, values.*readings + N);
            return ZEML_SUCCESS;
        },
        doc);
}

zemlOpStatus_enum mcuUtilization(uint64_t die, zemlMcuUtilizationRatePy *record) {
    zemlMcuUtilizationRatePy &target = required(record, "mcuUtilizationRate");
    zemlMcuUtilizationRate_struct rate{};
    check(zemlGetMcuUtilizationRate(die, &rate), "get mcu utilization rate error, ret: %d.");
    target.ai = rate.ai;
    target.vdsp.assign(rate.vdsp, rate.vdsp + MAX_DIE_VDSP_NUM);
    target.vemcu.assign(rate.vemcu, rate.vemcu + MAX_DIE_VEMCU_NUM);
    target.vdmcu.assign(rate.vdmcu, rate.vdmcu + MAX_DIE_VDMCU_NUM);
    return ZEML_SUCCESS;
}

}  // namespace

void registerDies(py::module_ &m) {
    m.def(
        "getDieCount", [](uint64_t card) { return output(&zemlGetDieCount, "get die count error, ret: %d.", card); },
        "get the count of die of the specified handle of card.");
    m.def(
        "getDieInfo",
        [](uint64_t card, py::list dies) {
            return appendEntries(&zemlGetDieInfo, card, std::move(dies), "get die info error, ret: %d.",
                                 &dieFromRuntime);
        },
        "get the information of die of the specified handle of card.");
    m.def(
        "getDieHandleByIndex",
        [](uint64_t card, uint32_t index) {
            return output(&zemlGetDieHandleByIndex, "get die handle by index error, ret: %d.", card, index);
        },
        "get the handle of die by card handle and index.");
    m.def(
        "getDieHandleByDieIndex",
        [](const zemlDieIndexPy_union *index) {
            return output(&zemlGetDieHandleByDieIndex, "get die handle by dieIndex error, ret: %d.",
                          packDieIndex(byValue(index)));
        },
        "get the handle of die by its index.");
    fill(m, "getPllClocks", &zemlGetPllClocks, &zemlPllClock_struct::clockArray, "get pll clocks error, ret: %d.",
         "get the pll clocks information by the specified handle of die.");
    fill(m, "getTemperature", &zemlGetTemperature, &zemlTemperature_struct::temperature,
         "get temperature error, ret: %d.", "get the temperature information of its die.");
    fill(m, "getPower", &zemlGetPower, &zemlPower_struct::power, "get power error, ret: %d.",
         "get the power information of its die.");
    fill(m, "getPinVolt", &zemlGetPinVolt, &zemlPinVolt_struct::pinVolt, "get pin voltage error, ret: %d.",
         "get the pin voltage information of its die.");
    fill(m, "getPowerCur", &zemlGetPowerCur, &zemlPowerCur_struct::powerCur, "get power current error, ret: %d.",
         "get the power current information of its die.");
    fill(m, "getPowerVolt", &zemlGetPowerVolt, &zemlPowerVolt_struct::powerVolt, "get power voltage error, ret: %d.",
         "get the power voltage information of its die.");
    fill(m, "getTempThreshold", &zemlGetTempThreshold, &zemlTempThreshold_struct::tempThreshold,
         "get temperature threshold error, ret: %d.", "get the temperature threshold of its die.");
    m.def(
        "getMemUtilizationRate",
        [](uint64_t die) {
            return output(&zemlGetMemUtilizationRate, "get memory utilization rate error, ret: %d.", die);
        },
        "get the memory utilization rate of die.");
    m.def("getMcuUtilizationRate", &mcuUtilization, "get the mcu utilization rate of die.");
    m.def(
        "getUtilizationRate",
        [](uint64_t die) { return output(&zemlGetUtilizationRate, "get utilization rate error, ret: %d.", die); },
        "get the utilization rate of die.");
    m.def(
        "getRunningProcesses",
        [](uint64_t die, py::list processes) {
            return appendEntries(&zemlGetRunningProcesses, die, std::move(processes),
                                 "get running processes error, ret: %d.", &processFromRuntime);
        },
        "get the process information of die.");
    m.def(
        "getNetWorkRunningInfo",
        [](uint64_t die, py::list processes) {
            return appendEntries(&zemlGetNetWorkRunningInfo, die, std::move(processes),
                                 "get network running info error, ret: %d.", &processFromRuntime);
        },
        "get the net process information of die.");
}

}  // namespace halvora::zeml
