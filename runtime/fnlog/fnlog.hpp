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
FNLOG_EXPORT bool write(const char *channel, const char *level, const Location &where, const std::string &message);

// Log files of their own, apart from the one above, each known by a name (the
// management library keeps zeml.log so). Opening a name again switches its file.
FNLOG_EXPORT bool openNamed(const std::string &name, const std::string &directory, const std::string &fileName);
// Writes one record to the named file: time, channel, level and the message as given.
// False when the name has no open file.
FNLOG_EXPORT bool writeNamed(const std::string &name, const char *channel, const char *level,
                             const std::string &message);

}  // namespace fnlog
