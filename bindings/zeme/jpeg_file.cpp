#include "jpeg_file.hpp"

#include <algorithm>
#include <cstdio>

#include "files.hpp"

namespace halvora::zeme {
namespace {

constexpr uint8_t kMarker = 0xFF;
constexpr uint8_t kEndOfImage = 0xD9;
constexpr uint8_t kApp0 = 0xE0;

bool isApplication(uint8_t m) { return m >= 0xE1 && m <= 0xEF; }
bool isStartOfFrame(uint8_t m) { return m == 0xC1 || m == 0xC2 || m == 0xC3 || (m >= 0xC5 && m <= 0xCB); }

// The scan over bytes [0, size): every read is inside them.
class Scan {
public:
    Scan(const uint8_t *bytes, uint32_t size) : b_(bytes), len_(size) {}

    uint32_t run() {
        uint64_t i = 0;
        while (true) {
            uint64_t a = i;
            while (a < len_ && b_[a] != kMarker) ++a;
            if (a >= len_) return missing();
            uint64_t q = a + 1;
            if (q >= len_) return missing();
            const uint8_t m = b_[q];
            if (isApplication(m)) {
                uint64_t end;
                if (!segmentEnd(a, &end) || end == len_) return missing();
                i = end;
                continue;
            }
            if (isStartOfFrame(m)) {
                uint64_t end;
                if (!segmentEnd(a, &end)) return missing();
                // The last end-of-image pair after the frame header ends the picture.
                uint64_t last = 0;
                bool found = false;
                for (uint64_t p = end - 1; p + 1 < len_; ++p)
                    if (b_[p] == kMarker && b_[p + 1] == kEndOfImage) {
                        if (p + 2 >= len_) return static_cast<uint32_t>(p + 2);
                        last = p;
                        found = true;
                    }
                a = found ? last : end - 1;
                q = a + 1;
                if (q >= len_) return missing();
            }
            uint32_t result;
            if (anchor(a, q, &result)) return result;
            i = q;
        }
    }

private:
    // The end a + 2 + L of the segment whose length L is at a + 2; false when the
    // length or the segment does not lie inside the data.
    bool segmentEnd(uint64_t a, uint64_t *end) const {
        if (a + 3 >= len_) return false;
        const uint64_t length = (uint64_t{b_[a + 2]} << 8) | b_[a + 3];
        *end = a + 2 + length;
        return *end <= len_;
    }

    // The marker at q (anchor a): a JFXX thumbnail's start, or an end of image.
    bool anchor(uint64_t a, uint64_t q, uint32_t *result) {
        static const uint8_t jfxx[] = {0x4A, 0x46, 0x58, 0x58, 0x00, 0x10};
        if (b_[q] == kApp0 && a + 9 < len_ && std::equal(jfxx, jfxx + 6, b_ + a + 4)) thumb_ = true;
        if (b_[q] == kEndOfImage) {
            last_ = a + 2;
            if (!thumb_) {
                *result = static_cast<uint32_t>(a + 2);
                return true;
            }
            thumb_ = false;  // this end belonged to the thumbnail
        }
        return false;
    }

    uint32_t missing() const {
        std::printf("EOI missing from end of file!\n");
        return static_cast<uint32_t>(last_);
    }

    const uint8_t *b_;
    const uint64_t len_;
    uint64_t last_ = 0;
    bool thumb_ = false;
};

}  // namespace

uint32_t jpegImageLength(const uint8_t *bytes, uint32_t size) { return Scan(bytes, size).run(); }

JpegLoad loadJpeg(const std::string &path, JpegFile *file) {
    File stream(std::fopen(path.c_str(), "rb"));
    if (!stream) {
        std::fprintf(stderr, "Unable to open input file %s\n", path.c_str());
        return JpegLoad::Unopenable;
    }
    uint64_t size = 0;
    if (fseeko(stream.get(), 0, SEEK_END) == 0) {
        off_t end = ftello(stream.get());
        size = end > 0 ? static_cast<uint64_t>(end) : 0;
    }
    std::rewind(stream.get());
    const size_t wanted = static_cast<size_t>(std::min(size, kJpegCapacity));
    if (wanted) {
        file->bytes.reset(static_cast<uint8_t *>(std::malloc(wanted)));
        if (!file->bytes) return JpegLoad::NoMemory;
    }
    file->size = static_cast<uint32_t>(wanted ? std::fread(file->bytes.get(), 1, wanted, stream.get()) : 0);
    file->length = jpegImageLength(file->bytes.get(), file->size);
    return JpegLoad::Loaded;
}

}  // namespace halvora::zeme
