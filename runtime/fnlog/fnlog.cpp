#include "fnlog/fnlog.hpp"

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <filesystem>
#include <map>
#include <mutex>

namespace fnlog {
namespace {

std::mutex mutex;
std::shared_ptr<spdlog::logger> logger;
std::map<std::string, std::shared_ptr<spdlog::logger>> namedLoggers;

// A logger appending to `directory`/`fileName`; throws when the file cannot be opened.
std::shared_ptr<spdlog::logger> openLogger(const std::string &directory, const std::string &fileName) {
    std::filesystem::create_directories(directory);
    auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(
        (std::filesystem::path(directory) / fileName).string());
    auto opened = std::make_shared<spdlog::logger>("fn-log", sink);
    opened->set_pattern("[%Y-%m-%d %H:%M:%S.%e] [%P:%t] %v");
    opened->set_level(spdlog::level::trace);
    opened->flush_on(spdlog::level::trace);
    return opened;
}

}  // namespace

bool open(const std::string &directory, const std::string &fileName) {
    std::lock_guard<std::mutex> lock(mutex);
    try {
        logger = openLogger(directory, fileName);
        return true;
    } catch (const std::exception &) {
        return false;
    }
}

bool openNamed(const std::string &name, const std::string &directory, const std::string &fileName) {
    std::lock_guard<std::mutex> lock(mutex);
    try {
        namedLoggers[name] = openLogger(directory, fileName);
        return true;
    } catch (const std::exception &) {
        return false;
    }
}

bool writeNamed(const std::string &name, const char *channel, const char *level, const std::string &message) {
    std::shared_ptr<spdlog::logger> target;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto found = namedLoggers.find(name);
        if (found != namedLoggers.end()) target = found->second;
    }
    if (!target) return false;
    try {
        target->info("[{}] [{}] {}", channel, level, message);  // the message is an argument, never a format
        return true;
    } catch (const std::exception &) {
        return false;
    }
}

bool isOpen() {
    std::lock_guard<std::mutex> lock(mutex);
    return logger != nullptr;
}

bool write(const char *channel, const char *level, const Location &where, const std::string &message) {
    std::shared_ptr<spdlog::logger> target;
    {
        std::lock_guard<std::mutex> lock(mutex);
        target = logger;
    }
    if (!target) return false;
    try {
        // The message is an argument, never a format: braces and percent signs stay as given.
        target->info("[{}] [{}] [{} {}:{}] {}", channel, level, where.function ? where.function : "",
                     where.file ? where.file : "", where.line, message);
        return true;
    } catch (const std::exception &) {
        return false;
    }
}

}  // namespace fnlog
