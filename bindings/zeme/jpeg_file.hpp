// The JPEG file loader: reads a file and finds where its image ends (its last
// end-of-image marker that is not a thumbnail's), so that the decoder is handed
// exactly one picture even when the file carries trailing bytes or a thumbnail.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace halvora::zeme {

// Files are read up to this many bytes.
constexpr uint64_t kJpegCapacity = 536870912;

struct JpegFile {
    std::unique_ptr<uint8_t, decltype(&std::free)> bytes{nullptr, &std::free};
    uint32_t size = 0;    // bytes read (at most kJpegCapacity)
    uint32_t length = 0;  // bytes of the image, end-of-image marker included
};

enum class JpegLoad { Loaded, Unopenable, NoMemory };

// Reads the file into a buffer of its own size (at most kJpegCapacity) and scans it.
// An unopenable file prints "Unable to open input file <path>" on standard error; a
// file without a usable end-of-image marker prints "EOI missing from end of file!" on
// standard output and gives the end of the last marker seen (0 if none).
JpegLoad loadJpeg(const std::string &path, JpegFile *file);

// The length of the image in `size` bytes (the scan of loadJpeg).
uint32_t jpegImageLength(const uint8_t *bytes, uint32_t size);

}  // namespace halvora::zeme
