// JPEG pictures to the card's JPEG decoder: zemeGetJpegInfo on the bytes, and
// zemeJpegSyncDecoder on a channel of the output format the first byte chooses.
// A picture decoded is read whole (as the binding's copy from the runtime reads it)
// and released, so that the channels hold nothing between runs.
#include <vector>

#include "media_setup.hpp"

namespace {

const zemePixelFormat kFormats[] = {ZEME_PIX_FMT_NV12, ZEME_PIX_FMT_NV21, ZEME_PIX_FMT_YUV420P};
constexpr uint32_t kChannels = 3;  // channel i decodes to kFormats[i]

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::initializeMedia();
    for (uint32_t channel = 0; channel < kChannels; ++channel) {
        zemeDecChannelParameters params{
            ZEME_CODEC_DEC_JPEG, ZEME_SRC_FRAME, ZEME_DEC_NORMAL, kFormats[channel], 0, {0, 0}};
        FUZZ_CHECK(zemeCreateDecoderChannel(&params, channel) == 0);
        FUZZ_CHECK(zemeStartDecoder(channel) == 0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Choices in(data, size);
    const uint32_t channel = in.byte() % kChannels;
    // An exact heap copy: a read past the picture's bytes is caught.
    std::vector<uint8_t> bytes(in.rest(), in.rest() + in.restSize());
    zemeStream stream{bytes.data(), static_cast<uint32_t>(bytes.size()), 7, 0};

    zemeDecJpegInfo info{};
    const uint32_t infoStatus = zemeGetJpegInfo(&stream, &info);

    zemeFrame frame{};
    const uint32_t status = zemeJpegSyncDecoder(channel, &stream, &frame, 0);
    if (status == 0) {
        FUZZ_CHECK(infoStatus == 0);
        FUZZ_CHECK(frame.memoryType == ZEME_MEM_HOST && frame.data[0] && frame.pts == 7);
        FUZZ_CHECK(frame.width >= info.width && frame.height >= info.height);
        FUZZ_CHECK(uint64_t{frame.dataSize} >= uint64_t{frame.width} * frame.height * 3 / 2);
        std::vector<uint8_t> copy(frame.data[0], frame.data[0] + frame.dataSize);
        FUZZ_CHECK(zemeDecReleaseFrame(channel, &frame, 0) == 0);
    }
    // A failed picture leaves the channel in its error state: it goes on decoding.
    zemeDecStatus decoder{};
    FUZZ_CHECK(zemeGetDecoderStatus(channel, &decoder) == 0);
    FUZZ_CHECK(decoder.runningFrames == 0 && decoder.bufferedFrames == 0);
    return 0;
}
