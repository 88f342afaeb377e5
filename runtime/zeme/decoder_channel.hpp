// A decoder channel: its state, input queue, decoding thread and output pictures.
#pragma once
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "zeme/channel_lifecycle.hpp"
#include "zeme/video_decoder.hpp"

namespace zeme {

// Pieces (and bytes) of input a channel holds for its decoding thread.
constexpr size_t kInputPieces = 16;
constexpr size_t kInputBytes = size_t{32} << 20;

// A picture in device memory: a device block of the common library, held here so that
// its memory outlives a reset of the device (which only unregisters it).
struct DeviceBuffer {
    void *address = nullptr;
    uint64_t size = 0;
    uint32_t device = 0;
    std::shared_ptr<void> block;
    ~DeviceBuffer();
};

// A picture handed out: as a device frame, as a host frame, or both after a transfer.
struct Picture {
    zemeFrame device{};
    zemeFrame host{};
    std::shared_ptr<DeviceBuffer> deviceBuffer;
    std::shared_ptr<HostBuffer> hostBuffer;
};

// A piece of input a decoder channel holds for its decoding thread (the end of the
// input is marked by a stream of 0 bytes, which is not queued).
struct DecoderInput {
    std::vector<uint8_t> bytes;  // padded for the parser
    size_t size = 0;
    int64_t pts = 0;
};

// start, stop, reset and close (which takes back every picture) are the lifecycle's.
class Channel final : public PictureSink, public ChannelLifecycle<DecoderInput> {
public:
    Channel(uint32_t number, const zemeDecChannelParameters &params, zemeHardwareID hardware);
    ~Channel() override;

    uint32_t send(const zemeStream &stream, uint32_t timeoutMs) EXCLUDES(mutex_);
    uint32_t receive(zemeFrame *frame, const zemeDecOutputOptions *options, uint32_t timeoutMs) EXCLUDES(mutex_);
    uint32_t decodeJpeg(const zemeStream &stream, zemeFrame *frame, uint32_t timeoutMs) EXCLUDES(mutex_);
    uint32_t transfer(zemeFrame *frame) EXCLUDES(mutex_);
    uint32_t release(const zemeFrame &frame) EXCLUDES(mutex_);
    void status(zemeDecStatus *status) EXCLUDES(mutex_);
    uint32_t streamInfo(zemeDecStreamInfo *info) EXCLUDES(mutex_);

    bool waitForRoom() override EXCLUDES(mutex_);
    void deliver(Decoded &&picture) override EXCLUDES(mutex_);
    void failed(uint32_t status, bool dropped) override EXCLUDES(mutex_);
    void accepted() override EXCLUDES(mutex_);

private:
    bool video() const { return params_.codecType != ZEME_CODEC_DEC_JPEG; }
    bool roomLeft() const REQUIRES(mutex_) { return ready_.size() + handedOut_.size() + writing_ < pictures_; }

    bool threaded() const override { return video(); }
    uint32_t openCoder() override;
    void closeCoder() override { decoder_.reset(); }
    void clearCounters() override REQUIRES(mutex_);
    void restartFailed(uint32_t status) override REQUIRES(mutex_) { result_ = status; }
    void taken(const DecoderInput &piece) override REQUIRES(mutex_) { inputBytes_ -= piece.size; }
    // Drops the pictures not handed out yet.
    std::function<void()> discard() override REQUIRES(mutex_);
    std::function<void()> takeBack() override REQUIRES(mutex_);
    // Decodes a piece of input, or flushes the decoder.
    bool handle(DecoderInput *piece) override;

    uint32_t deviceBuffer(uint64_t size, std::shared_ptr<DeviceBuffer> *buffer) EXCLUDES(mutex_);
    void handOut(Picture &&picture, bool host, zemeFrame *frame) REQUIRES(mutex_);
    Picture *find(const zemeFrame &frame) REQUIRES(mutex_);

    const uint32_t number_;
    const int32_t codecDevice_;  // where its work is published
    const zemeDecChannelParameters params_;
    const zemeHardwareID hardware_;
    const uint32_t pictures_;  // output pictures of the pool

    std::unique_ptr<VideoDecoder> decoder_;  // used by the decoding thread only

    uint32_t result_ GUARDED_BY(mutex_) = zemeER_SUCCESS;
    size_t inputBytes_ GUARDED_BY(mutex_) = 0;

    std::deque<Decoded> ready_ GUARDED_BY(mutex_);  // decoded, waiting to be received
    uint32_t writing_ GUARDED_BY(mutex_) = 0;       // pictures being written by receive or JPEG calls
    std::map<void *, Picture> handedOut_ GUARDED_BY(mutex_);
    std::vector<std::shared_ptr<DeviceBuffer>> spareDevice_ GUARDED_BY(mutex_);

    uint64_t accepted_ GUARDED_BY(mutex_) = 0, output_ GUARDED_BY(mutex_) = 0, dropped_ GUARDED_BY(mutex_) = 0;
    bool haveInfo_ GUARDED_BY(mutex_) = false;
    zemeDecStreamInfo info_ GUARDED_BY(mutex_){};
};

}  // namespace zeme
