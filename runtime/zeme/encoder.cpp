// The encoder calls of the media engine: the channel table, channel life, pictures in,
// streams out, JPEG pictures.
#include <array>

#include "zeme/channel_table.hpp"
#include "zeme/describe.hpp"
#include "zeme/encoder_channel.hpp"

namespace zeme {
namespace {

ChannelTable<EncoderChannel, kEncoderChannels> table;

}  // namespace

void destroyAllEncoders() { table.closeAll(); }

}  // namespace zeme

using namespace zeme;

// The configuration is checked by opening the encoder, which the first start then uses.
// outbufNum 0 gives 8 output buffers; enProfiling is ignored.
uint32_t zemeCreateEncoderChannel(const zemeEncChannelParameters *params, uint32_t channel) {
    ZESIM_CALL(params, channel) {
        if (uint32_t status = checkSystem()) return status;
        if (!params) return zemeER_RSLT_ERR_INVALID_PARAM;
        const uint32_t number = rawValue(params->codecType);
        if (number != ZEME_CODEC_ENC_H264 && number != ZEME_CODEC_ENC_HEVC && number != ZEME_CODEC_ENC_JPEG)
            return zemeER_RSLT_ERR_INVALID_PARAM;  // decoder codecs and unknown values
        const zemeCodecType codec = params->codecType;
        if (params->outbufNum > ZEME_ENC_MAX_OUTBUF_NUM) return zemeER_RSLT_ERR_INVALID_PARAM;
        if (channel >= kEncoderChannels) return zemeER_RSLT_ERR_INVALID_CHANNEL;
        zemeHardwareID hardware{};
        if (uint32_t status = channelHardware(channel, &hardware)) return status;
        if (table.taken(channel)) return zemeER_RSLT_ERR_CHANNEL_EXISTS;  // before the cost of opening an encoder
        return guarded([&] {
            VideoSetup video;
            JpegSetup jpeg;
            std::unique_ptr<VideoEncoder> prepared;
            if (codec == ZEME_CODEC_ENC_JPEG) {
                if (uint32_t status = jpegSetup(params->jpegConfig, &jpeg)) return status;
            } else {
                if (uint32_t status = videoSetup(codec, params->videoConfig, &video)) return status;
                if (uint32_t status = VideoEncoder::open(video, &prepared)) return status;
            }
            auto created = std::make_shared<EncoderChannel>(*params, video, jpeg, std::move(prepared),
                                                            codecDevice(channel));
            return table.add(channel, std::move(created));
        });
    };
}

// Streams still handed out are taken back (their memory recycled).
uint32_t zemeDestroyEncoderChannel(uint32_t channel) {
    ZESIM_CALL(channel) { return table.destroy(channel); };
}

uint32_t zemeStartEncoder(uint32_t channel) {
    ZESIM_CALL(channel) {
        return table.on(channel, [](EncoderChannel &c) { return c.start(); });
    };
}

// A started channel goes on with a fresh encoder; others are left as they are.
uint32_t zemeResetEncoder(uint32_t channel) {
    ZESIM_CALL(channel) {
        return table.on(channel, [](EncoderChannel &c) { return c.reset(); });
    };
}

uint32_t zemeStopEncoder(uint32_t channel) {
    ZESIM_CALL(channel) {
        return table.on(channel, [](EncoderChannel &c) { return c.stop(); });
    };
}

// A frame whose dataSize is 0 ends the input too. timeoutMs bounds the wait for room in
// the channel's input (4 pictures).
uint32_t zemeSendFrameToEncoder(uint32_t channel, const zemeFrame *frame, const zemeEncExtendedParams *params,
                                uint32_t timeoutMs) {
    ZESIM_CALL(channel, frame, params, timeoutMs) {
        if (uint32_t status = checkSystem()) return status;
        if (!frame) return zemeER_RSLT_ERR_INVALID_PARAM;
        return table.on(channel, [&](EncoderChannel &c) { return c.send(*frame, params, timeoutMs); });
    };
}

// One access unit a call, in stream order, in host memory (busAddress 0).
uint32_t zemeReceiveStreamFromEncoder(uint32_t channel, zemeStream *stream, uint32_t timeoutMs) {
    ZESIM_CALL(channel, stream, timeoutMs) {
        if (uint32_t status = checkSystem()) return status;
        if (!stream) return zemeER_RSLT_ERR_INVALID_PARAM;
        return table.on(channel, [&](EncoderChannel &c) { return c.receive(stream, timeoutMs); });
    };
}

// Encodes in the caller's thread; timeoutMs bounds the wait for a free output buffer.
// params is not used by JPEG pictures.
uint32_t zemeJpegSyncEncoder(uint32_t channel, const zemeFrame *frame, zemeStream *stream,
                             const zemeEncExtendedParams *params, uint32_t timeoutMs) {
    ZESIM_CALL(channel, frame, stream, params, timeoutMs) {
        if (uint32_t status = checkSystem()) return status;
        if (!frame || !stream) return zemeER_RSLT_ERR_INVALID_PARAM;
        return table.on(channel, [&](EncoderChannel &c) { return c.encodeJpeg(*frame, stream, timeoutMs); });
    };
}

uint32_t zemeEncReleaseStream(uint32_t channel, const zemeStream *stream, uint32_t reserved) {
    ZESIM_CALL(channel, stream, reserved) {
        if (uint32_t status = checkSystem()) return status;
        if (!stream) return zemeER_RSLT_ERR_INVALID_PARAM;
        return table.on(channel, [&](EncoderChannel &c) { return c.release(*stream); });
    };
}

// Channels neither created nor being destroyed.
uint32_t zemeGetEncoderAvailableChannels(uint32_t *count) {
    ZESIM_CALL(count) {
        if (!count) return zemeER_RSLT_ERR_INVALID_PARAM;
        return table.available(count);
    };
}
