// H.264 bitstreams sent to a decoder channel (see video_decoder.hpp).
#include "video_decoder.hpp"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::initializeMedia();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    return fuzz::decodeInput(ZEME_CODEC_DEC_H264, data, size);
}
