// The copy of a `frame` record to the runtime's zemeFrame (hostPlanes, the part of
// the binding's frameToRuntime that decides where the planes lie), with arbitrary
// formats, memory types, strides, sizes and crop rectangles, and the picture then
// handed to an encoder as the bindings hand it: whatever the binding accepts, the
// runtime must read only inside the record's bytes (an exact heap block here). The
// stream that comes back is copied as the binding's streamFromRuntime copies it.
// Or the record holds a host picture the JPEG decoder handed out (runtimePlanes, the
// check of frameToEncoder), described anew by the input: whatever the binding accepts,
// the encoder reads only inside the picture.
#include <algorithm>
#include <vector>

#include "frame_layout.hpp"
#include "media_setup.hpp"

using namespace halvora::zeme;

namespace {

constexpr uint32_t kJpegChannel = 0, kVideoChannel = 1, kJpegDecoder = 0;
constexpr uint32_t kVideoSide = 64;  // the video channel's pictures are 64x64

// Formats and memory types as the binding takes them: any enumerator (it refuses
// numbers outside the enumerations).
zemePixelFormat format(uint8_t choice) {
    static const zemePixelFormat likely[] = {ZEME_PIX_FMT_NV12, ZEME_PIX_FMT_NV21, ZEME_PIX_FMT_YUV420P};
    if (choice < 3 * 64) return likely[choice % 3];
    return static_cast<zemePixelFormat>(choice % (ZEME_PIX_FMT_BGRA + 2) - 1);
}

zemeMemoryType memory(uint8_t choice) {
    static const zemeMemoryType types[] = {ZEME_MEM_HOST, ZEME_MEM_DEVICE, ZEME_MEM_FLUSH};
    return types[choice % 3];
}

// Every stream ready, each copied and released; the last status.
uint32_t drain(uint32_t channel, uint32_t wait) {
    for (;;) {
        zemeStream stream{};
        uint32_t status = zemeReceiveStreamFromEncoder(channel, &stream, wait);
        if (status) return status;
        std::vector<uint8_t> copy(stream.data, stream.data + stream.dataSize);
        FUZZ_CHECK(zemeEncReleaseStream(channel, &stream, 0) == 0);
    }
}

// A 64x64 JPEG of the encoder's, for the decoder to hand out pictures from.
std::vector<uint8_t> &picture() {
    static std::vector<uint8_t> jpeg;
    return jpeg;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::initializeMedia();
    fuzz::startJpegEncoder(kJpegChannel);
    zemeDecChannelParameters decoder{
        ZEME_CODEC_DEC_JPEG, ZEME_SRC_FRAME, ZEME_DEC_NORMAL, ZEME_PIX_FMT_NV12, 0, {0, 0}};
    FUZZ_CHECK(zemeCreateDecoderChannel(&decoder, kJpegDecoder) == 0);
    FUZZ_CHECK(zemeStartDecoder(kJpegDecoder) == 0);
    zemeStream stream = fuzz::encodeGrey(kJpegChannel, kVideoSide, 90);
    picture().assign(stream.data, stream.data + stream.dataSize);
    FUZZ_CHECK(zemeEncReleaseStream(kJpegChannel, &stream, 0) == 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Choices in(data, size);
    const uint8_t first = in.byte();
    const bool video = first & 1, decoded = first & 2;
    zemeFrame frame{};
    frame.pixelFormat = format(in.byte());
    frame.memoryType = memory(in.byte());
    const size_t strideCount = in.byte() % 4;
    for (uint32_t &stride : frame.stride) stride = in.u16();
    for (size_t i = strideCount; i < ZEME_MAX_VIDEO_PLANE; ++i) frame.stride[i] = 0;  // as the binding fills them
    frame.width = in.u16() % 512;
    frame.height = in.u16() % 512;
    if (video) frame.width = frame.height = kVideoSide;
    frame.dataSize = in.u16();
    const uint64_t available = in.u16();
    if (in.byte() & 1) frame.cropInfo = {1, in.byte(), in.byte(), in.byte(), in.byte()};
    uint16_t deviceOffsets[ZEME_MAX_VIDEO_PLANE];
    for (uint16_t &offset : deviceOffsets) offset = static_cast<uint16_t>(in.u16());
    frame.pts = in.byte();

    zemeFrame handedOut{};
    if (decoded) {
        zemeStream jpeg{picture().data(), static_cast<uint32_t>(picture().size()), 0, 0};
        FUZZ_CHECK(zemeJpegSyncDecoder(kJpegDecoder, &jpeg, &handedOut, 0) == 0);
        std::copy(handedOut.data, handedOut.data + ZEME_MAX_VIDEO_PLANE, frame.data);
        if (runtimePlanes(frame, handedOut.data, handedOut.dataSize)) {  // refused with a ValueError
            FUZZ_CHECK(zemeDecReleaseFrame(kJpegDecoder, &handedOut, 0) == 0);
            return 0;
        }
    }
    HostPlanes planes;
    if (!decoded && hostPlanes(frame, strideCount, available, &planes)) return 0;  // refused with a TypeError
    FUZZ_CHECK(!planes.read || frame.memoryType == ZEME_MEM_HOST);

    // The record's bytes: exactly `available` of them.
    std::vector<uint8_t> pattern(in.rest(), in.rest() + in.restSize());
    uint8_t *bytes = static_cast<uint8_t *>(std::malloc(available ? available : 1));
    for (uint64_t i = 0; i < available; ++i) bytes[i] = pattern.empty() ? uint8_t(i) : pattern[i % pattern.size()];
    if (planes.read)
        for (int i = 0; i < (frame.pixelFormat == ZEME_PIX_FMT_YUV420P ? 3 : 2); ++i)
            frame.data[i] = bytes + planes.offsets[i];
    void *device = nullptr;
    if (frame.memoryType == ZEME_MEM_DEVICE && available && zecmMalloc(available, &device) == 0)
        for (int i = 0; i < ZEME_MAX_VIDEO_PLANE; ++i)
            frame.busAddress[i] = reinterpret_cast<uint64_t>(device) + deviceOffsets[i];

    if (video) {
        zemeEncChannelParameters params{};
        params.codecType = ZEME_CODEC_ENC_H264;
        params.videoConfig.width = params.videoConfig.height = kVideoSide;
        params.videoConfig.frameRate = {25, 1};
        FUZZ_CHECK(zemeCreateEncoderChannel(&params, kVideoChannel) == 0);
        FUZZ_CHECK(zemeStartEncoder(kVideoChannel) == 0);
        zemeSendFrameToEncoder(kVideoChannel, &frame, nullptr, ZEME_WAIT_FOREVER);
        zemeFrame end{};
        end.memoryType = ZEME_MEM_FLUSH;
        zemeSendFrameToEncoder(kVideoChannel, &end, nullptr, ZEME_WAIT_FOREVER);  // the frame may have ended it
        FUZZ_CHECK(drain(kVideoChannel, ZEME_WAIT_FOREVER) == zemeER_RSLT_WARN_EOS);
        FUZZ_CHECK(zemeDestroyEncoderChannel(kVideoChannel) == 0);
    } else {
        zemeStream stream{};
        if (zemeJpegSyncEncoder(kJpegChannel, &frame, &stream, nullptr, 0) == 0) {
            std::vector<uint8_t> copy(stream.data, stream.data + stream.dataSize);
            FUZZ_CHECK(copy.size() > 4 && copy[0] == 0xFF && copy[1] == 0xD8);
            FUZZ_CHECK(zemeEncReleaseStream(kJpegChannel, &stream, 0) == 0);
        }
    }
    if (device) FUZZ_CHECK(zecmFree(device) == 0);
    std::free(bytes);
    if (decoded) FUZZ_CHECK(zemeDecReleaseFrame(kJpegDecoder, &handedOut, 0) == 0);
    return 0;
}
