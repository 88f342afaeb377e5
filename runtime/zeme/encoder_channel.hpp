// An encoder channel: its state, input queue, encoding thread and output streams.
#pragma once
#include <deque>
#include <functional>
#include <map>
#include <memory>

#include "zeme/channel_lifecycle.hpp"
#include "zeme/video_encoder.hpp"

namespace zeme {

// Pictures a video channel holds for its encoding thread.
constexpr size_t kEncoderInputPictures = 4;

// A picture an encoder channel holds for its encoding thread (the end of the input is
// marked by a flush frame, which is not queued).
struct EncoderInput {
    FramePtr picture;
    int64_t pts = 0;
};

// start, stop, reset and close (which takes back every stream) are the lifecycle's.
class EncoderChannel final : public ChannelLifecycle<EncoderInput> {
public:
    // A video channel gets the encoder opened while its configuration was checked; it is
    // used by the first start.
    // codecDevice: the codec device whose work it is (published in the usage registry).
    EncoderChannel(const zemeEncChannelParameters &params, const VideoSetup &video, const JpegSetup &jpeg,
                   std::unique_ptr<VideoEncoder> prepared, int32_t codecDevice);
    ~EncoderChannel() override;

    uint32_t send(const zemeFrame &frame, const zemeEncExtendedParams *params, uint32_t timeoutMs) EXCLUDES(mutex_);
    uint32_t receive(zemeStream *stream, uint32_t timeoutMs) EXCLUDES(mutex_);
    uint32_t encodeJpeg(const zemeFrame &frame, zemeStream *stream, uint32_t timeoutMs) EXCLUDES(mutex_);
    uint32_t release(const zemeStream &stream) EXCLUDES(mutex_);

private:
    struct Output {
        std::shared_ptr<HostBuffer> buffer;
        uint32_t size = 0;
        int64_t pts = 0;
    };

    bool video() const { return codec_ != ZEME_CODEC_ENC_JPEG; }
    // Output buffers in use: waiting to be received, being written, handed out.
    bool roomLeft() const REQUIRES(mutex_) { return ready_.size() + writing_ + handedOut_.size() < buffers_; }

    bool threaded() const override { return video(); }
    // A fresh encoder, or the one prepared at creation.
    uint32_t openCoder() override;
    void closeCoder() override { encoder_.reset(); }
    // Drops the streams not handed out yet.
    std::function<void()> discard() override REQUIRES(mutex_);
    std::function<void()> takeBack() override REQUIRES(mutex_);
    // Encodes a picture, or flushes the encoder.
    bool handle(EncoderInput *piece) override;

    bool deliver(const uint8_t *data, size_t size, int64_t pts) EXCLUDES(mutex_);
    // With mutex_ held: files the stream and writes the record handed out.
    void handOut(Output &&output, zemeStream *stream) REQUIRES(mutex_);

    const zemeCodecType codec_;
    const uint32_t buffers_;  // output buffers of the channel
    const int32_t codecDevice_;
    const VideoSetup video_;
    const JpegSetup jpeg_;
    std::unique_ptr<PicturePool> pool_;  // video channels: pictures of the configured size

    std::unique_ptr<VideoEncoder> encoder_;  // used by the encoding thread only while it runs

    std::deque<Output> ready_ GUARDED_BY(mutex_);  // encoded, waiting to be received
    uint32_t writing_ GUARDED_BY(mutex_) = 0;      // JPEG pictures being encoded
    std::map<const uint8_t *, Output> handedOut_ GUARDED_BY(mutex_);
};

}  // namespace zeme
