// The module's H.264 elementary-stream reader on the input as a file: every unit
// it hands out starts with a start code, and the units follow one another without
// gap or overlap from the first start code to the end of the file.
#include <vector>

#include "h264_file.hpp"
#include "support.hpp"

using namespace halvora::zeme;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const fuzz::ScratchFile scratch("stream.264");
    H264File reader(scratch.write(data, size));
    FUZZ_CHECK(reader.init() == 0);
    std::vector<uint8_t> units;
    for (uint64_t length; (length = reader.next()) != 0;) {
        const uint8_t *unit = reader.buffer();
        FUZZ_CHECK(length >= 3);
        const bool three = unit[0] == 0 && unit[1] == 0 && unit[2] == 1;
        const bool four = length >= 4 && unit[0] == 0 && unit[1] == 0 && unit[2] == 0 && unit[3] == 1;
        FUZZ_CHECK(three || four);
        units.insert(units.end(), unit, unit + length);
        FUZZ_CHECK(units.size() <= size);
    }
    // The units are the file's bytes from the first start code on.
    const size_t first = size - units.size();
    FUZZ_CHECK(std::equal(units.begin(), units.end(), data + first));
    for (size_t i = 0; i + 2 < first; ++i) FUZZ_CHECK(!(data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1));
    FUZZ_CHECK(reader.release() == 0);
    FUZZ_CHECK(reader.next() == 0);  // released: nothing more
    return 0;
}
