// Initialisation, error texts and logging of the management library.
//
// Records go to zeml.log in the common library's default log directory
// ($TMPDIR/zesim-log, else /tmp/zesim-log), opened (appending) by zemlInit, through
// libfn-log. Each reads "[time] [pid:tid] [ML] [LEVEL] [source] [status N] text";
// records below the threshold (ZEML_LOG_INFO until zemlSetLogLevel) are dropped.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "fnlog/fnlog.hpp"
#include "zeml/management.hpp"
#include "zesim/status.hpp"

namespace zeml {
namespace {

const char *const kLevels[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL"};
constexpr uint32_t kLevelCount = sizeof kLevels / sizeof *kLevels;
const char *const kLog = "zeml";

std::mutex mutex;  // orders init and shutdown
std::atomic<bool> isInitialized{false};
std::atomic<bool> logOpen{false};
std::atomic<uint32_t> threshold{ZEML_LOG_INFO};

// The number a caller passed for an enumeration, read without assuming it is one of
// the enumeration's values.
template <class E> uint32_t rawValue(E value) {
    static_assert(sizeof(E) == sizeof(uint32_t), "a 32-bit enumeration");
    uint32_t raw;
    std::memcpy(&raw, &value, sizeof raw);
    return raw;
}

std::string logDirectory() {
    const char *tmp = std::getenv("TMPDIR");
    return std::string(tmp && *tmp ? tmp : "/tmp") + "/zesim-log";
}

// A record from the library itself.
void note(uint32_t level, const std::string &text) {
    if (level < threshold.load() || !logOpen.load()) return;
    fnlog::writeNamed(kLog, "ML", kLevels[level], "[zeml] [status 0] " + text);
}

}  // namespace

uint32_t checkInitialized() {
    return isInitialized.load(std::memory_order_acquire) ? ZEML_SUCCESS : ZEML_ERROR_UNINITIALIZED;
}

}  // namespace zeml

using namespace zeml;

// An invalid inventory (ZESIM_CONFIG refused) fails with ZEML_ERROR_INITI_FAIL, one
// without cards with ZEML_ERROR_CARD_EMPTY; the library then stays uninitialised.
uint32_t zemlInit(void) {
    ZESIM_CALL() {
        return guarded([]() -> uint32_t {
            std::lock_guard<std::mutex> lock(zeml::mutex);
            if (isInitialized) return ZEML_ERROR_INITIALIZED;
            logOpen = fnlog::openNamed(kLog, logDirectory(), "zeml.log");
            const zesim::Inventory &inventory = zesim::inventory();
            if (!inventory.valid) {
                note(ZEML_LOG_ERROR, "zemlInit: the card configuration is refused: " + inventory.error);
                return ZEML_ERROR_INITI_FAIL;
            }
            if (inventory.cards.empty()) {
                note(ZEML_LOG_ERROR, "zemlInit: the configuration has no card");
                return ZEML_ERROR_CARD_EMPTY;
            }
            isInitialized.store(true, std::memory_order_release);
            note(ZEML_LOG_INFO, "zemlInit: " + std::to_string(inventory.cards.size()) + " card(s), " +
                                    std::to_string(inventory.aiDevices.size()) + " AI and " +
                                    std::to_string(inventory.codecDevices.size()) + " codec device(s)");
            return ZEML_SUCCESS;
        });
    };
}

uint32_t zemlShutDown(void) {
    ZESIM_CALL() {
        return guarded([]() -> uint32_t {
            std::lock_guard<std::mutex> lock(zeml::mutex);
            if (!isInitialized) return ZEML_ERROR_UNINITIALIZED;
            note(ZEML_LOG_INFO, "zemlShutDown");
            isInitialized.store(false, std::memory_order_release);
            return ZEML_SUCCESS;
        });
    };
}

// The threshold is kept for the process (a later zemlInit does not reset it).
uint32_t zemlSetLogLevel(zemlLogLevel_enum level) {
    ZESIM_CALL(level) {
        if (uint32_t status = checkInitialized()) return status;
        const uint32_t raw = rawValue(level);
        if (raw > ZEML_LOG_NONE) return ZEML_ERROR_INPUT_PARAMETER_ERROR;
        threshold = raw;
        return ZEML_SUCCESS;
    };
}

// Both texts are written as they are: `format` is never read as a format and the
// variable arguments are never read. ZEML_LOG_NONE is a threshold, not a level.
// ZEML_ERROR_INITI_FAIL when zemlInit could not open the log file.
uint32_t zemlLogMsg(zemlLogLevel_enum level, const char *source, zemlOpStatus_enum status, const char *format, ...) {
    ZESIM_CALL(level, source, status, format) {
        return guarded([&]() -> uint32_t {
            if (uint32_t check = checkInitialized()) return check;
            if (!source || !format) return ZEML_ERROR_INPUT_PARAMETER_NULL;
            const uint32_t raw = rawValue(level);
            if (raw >= kLevelCount) return ZEML_ERROR_INPUT_PARAMETER_ERROR;
            if (raw < threshold.load()) return ZEML_SUCCESS;
            if (!logOpen) return ZEML_ERROR_INITI_FAIL;
            std::string message = "[";
            message += source;
            message += "] [status " + std::to_string(rawValue(status)) + "] ";
            message += format;
            return fnlog::writeNamed(kLog, "ML", kLevels[raw], message) ? ZEML_SUCCESS : ZEML_ERROR_INITI_FAIL;
        });
    };
}

// The card's description of any status it knows (those of the other libraries too);
// any other code reads as unknown.
const char *zemlErrorString(zemlOpStatus_enum status) {
    ZESIM_TEXT_CALL(status) {
        const char *text = zesim::statusText(rawValue(status));
        return text ? text : "Management: unknown status code.";
    };
}
