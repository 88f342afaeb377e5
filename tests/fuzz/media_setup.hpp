// Start-up the media fuzz targets share: the common runtime on device 0 and the media
// engine, a started JPEG encoder channel, and a picture encoded by it.
#pragma once
#include <cstdint>
#include <vector>

#include "support.hpp"
#include "zecm.h"
#include "zeme.h"

namespace fuzz {

inline void initializeMedia() {
    FUZZ_CHECK(zecmInitialize(nullptr) == 0);
    FUZZ_CHECK(zecmSetDevice(0) == 0);
    FUZZ_CHECK(zemeSystemInitialize() == 0);
}

inline void startJpegEncoder(uint32_t channel) {
    zemeEncChannelParameters jpeg{};
    jpeg.codecType = ZEME_CODEC_ENC_JPEG;
    FUZZ_CHECK(zemeCreateEncoderChannel(&jpeg, channel) == 0);
    FUZZ_CHECK(zemeStartEncoder(channel) == 0);
}

// A `side` x `side` picture of one grey `value`, through the started JPEG encoder
// `channel`: the stream it hands out (to be released by the caller).
inline zemeStream encodeGrey(uint32_t channel, uint32_t side, uint8_t value) {
    std::vector<uint8_t> nv12(side * side * 3 / 2, value);
    zemeFrame frame{};
    frame.data[0] = nv12.data();
    frame.data[1] = nv12.data() + side * side;
    frame.stride[0] = frame.stride[1] = side;
    frame.dataSize = static_cast<uint32_t>(nv12.size());
    frame.width = frame.height = side;
    frame.memoryType = ZEME_MEM_HOST;
    frame.pixelFormat = ZEME_PIX_FMT_NV12;
    zemeStream stream{};
    FUZZ_CHECK(zemeJpegSyncEncoder(channel, &frame, &stream, nullptr, 0) == 0);
    FUZZ_CHECK(stream.data && stream.dataSize > 0);
    return stream;
}

}  // namespace fuzz
