// The decoder calls of the media engine: the channel table, channel life, streams in,
// pictures out, and the stream, JPEG and capability queries.
#include <array>
#include <cstring>

#include "zeme/channel_table.hpp"
#include "zeme/decoder_channel.hpp"
#include "zeme/describe.hpp"
#include "zeme/jpeg_decoder.hpp"

namespace zeme {
namespace {

ChannelTable<Channel, kDecoderChannels> table;

uint32_t checkParameters(const zemeDecChannelParameters &params) {
    switch (params.codecType) {
    case ZEME_CODEC_DEC_JPEG:
    case ZEME_CODEC_DEC_H264:
    case ZEME_CODEC_DEC_HEVC: break;
    default: return zemeER_RSLT_ERR_INVALID_PARAM;  // encoder codecs and unknown values
    }
    if (params.sourceMode != ZEME_SRC_FRAME) return zemeER_RSLT_ERR_INVALID_PARAM;
    if (params.decodeMode != ZEME_DEC_NORMAL && params.decodeMode != ZEME_DEC_INTRA_ONLY)
        return zemeER_RSLT_ERR_INVALID_PARAM;
    if (params.extraBufferNumber > kMaxExtraPictures) return zemeER_RSLT_ERR_INVALID_PARAM;
    if (params.reserved[0] || params.reserved[1]) return zemeER_RSLT_ERR_INVALID_PARAM;
    if (!pictureFormat(params.pixelFormat)) return zemeER_RSLT_ERR_UNSUPPORTED;
    return zemeER_SUCCESS;
}

template <class T, size_t N> void fillList(T (&list)[N], std::initializer_list<T> values, T none) {
    size_t i = 0;
    for (T value : values) list[i++] = value;
    for (; i < N; ++i) list[i] = none;
}
template <class T, size_t N, size_t M> void fillList(T (&list)[N], const T (&values)[M], T none) {
    static_assert(M <= N, "more values than the list holds");
    for (size_t i = 0; i < N; ++i) list[i] = i < M ? values[i] : none;
}

}  // namespace

void destroyAllDecoders() { table.closeAll(); }

}  // namespace zeme

using namespace zeme;

// Channels run on the codec devices of the inventory in turn (channelHardware).
uint32_t zemeCreateDecoderChannel(const zemeDecChannelParameters *params, uint32_t channel) {
    ZESIM_CALL(params, channel) {
        if (uint32_t status = checkSystem()) return status;
        if (!params) return zemeER_RSLT_ERR_INVALID_PARAM;
        if (uint32_t status = checkParameters(*params)) return status;
        if (channel >= kDecoderChannels) return zemeER_RSLT_ERR_INVALID_CHANNEL;
        zemeHardwareID hardware{};
        if (uint32_t status = channelHardware(channel, &hardware)) return status;
        return guarded([&] {
            auto created = std::make_shared<Channel>(channel, *params, hardware);
            return table.add(channel, std::move(created));
        });
    };
}

// Stops the channel; pictures still handed out are taken back (their device blocks
// freed, their host memory recycled).
uint32_t zemeDestroyDecoderChannel(uint32_t channel) {
    ZESIM_CALL(channel) { return table.destroy(channel); };
}

uint32_t zemeStartDecoder(uint32_t channel) {
    ZESIM_CALL(channel) {
        return table.on(channel, [](Channel &c) { return c.start(); });
    };
}

uint32_t zemeResetDecoder(uint32_t channel) {
    ZESIM_CALL(channel) {
        return table.on(channel, [](Channel &c) { return c.reset(); });
    };
}

uint32_t zemeStopDecoder(uint32_t channel) {
    ZESIM_CALL(channel) {
        return table.on(channel, [](Channel &c) { return c.stop(); });
    };
}

uint32_t zemeSendStreamToDecoder(uint32_t channel, const zemeStream *stream, uint32_t timeoutMs) {
    ZESIM_CALL(channel, stream, timeoutMs) {
        if (uint32_t status = checkSystem()) return status;
        if (!stream) return zemeER_RSLT_ERR_INVALID_PARAM;
        return table.on(channel, [&](Channel &c) { return c.send(*stream, timeoutMs); });
    };
}

uint32_t zemeReceiveFrameFromDecoder(uint32_t channel, zemeFrame *frame, const zemeDecOutputOptions *options,
                                     uint32_t timeoutMs) {
    ZESIM_CALL(channel, frame, options, timeoutMs) {
        if (uint32_t status = checkSystem()) return status;
        if (!frame) return zemeER_RSLT_ERR_INVALID_PARAM;
        return table.on(channel, [&](Channel &c) { return c.receive(frame, options, timeoutMs); });
    };
}

// timeoutMs bounds the wait for a free picture of the channel's pool.
uint32_t zemeJpegSyncDecoder(uint32_t channel, const zemeStream *stream, zemeFrame *frame, uint32_t timeoutMs) {
    ZESIM_CALL(channel, stream, frame, timeoutMs) {
        if (uint32_t status = checkSystem()) return status;
        if (!stream || !frame) return zemeER_RSLT_ERR_INVALID_PARAM;
        return table.on(channel, [&](Channel &c) { return c.decodeJpeg(*stream, frame, timeoutMs); });
    };
}

// Host copies always hold the display rectangle (host pictures are tightly packed
// display-size pictures), so enableCrop changes nothing.
uint32_t zemeTransferFrameFromDecoder(uint32_t channel, zemeFrame *frame, uint32_t enableCrop) {
    ZESIM_CALL(channel, frame, enableCrop) {
        if (uint32_t status = checkSystem()) return status;
        if (!frame) return zemeER_RSLT_ERR_INVALID_PARAM;
        return table.on(channel, [&](Channel &c) { return c.transfer(frame); });
    };
}

uint32_t zemeDecReleaseFrame(uint32_t channel, const zemeFrame *frame, uint32_t reserved) {
    ZESIM_CALL(channel, frame, reserved) {
        if (uint32_t status = checkSystem()) return status;
        if (!frame) return zemeER_RSLT_ERR_INVALID_PARAM;
        return table.on(channel, [&](Channel &c) { return c.release(*frame); });
    };
}

// x/y density as the JFIF header gives them (0 without one); outputFormat is the
// sampling of the JPEG's own planes.
uint32_t zemeGetJpegInfo(const zemeStream *stream, zemeDecJpegInfo *info) {
    ZESIM_CALL(stream, info) {
        if (uint32_t status = checkSystem()) return status;
        if (!stream || !info) return zemeER_RSLT_ERR_INVALID_PARAM;
        if (!stream->dataSize) return zemeER_RSLT_ERR_BITSTREAM;
        const uint8_t *bytes = nullptr;
        if (uint32_t status = streamBytes(*stream, &bytes)) return status;
        return guarded([&] {
            JpegHeader header;
            if (uint32_t status = readJpeg(bytes, stream->dataSize, &header)) return status;
            *info = {header.width,    header.height,           header.xDensity,
                     header.yDensity, jpegPixelFormat(header), header.mode};
            return uint32_t{zemeER_SUCCESS};
        });
    };
}

uint32_t zemeGetVideoInfo(const zemeStream *stream, zemeCodecType codec, zemeDecVideoInfo *info) {
    ZESIM_CALL(stream, codec, info) {
        if (uint32_t status = checkSystem()) return status;
        if (!stream || !info) return zemeER_RSLT_ERR_INVALID_PARAM;
        if (codec != ZEME_CODEC_DEC_H264 && codec != ZEME_CODEC_DEC_HEVC) return zemeER_RSLT_ERR_INVALID_PARAM;
        if (stream->dataSize > ZEME_DEC_MAX_STREAM_BUFFER_SIZE) return zemeER_RSLT_ERR_INVALID_PARAM;
        if (!stream->dataSize) return zemeER_RSLT_ERR_BITSTREAM;
        const uint8_t *bytes = nullptr;
        if (uint32_t status = streamBytes(*stream, &bytes)) return status;
        return guarded([&] { return probeVideo(bytes, stream->dataSize, codec, info); });
    };
}

// The current stream: display size, frames per second (rounded; 0 when the stream
// does not say), bytes of one output picture. WARN_MORE_DATA before the first picture.
uint32_t zemeGetStreamInfoFromDecoder(uint32_t channel, zemeDecStreamInfo *info) {
    ZESIM_CALL(channel, info) {
        if (uint32_t status = checkSystem()) return status;
        if (!info) return zemeER_RSLT_ERR_INVALID_PARAM;
        return table.on(channel, [&](Channel &c) { return c.streamInfo(info); });
    };
}

uint32_t zemeGetDecoderStatus(uint32_t channel, zemeDecStatus *status) {
    ZESIM_CALL(channel, status) {
        if (uint32_t failure = checkSystem()) return failure;
        if (!status) return zemeER_RSLT_ERR_INVALID_PARAM;
        return table.on(channel, [&](Channel &c) {
            c.status(status);
            return uint32_t{zemeER_SUCCESS};
        });
    };
}

uint32_t zemeJpegDecGetCaps(zemeJpegDecCapability *caps) {
    ZESIM_CALL(caps) {
        if (uint32_t status = checkSystem()) return status;
        if (!caps) return zemeER_RSLT_ERR_INVALID_PARAM;
        caps->maxWidth = ZEME_DEC_JPEG_MAX_WIDTH;
        caps->maxHeight = ZEME_DEC_JPEG_MAX_HEIGHT;
        caps->minWidth = 1;  // any size decodes; odd sizes come out rounded up to even
        caps->minHeight = 1;
        fillList(caps->codingMode, {ZEME_JPEG_BASELINE, ZEME_JPEG_PROGRESSIVE, ZEME_JPEG_NONINTERLEAVED},
                 ZEME_JPEG_NONE);
        fillList(caps->pixelFormats, kPictureFormats, ZEME_PIX_FMT_NONE);
        return zemeER_SUCCESS;
    };
}

uint32_t zemeVideoDecGetCaps(zemeCodecType codec, zemeVideoDecCapability *caps) {
    ZESIM_CALL(codec, caps) {
        if (uint32_t status = checkSystem()) return status;
        if (!caps) return zemeER_RSLT_ERR_INVALID_PARAM;
        if (codec != ZEME_CODEC_DEC_H264 && codec != ZEME_CODEC_DEC_HEVC) return zemeER_RSLT_ERR_INVALID_PARAM;
        const bool hevc = codec == ZEME_CODEC_DEC_HEVC;
        caps->bitDepth = 8;
        caps->maxWidth = ZEME_DEC_VIDEO_MAX_WIDTH;
        caps->maxHeight = ZEME_DEC_VIDEO_MAX_HEIGHT;
        caps->minWidth = 2;  // the smallest 4:2:0 display size
        caps->minHeight = 2;
        caps->maxProFile = hevc ? ZEME_VIDEO_PRFL_HEVC_MAIN : ZEME_VIDEO_PRFL_H264_HIGH;
        caps->maxLevel = hevc ? ZEME_VIDEO_LVL_HEVC_6_2 : ZEME_VIDEO_LVL_H264_6_2;
        fillList(caps->pixelFormats, kPictureFormats, ZEME_PIX_FMT_NONE);
        return zemeER_SUCCESS;
    };
}

// Channels neither created nor being destroyed.
uint32_t zemeGetDecoderAvailableChannels(uint32_t *count) {
    ZESIM_CALL(count) {
        if (!count) return zemeER_RSLT_ERR_INVALID_PARAM;
        return table.available(count);
    };
}
