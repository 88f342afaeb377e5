// libfn-log: the logging backend of the software card, on spdlog. One log file
// per process, shared by every channel; records are flushed as they are written.
#pragma once
#include <string>

#define FNLOG_EXPORT __attribute__((visibility("default")))

namespace fnlog {

struct Location {
    const char *function;
    const char *file;
    int line;
};

// Opens (appending) `directory`/`fileName`, creating the directory. Reopening
// with another path switches files. False when the file cannot be opened.
FNLOG_EXPORT bool open(const std::string &directory, const std::string &fileName);
FNLOG_EXPORT bool isOpen();
// Writes one record: time, channel, level, caller location and the message as given.
FNLOG_EXPORT bool write(const char *channel, const char *level, const Location &where,
                        const std::string &message);

}  // namespace fnlog
