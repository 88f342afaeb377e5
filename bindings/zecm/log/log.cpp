// The common runtime's logger: channels, levels, initLogger and logMessage.
#include "../groups.hpp"
#include "zecm.h"

namespace halvora::zecm {
namespace {

// Every message logged from Python carries this caller location.
constexpr const char *kCaller = "operator()";
constexpr int32_t kCallerLine = 37;

}  // namespace

void registerLogging(py::module_ &m) {
    bindEnum<zecmLogChannel>(m, "logChannel",
                             {
                                 {"zecmLC_APP", zecmLC_APP},
                                 {"zecmLC_CM", zecmLC_CM},
                                 {"zecmLC_CE", zecmLC_CE},
                                 {"zecmLC_CL", zecmLC_CL},
                                 {"zecmLC_ME", zecmLC_ME},
                                 {"zecmLC_ML", zecmLC_ML},
                                 {"zecmLC_RT", zecmLC_RT},
                                 {"zecmLC_NN", zecmLC_NN},
                                 {"zecmLC_TM", zecmLC_TM},
                             });
    bindEnum<zecmLogLevel>(m, "logLevel",
                           {
                               {"zecmLL_TRACE", zecmLL_TRACE},
                               {"zecmLL_DEBUG", zecmLL_DEBUG},
                               {"zecmLL_INFO", zecmLL_INFO},
                               {"zecmLL_WARN", zecmLL_WARN},
                               {"zecmLL_ERROR", zecmLL_ERROR},
                               {"zecmLL_ALARM", zecmLL_ALARM},
                               {"zecmLL_FATAL", zecmLL_FATAL},
                           });
    m.def("initLogger", &zecmInitLogger, "Initialize logger system for message logging.");
    // The message goes through a "%s" format so that percent signs reach the log
    // unchanged. A None message passes a null format instead, which the runtime
    // refuses with its invalid-parameter status (a null "%s" argument cannot be
    // told apart by the runtime).
    m.def(
        "logMessage",
        [](const zecmLogChannel *channel, const zecmLogLevel *level, const char *message) {
            const zecmLogChannel logChannel = byValue(channel);
            const zecmLogLevel logLevel = byValue(level);
            if (!message) return zecmLogMessage(logChannel, logLevel, kCaller, __FILE__, kCallerLine, nullptr);
            return zecmLogMessage(logChannel, logLevel, kCaller, __FILE__, kCallerLine, "%s", message);
        },
        "Write a message to the log file.");
}

}  // namespace halvora::zecm
