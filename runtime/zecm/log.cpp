// The runtime's logger: one file, zecm.log, in the log directory of the runtime
// options, written through libfn-log.
#include <cstdarg>
#include <cstdio>
#include <string>

#include "zecm/runtime.hpp"
#include "fnlog/fnlog.hpp"

namespace {

const char *const kChannels[] = {"APP", "CM", "CE", "CL", "ME", "ML", "RT", "NN", "TM"};
const char *const kLevels[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "ALARM", "FATAL"};
constexpr uint32_t kChannelCount = sizeof kChannels / sizeof *kChannels;
constexpr uint32_t kLevelCount = sizeof kLevels / sizeof *kLevels;

// printf-style formatting into a string of any length; false on a formatting error.
bool formatMessage(std::string *out, const char *format, va_list args) {
    va_list measuring;
    va_copy(measuring, args);
    const int length = std::vsnprintf(nullptr, 0, format, measuring);
    va_end(measuring);
    if (length < 0) return false;
    out->assign(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(&(*out)[0], out->size(), format, args);
    out->resize(static_cast<size_t>(length));
    return true;
}

}  // namespace

// The directory is the runtime options' logDir, or the default log directory
// before zecmInitialize or when the options name none. Calling it again reopens
// the file, so a later zecmInitialize with another logDir takes effect.
uint32_t zecmInitLogger(void) {
    ZESIM_CALL() {
        std::string directory = zecm::initialized() ? zecm::options().logDir : std::string();
        if (directory.empty()) directory = zecm::defaultLogDir();
        return fnlog::open(directory, "zecm.log") ? zecmER_SUCCESS : zecmER_LOGGER;
    };
}

// The trace shows the message as formatted from the variadic arguments; a null
// format is refused without reading them. Logging before zecmInitLogger fails
// with zecmER_LOGGER.
uint32_t zecmLogMessage(zecmLogChannel channel, zecmLogLevel level, const char *function, const char *file,
                        int32_t line, const char *format, ...) {
    if (!format) {
        ZESIM_CALL(channel, level, function, file, line, format) { return zecmER_INVALID_PARAM; };
    }
    std::string message;
    va_list args;
    va_start(args, format);
    const bool formatted = formatMessage(&message, format, args);
    va_end(args);
    const char *text = message.c_str();
    ZESIM_CALL(channel, level, function, file, line, format, text) {
        const auto channelIndex = static_cast<uint32_t>(channel);
        const auto levelIndex = static_cast<uint32_t>(level);
        if (channelIndex >= kChannelCount || levelIndex >= kLevelCount || !formatted) return zecmER_INVALID_PARAM;
        if (!fnlog::isOpen()) return zecmER_LOGGER;
        const fnlog::Location where{function, file, line};
        return fnlog::write(kChannels[channelIndex], kLevels[levelIndex], where, message) ? zecmER_SUCCESS
                                                                                          : zecmER_LOGGER;
    };
}
