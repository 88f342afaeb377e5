// The H.264 elementary-stream reader: an Annex B byte-stream file handed out one
// NAL unit at a time, start code included, through a 16 MiB buffer.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "files.hpp"

namespace halvora::zeme {

class H264File {
public:
    static constexpr uint64_t kBufferSize = 16777216;

    explicit H264File(std::string path) : path_(std::move(path)) {}

    // Opens the file and allocates the buffer (again, after an earlier init):
    // 0, or -1 when the file cannot be opened or the buffer allocated.
    int init();
    // Frees the buffer and closes the file: the close's result, 0 when nothing was open.
    int release();
    // The next NAL unit into the buffer: its length, or 0 at the end of the file, for a
    // unit longer than the buffer (with a message on standard error), on a read error,
    // or before a successful init.
    uint64_t next();
    const uint8_t *buffer() const { return buffer_.get(); }

private:
    // Reads up to the next start code; false at the end of the file or on a read error.
    // `zeros` is the count of zero bytes before the byte 1 that ended it.
    bool findStartCode(int *zeros);

    std::string path_;
    File file_;
    std::unique_ptr<uint8_t, decltype(&std::free)> buffer_{nullptr, &std::free};
};

}  // namespace halvora::zeme
