// The module's JPEG file loader: the scan for the end of the image on the bytes
// alone (an exact heap copy, so that a read past them is caught), and loadJpeg on
// the same bytes as a file. Both must agree, and the image lies inside the file.
#include <vector>

#include "jpeg_file.hpp"
#include "support.hpp"

using namespace halvora::zeme;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::quietStdout();  // "EOI missing from end of file!" for most inputs
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const fuzz::ScratchFile scratch("image.jpg");
    if (size > UINT32_MAX) return -1;
    uint8_t *exact = static_cast<uint8_t *>(std::malloc(size ? size : 1));
    if (size) std::memcpy(exact, data, size);
    const uint32_t length = jpegImageLength(exact, static_cast<uint32_t>(size));
    std::free(exact);
    FUZZ_CHECK(length <= size);

    JpegFile file;
    FUZZ_CHECK(loadJpeg(scratch.write(data, size), &file) == JpegLoad::Loaded);
    FUZZ_CHECK(file.size == size);
    FUZZ_CHECK(file.length == length);
    FUZZ_CHECK(size == 0 || std::memcmp(file.bytes.get(), data, size) == 0);
    return 0;
}
