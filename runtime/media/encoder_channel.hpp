// An encoder channel: its state, input queue, encoding thread and output streams.
#pragma once
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "media/encode.hpp"

namespace zeme {

// Pictures a video channel holds for its encoding thread.
constexpr size_t kEncoderInputPictures = 4;

class EncoderChannel {
public:
    // A video channel gets the encoder opened while its configuration was checked; it is
    // used by the first start.
    // codecDevice: the codec device whose work it is (published in the usage registry).
    EncoderChannel(const zemeEncChannelParameters &params, const VideoSetup &video, const JpegSetup &jpeg,
                   std::unique_ptr<VideoEncoder> prepared, int32_t codecDevice);
    ~EncoderChannel();
    EncoderChannel(const EncoderChannel &) = delete;
    EncoderChannel &operator=(const EncoderChannel &) = delete;

    uint32_t start();
    uint32_t stop();
    uint32_t reset();
    // Stops the channel for good and takes back every stream (destroy, uninitialise).
    void close();

    uint32_t send(const zemeFrame &frame, const zemeEncExtendedParams *params, uint32_t timeoutMs);
    uint32_t receive(zemeStream *stream, uint32_t timeoutMs);
    uint32_t encodeJpeg(const zemeFrame &frame, zemeStream *stream, uint32_t timeoutMs);
    uint32_t release(const zemeStream &stream);

private:
    struct Input {
        FramePtr picture;
        int64_t pts = 0;
    };
    struct Output {
        std::shared_ptr<HostBuffer> buffer;
        uint32_t size = 0;
        int64_t pts = 0;
    };

    bool video() const { return codec_ != ZEME_CODEC_ENC_JPEG; }
    bool running() const { return state_ == ZEME_ST_RUNNING; }
    // Output buffers in use: waiting to be received, being written, handed out.
    bool roomLeft() const { return ready_.size() + writing_ + handedOut_.size() < buffers_; }
    template <class Ready> bool waitUntil(std::unique_lock<std::mutex> &lock, uint32_t timeoutMs, Ready ready);
    void work();
    bool deliver(const uint8_t *data, size_t size, int64_t pts);
    // With control_ held: ends the encoding thread and drops the input and the streams
    // not handed out yet.
    void halt();
    // With control_ held: a fresh encoder (or the prepared one) and its thread.
    uint32_t launch();
    // With mutex_ held: files the stream and writes the record handed out.
    void handOut(Output &&output, zemeStream *stream);

    const zemeCodecType codec_;
    const uint32_t buffers_;  // output buffers of the channel
    const int32_t codecDevice_;
    const VideoSetup video_;
    const JpegSetup jpeg_;
    std::unique_ptr<PicturePool> pool_;  // video channels: pictures of the configured size

    std::mutex control_;  // orders start, stop, reset and close
    std::mutex mutex_;    // guards everything below
    std::condition_variable changed_;
    zemeState state_ = ZEME_ST_READY;
    bool closed_ = false;
    bool quit_ = false;  // the encoding thread must end
    std::thread worker_;
    std::unique_ptr<VideoEncoder> encoder_;  // used by the encoding thread only while it runs

    std::deque<Input> input_;
    bool endMarked_ = false;  // a flush frame came
    bool flushed_ = false;    // ... and the encoder gave out its last access unit

    std::deque<Output> ready_;  // encoded, waiting to be received
    uint32_t writing_ = 0;      // JPEG pictures being encoded
    std::map<const uint8_t *, Output> handedOut_;
};

}  // namespace zeme
