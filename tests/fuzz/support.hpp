// What the fuzz targets share: a scratch file for inputs that the code under test
// reads from a path, the runtime initialised once per process, and a reader of the
// first bytes of an input as the run's choices.
#pragma once
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace fuzz {

// Stops the process with a message: a broken property is a finding like a crash.
[[noreturn]] inline void fail(const char *what) {
    std::fprintf(stderr, "fuzz property broken: %s\n", what);
    std::abort();
}

#define FUZZ_CHECK(condition)                       \
    do {                                            \
        if (!(condition)) ::fuzz::fail(#condition); \
    } while (0)

// A file of this process in $TMPDIR (or /tmp), removed at exit; write() replaces its bytes.
class ScratchFile {
public:
    explicit ScratchFile(const char *name) {
        const char *tmp = std::getenv("TMPDIR");
        path_ = std::string(tmp && *tmp ? tmp : "/tmp") + "/halvora-fuzz-" + std::to_string(getpid()) + "-" + name;
    }
    ~ScratchFile() { std::remove(path_.c_str()); }
    const std::string &write(const uint8_t *data, size_t size) const {
        FILE *file = std::fopen(path_.c_str(), "wb");
        if (!file) fail("cannot write the scratch file");
        if (size && std::fwrite(data, 1, size, file) != size) fail("cannot write the scratch file");
        std::fclose(file);
        return path_;
    }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// The input's first bytes as choices, the rest as the payload.
class Choices {
public:
    Choices(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    uint8_t byte() {
        if (!size_) return 0;
        --size_;
        return *data_++;
    }
    uint32_t u16() { return uint32_t{byte()} | uint32_t{byte()} << 8; }
    const uint8_t *rest() const { return data_; }
    size_t restSize() const { return size_; }

private:
    const uint8_t *data_;
    size_t size_;
};

// Sends what the code under test prints on standard output to /dev/null: parsers
// that print for every malformed input would otherwise slow the fuzzer down.
inline void quietStdout() {
    if (!std::freopen("/dev/null", "w", stdout)) fail("cannot silence standard output");
}

}  // namespace fuzz
