// The management library: its status and log-level enumerations, the record
// classes, the capacity attributes, initialisation, logging and error texts, and
// the device inventory.
#include "groups.hpp"
#include "records.hpp"

namespace halvora::zeml {
namespace {

void registerEnumerations(py::module_ &m) {
    bindEnum<zemlOpStatus_enum>(
        m, "opStatus",
        {
            {"ZEML_SUCCESS", ZEML_SUCCESS},
            {"ZEML_ERROR_UNINITIALIZED", ZEML_ERROR_UNINITIALIZED},
            {"ZEML_ERROR_INITIALIZED", ZEML_ERROR_INITIALIZED},
            {"ZEML_ERROR_FETCH_API", ZEML_ERROR_FETCH_API},
            {"ZEML_ERROR_CARD_EMPTY", ZEML_ERROR_CARD_EMPTY},
            {"ZEML_ERROR_INITI_FAIL", ZEML_ERROR_INITI_FAIL},
            {"ZEML_ERROR_CARD_NOTFOUND", ZEML_ERROR_CARD_NOTFOUND},
            {"ZEML_ERROR_INPUT_PARAMETER_NULL", ZEML_ERROR_INPUT_PARAMETER_NULL},
            {"ZEML_ERROR_INPUT_PARAMETER_ERROR", ZEML_ERROR_INPUT_PARAMETER_ERROR},
            {"ZEML_ERROR_PCIE_MAJOR_ERROR", ZEML_ERROR_PCIE_MAJOR_ERROR},
            {"ZEML_USER_BUF_INSUFFICIENT", ZEML_USER_BUF_INSUFFICIENT},
            {"ZEML_ERROR_CALLBACK_INITIALIZED", ZEML_ERROR_CALLBACK_INITIALIZED},
            {"ZEML_ERROR_CALLBACK_UNINITIALIZED", ZEML_ERROR_CALLBACK_UNINITIALIZED},
            {"ZEML_ERROR_PROFILER_ALREADY_RUNNING", ZEML_ERROR_PROFILER_ALREADY_RUNNING},
            {"ZEML_ERROR_PROFILER_ALREADY_STOP", ZEML_ERROR_PROFILER_ALREADY_STOP},
            {"ZEML_ERROR_PROFILER_EXPORT_FILE_TYPE_INVALID", ZEML_ERROR_PROFILER_EXPORT_FILE_TYPE_INVALID},
            {"ZEML_ERROR_PROFILER_EXPORT_FOLDER_PATH_INVALID", ZEML_ERROR_PROFILER_EXPORT_FOLDER_PATH_INVALID},
            {"ZEML_ERROR_AI_SCRIPT_PATH_INVALID", ZEML_ERROR_AI_SCRIPT_PATH_INVALID},
            {"ZEML_ERROR_AI_SCRIPT_ROOT_PERMISSION", ZEML_ERROR_AI_SCRIPT_ROOT_PERMISSION},
            {"ZEML_ERROR_MAX", ZEML_ERROR_MAX},
        });
    bindEnum<zemlLogLevel_enum>(m, "logLevel",
                                {
                                    {"ZEML_LOG_TRACE", ZEML_LOG_TRACE},
                                    {"ZEML_LOG_DEBUG", ZEML_LOG_DEBUG},
                                    {"ZEML_LOG_INFO", ZEML_LOG_INFO},
                                    {"ZEML_LOG_WARN", ZEML_LOG_WARN},
                                    {"ZEML_LOG_ERROR", ZEML_LOG_ERROR},
                                    {"ZEML_LOG_FATAL", ZEML_LOG_FATAL},
                                    {"ZEML_LOG_NONE", ZEML_LOG_NONE},
                                });
}

void registerAttributes(py::module_ &m) {
    m.attr("zemlER_SUCCESS") = static_cast<int>(zemlER_SUCCESS);
    m.attr("MAX_PLL_CLOCK_SUBMODULE") = MAX_PLL_CLOCK_SUBMODULE;
    m.attr("MAX_TEMPERATURE_SUBMODULE") = MAX_TEMPERATURE_SUBMODULE;
    m.attr("MAX_TEMP_THRESHOLD_SUBMODULE") = MAX_TEMP_THRESHOLD_SUBMODULE;
    m.attr("MAX_POWER_SUMMODULE") = MAX_POWER_SUMMODULE;
    m.attr("MAX_POWER_CURRENT_SUMMODULE") = MAX_POWER_CURRENT_SUMMODULE;
    m.attr("MAX_POWER_VOLTAGE_SUMMODULE") = MAX_POWER_VOLTAGE_SUMMODULE;
    m.attr("MAX_PIN_VOLT_SUMMODULE") = MAX_PIN_VOLT_SUMMODULE;
    m.attr("MAX_PVT_VOLT_SUMMODULE") = MAX_PVT_VOLT_SUMMODULE;
    m.attr("MAX_DIE_CMCU_NUM") = MAX_DIE_CMCU_NUM;
    m.attr("MAX_DIE_VDSP_NUM") = MAX_DIE_VDSP_NUM;
    m.attr("MAX_DIE_VDMCU_NUM") = MAX_DIE_VDMCU_NUM;
    m.attr("MAX_DIE_VEMCU_NUM") = MAX_DIE_VEMCU_NUM;
}

py::str version() {
    char *text = nullptr;
    uint32_t major = 0, minor = 0, patch = 0, build = 0;
    check(zemlGetVersion(&text, &major, &minor, &patch, &build), "get version error, ret: %d.");
    return optionalText(text);
}

// The two texts go to the runtime as they are, with no further arguments: the
// library prints them literally.
zemlOpStatus_enum logMsg(const zemlLogLevel_enum *level, const std::string &source, const zemlOpStatus_enum *status,
                         const std::string &message) {
    zemlLogLevel_enum threshold = byValue(level);
    zemlOpStatus_enum reported = byValue(status);
    return asStatus(zemlLogMsg(threshold, source.c_str(), reported, message.c_str()));
}

py::str errorString(const zemlOpStatus_enum *status) {
    const char *text = zemlErrorString(byValue(status));
    if (!text) throw std::runtime_error("the management library has no text for this status");
    return optionalText(text);
}

// The first n devices, as records of type R from runtime entries of type S.
template <class R, class S, class Base>
std::vector<R> devices(uint32_t (*runtime)(S *, uint32_t), uint32_t n, const char *message, Base S::*base) {
    std::vector<S> entries(n);
    check(runtime(entries.data(), n), message);
    std::vector<R> records;
    records.reserve(n);
    for (const S &entry : entries) records.push_back({unpackDieIndex(entry.dieIndex), nodeFromRuntime(entry.*base)});
    return records;
}

}  // namespace

void registerManagement(py::module_ &m) {
    registerEnumerations(m);
    registerRecords(m);
    registerAttributes(m);
    m.def(
        "init", [] { return asStatus(zemlInit()); }, "initialize the environment for zeml api.");
    m.def(
        "shutDown", [] { return asStatus(zemlShutDown()); }, "release the environment for zeml api.");
    m.def("getVersion", &version, "get the zeml api version information.");
    m.def(
        "setLogLevel", [](const zemlLogLevel_enum *level) { return asStatus(zemlSetLogLevel(byValue(level))); },
        "set logger system for message logging.");
    m.def("logMsg", &logMsg, "write a message to the console or file.");
    m.def("errorString", &errorString, "convert the description of an error code from error code.");
}

void registerInventory(py::module_ &m) {
    m.def(
        "getAiDeviceCount", [] { return output(&zemlGetAiDeviceCount, "get ai device count error, ret: %d."); },
        "get the count of ai device.");
    m.def(
        "getCodecDeviceCount",
        [] { return output(&zemlGetCodecDeviceCount, "get codec device count error, ret: %d."); },
        "get the count of codec device.");
    m.def(
        "getAiDevInfo",
        [](uint32_t n) {
            return devices<zemlAiDevInfoPy>(&zemlGetAiDevInfo, n, "get ai device info error, ret: %d.",
                                            &zemlAiDevInfo_struct::aiBaseInfo);
        },
        "get the information of ai device.");
    m.def(
        "getCodecDevInfo",
        [](uint32_t n) {
            return devices<zemlCodecDevInfoPy>(&zemlGetCodecDevInfo, n, "get codec device info error, ret: %d.",
                                               &zemlCodecDevInfo_struct::videoBaseInfo);
        },
        "get the information of codec device.");
    m.def(
        "getDieIndexByDevIndex",
        [](uint32_t device) {
            return unpackDieIndex(output(&zemlGetDieIndexByDevIndex, "get dieIndex by index error, ret: %d.", device));
        },
        "get the physical index of die by logical index.");
}

}  // namespace halvora::zeml
