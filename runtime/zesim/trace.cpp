// The control interface: queued injections per function and the call trace.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <unordered_map>

#include "zesim/call.hpp"

namespace zesim {

std::atomic<bool> tracing{false};
std::atomic<int> pendingInjections{0};

namespace {

struct Queued {
    Injection kind;
    uint32_t status;
    uint32_t remaining;
};

std::mutex injectionMutex;
std::unordered_map<std::string, std::deque<Queued>> injections;

std::mutex traceMutex;
std::string traceLines;

void queue(const char *function, Injection kind, uint32_t status, uint32_t count) {
    if (!function || count == 0) return;
    std::lock_guard<std::mutex> lock(injectionMutex);
    injections[function].push_back({kind, status, count});
    ++pendingInjections;
}

}  // namespace

Injection takeInjection(const char *function, uint32_t *status) {
    std::lock_guard<std::mutex> lock(injectionMutex);
    auto found = injections.find(function);
    if (found == injections.end() || found->second.empty()) return Injection::None;
    Queued &next = found->second.front();
    Injection kind = next.kind;
    *status = next.kind == Injection::Fail ? next.status : 0;
    if (--next.remaining == 0) {
        found->second.pop_front();
        --pendingInjections;
    }
    return kind;
}

void record(std::string &&line) {
    std::lock_guard<std::mutex> lock(traceMutex);
    traceLines += line;
}

void putSigned(std::string &out, long long value) { out += std::to_string(value); }

void putUnsigned(std::string &out, unsigned long long value) { out += std::to_string(value); }

void putReal(std::string &out, double value, int digits) {
    char text[40];
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    out += text;
}

void putText(std::string &out, const char *text) {
    if (!text) {
        out += "NULL";
        return;
    }
    out += '"';
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(text); *c; ++c) {
        switch (*c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (*c < 0x20 || *c == 0x7f) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\x%02x", *c);
                out += escaped;
            } else {
                out += static_cast<char>(*c);
            }
        }
    }
    out += '"';
}

void putPointer(std::string &out, const void *pointer) {
    if (!pointer) {
        out += "NULL";
        return;
    }
    char text[24];
    std::snprintf(text, sizeof text, "0x%" PRIxPTR, reinterpret_cast<uintptr_t>(pointer));
    out += text;
}

}  // namespace zesim

using namespace zesim;

extern "C" {

void zesimFailNext(const char *function, uint32_t status, uint32_t count) {
    queue(function, Injection::Fail, status, count);
}

void zesimNullNext(const char *function, uint32_t count) { queue(function, Injection::Null, 0, count); }

void zesimTrace(int enabled) { tracing = enabled != 0; }

size_t zesimTraceRead(char *buffer, size_t size) {
    std::lock_guard<std::mutex> lock(traceMutex);
    if (buffer && size > 0) {
        size_t copied = std::min(size - 1, traceLines.size());
        std::memcpy(buffer, traceLines.data(), copied);
        buffer[copied] = '\0';
    }
    return traceLines.size();
}

void zesimTraceClear(void) {
    std::lock_guard<std::mutex> lock(traceMutex);
    traceLines.clear();
}

void zesimReset(void) {
    {
        std::lock_guard<std::mutex> lock(injectionMutex);
        injections.clear();
        pendingInjections = 0;
    }
    tracing = false;
    zesimTraceClear();
}

}  // extern "C"
