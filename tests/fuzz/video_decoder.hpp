// Bitstreams sent to a decoder channel (the body of h264_decoder and hevc_decoder).
// The first byte chooses the run: pictures in host or device memory, the output
// format, crop, the size of the pieces the rest is sent in, and a transfer of device
// pictures to the host. Every picture received is read whole (as the binding's copy
// from the runtime reads it) and released; the channel is destroyed at the end of
// each run, so nothing outlives it.
#pragma once
#include <algorithm>
#include <vector>

#include "media_setup.hpp"

namespace fuzz {

constexpr uint32_t kChannel = 0;
constexpr int kMaxPictures = 12;  // per input: what a run spends is bounded

inline uint64_t pictureBytes(const zemeFrame &frame) {
    return uint64_t{frame.width} * frame.height + 2 * (uint64_t{(frame.width + 1) / 2} * ((frame.height + 1) / 2));
}

// Reads the picture whole, as the binding's frameFromRuntime copies a host picture.
inline void readPicture(uint32_t channel, const zemeFrame &frame, bool transfer) {
    FUZZ_CHECK(frame.width > 0 && frame.height > 0);
    FUZZ_CHECK(frame.dataSize >= pictureBytes(frame));
    std::vector<uint8_t> copy(frame.dataSize);
    if (frame.memoryType == ZEME_MEM_HOST) {
        FUZZ_CHECK(frame.data[0] != nullptr);
        std::memcpy(copy.data(), frame.data[0], frame.dataSize);
        return;
    }
    FUZZ_CHECK(frame.memoryType == ZEME_MEM_DEVICE && frame.busAddress[0] != 0);
    FUZZ_CHECK(zecmMemcpy(reinterpret_cast<void *>(frame.busAddress[0]), copy.data(), copy.size(),
                          zecmCT_COPY_FROM_DEVICE) == 0);
    if (transfer) {
        zemeFrame host = frame;
        FUZZ_CHECK(zemeTransferFrameFromDecoder(channel, &host, 1) == 0);
        FUZZ_CHECK(host.memoryType == ZEME_MEM_HOST && host.privateData == frame.privateData);
        std::vector<uint8_t> hostCopy(host.data[0], host.data[0] + host.dataSize);
    }
}

inline int decodeInput(zemeCodecType codec, const uint8_t *data, size_t size) {
    Choices in(data, size);
    const uint8_t flags = in.byte();
    const uint8_t piece = in.byte();
    static const zemePixelFormat formats[] = {ZEME_PIX_FMT_NV12, ZEME_PIX_FMT_NV21, ZEME_PIX_FMT_YUV420P,
                                              ZEME_PIX_FMT_NV12};
    const zemeDecOutputOptions options{flags & 1 ? ZEME_MEM_DEVICE : ZEME_MEM_HOST, uint32_t(flags >> 1 & 1)};
    const zemePixelFormat format = formats[flags >> 2 & 3];
    const bool transfer = flags & 0x10;
    const size_t pieceSize = piece ? size_t{piece} * 16 : in.restSize();  // 0: the whole stream at once
    const uint8_t *stream = in.rest();
    const size_t streamSize = in.restSize();

    // The stream's parameter sets, as getVideoInfo reads them.
    zemeStream whole{const_cast<uint8_t *>(stream), static_cast<uint32_t>(streamSize), 0, 0};
    zemeDecVideoInfo info{};
    if (streamSize) zemeGetVideoInfo(&whole, codec, &info);

    zemeDecChannelParameters params{codec, ZEME_SRC_FRAME, ZEME_DEC_NORMAL, format, 0, {0, 0}};
    FUZZ_CHECK(zemeCreateDecoderChannel(&params, kChannel) == 0);
    FUZZ_CHECK(zemeStartDecoder(kChannel) == 0);
    int pictures = 0;
    auto take = [&](uint32_t wait) {
        while (pictures < kMaxPictures) {
            zemeFrame frame{};
            uint32_t status = zemeReceiveFrameFromDecoder(kChannel, &frame, &options, wait);
            if (status) return status;
            ++pictures;
            readPicture(kChannel, frame, transfer);
            FUZZ_CHECK(zemeDecReleaseFrame(kChannel, &frame, 0) == 0);
        }
        return uint32_t{zemeER_SUCCESS};
    };
    for (size_t at = 0; at < streamSize && pictures < kMaxPictures; at += pieceSize) {
        zemeStream part{const_cast<uint8_t *>(stream + at), static_cast<uint32_t>(std::min(pieceSize, streamSize - at)),
                        static_cast<int64_t>(at), 0};
        const uint32_t status = zemeSendStreamToDecoder(kChannel, &part, ZEME_WAIT_FOREVER);
        FUZZ_CHECK(status == 0);
        take(0);
    }
    if (pictures < kMaxPictures) {
        zemeStream end{};
        FUZZ_CHECK(zemeSendStreamToDecoder(kChannel, &end, ZEME_WAIT_FOREVER) == 0);
        take(ZEME_WAIT_FOREVER);
    }
    zemeDecStreamInfo streamInfo{};
    zemeGetStreamInfoFromDecoder(kChannel, &streamInfo);
    zemeDecStatus status{};
    FUZZ_CHECK(zemeGetDecoderStatus(kChannel, &status) == 0);
    FUZZ_CHECK(zemeDestroyDecoderChannel(kChannel) == 0);
    return 0;
}

}  // namespace fuzz
