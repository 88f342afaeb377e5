#include "h264_file.hpp"

#include <algorithm>
#include <cstdio>

namespace halvora::zeme {

int H264File::init() {
    release();
    file_.reset(std::fopen(path_.c_str(), "rb"));
    if (!file_) return -1;
    buffer_.reset(static_cast<uint8_t *>(std::malloc(kBufferSize)));
    if (!buffer_) {
        file_.reset();
        return -1;
    }
    return 0;
}

int H264File::release() {
    buffer_.reset();
    if (!file_) return 0;
    return std::fclose(file_.release()) == 0 ? 0 : -1;
}

// A start code is two or more zero bytes and a byte 1. Bytes are read one at a time
// through the stream's own buffer.
bool H264File::findStartCode(int *zeros) {
    int count = 0;
    for (;;) {
        int byte = getc_unlocked(file_.get());
        if (byte == EOF) return false;  // the end of the file, or a read error
        if (byte == 0) {
            ++count;
        } else if (byte == 1 && count >= 2) {
            *zeros = count;
            return true;
        } else {
            count = 0;
        }
    }
}

uint64_t H264File::next() {
    if (!file_ || !buffer_) return 0;
    FILE *file = file_.get();
    int zeros = 0;
    if (!findStartCode(&zeros)) return 0;
    // Zero bytes beyond three before a start code end the unit before it.
    const off_t start = ftello(file) - 1 - std::min(zeros, 3);
    off_t end;
    if (findStartCode(&zeros)) {
        end = ftello(file) - 1 - std::min(zeros, 3);
    } else {
        if (std::ferror(file) || fseeko(file, 0, SEEK_END) != 0) return 0;
        end = ftello(file);
    }
    if (start < 0 || end < start || fseeko(file, start, SEEK_SET) != 0) return 0;
    const uint64_t length = static_cast<uint64_t>(end - start);
    if (length > kBufferSize) {
        std::fputs("NAL does not fit provided buffer\n", stderr);
        return 0;
    }
    if (length == 0 || std::fread(buffer_.get(), 1, length, file) != length) return 0;
    return length;
}

}  // namespace halvora::zeme
