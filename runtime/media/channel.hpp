// A decoder channel: its state, input queue, decoding thread and output pictures.
#pragma once
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "media/video.hpp"

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

class Channel final : public PictureSink {
public:
    Channel(uint32_t number, const zemeDecChannelParameters &params, zemeHardwareID hardware);
    ~Channel() override;

    uint32_t start();
    uint32_t stop();
    uint32_t reset();
    // Stops the channel for good and takes back every picture (destroy, uninitialise).
    void close();

    uint32_t send(const zemeStream &stream, uint32_t timeoutMs);
    uint32_t receive(zemeFrame *frame, const zemeDecOutputOptions *options, uint32_t timeoutMs);
    uint32_t decodeJpeg(const zemeStream &stream, zemeFrame *frame, uint32_t timeoutMs);
    uint32_t transfer(zemeFrame *frame);
    uint32_t release(const zemeFrame &frame);
    void status(zemeDecStatus *status);
    uint32_t streamInfo(zemeDecStreamInfo *info);

    bool waitForRoom() override;
    void deliver(Decoded &&picture) override;
    void failed(uint32_t status, bool dropped) override;
    void accepted() override;

private:
    struct Input {
        std::vector<uint8_t> bytes;  // padded for the parser
        size_t size = 0;
        int64_t pts = 0;
    };

    bool video() const { return params_.codecType != ZEME_CODEC_DEC_JPEG; }
    bool running() const { return state_ == ZEME_ST_RUNNING || state_ == ZEME_ST_ERROR; }
    bool roomLeft() const { return ready_.size() + handedOut_.size() + writing_ < pictures_; }
    template <class Ready> bool waitUntil(std::unique_lock<std::mutex> &lock, uint32_t timeoutMs, Ready ready);
    void work();
    // With control_ held: ends the decoding thread and drops the input and the pictures
    // not handed out yet.
    void halt();
    // With control_ held: a fresh decoder and its thread.
    uint32_t launch();
    void clearCounters();
    uint32_t deviceBuffer(uint64_t size, std::shared_ptr<DeviceBuffer> *buffer);
    void handOut(Picture &&picture, bool host, zemeFrame *frame);
    Picture *find(const zemeFrame &frame);

    const uint32_t number_;
    const int32_t codecDevice_;  // where its work is published
    const zemeDecChannelParameters params_;
    const zemeHardwareID hardware_;
    const uint32_t pictures_;  // output pictures of the pool

    std::mutex control_;  // orders start, stop, reset and close
    std::mutex mutex_;    // guards everything below
    std::condition_variable changed_;
    zemeState state_ = ZEME_ST_READY;
    uint32_t result_ = zemeER_SUCCESS;
    bool closed_ = false;
    bool quit_ = false;  // the decoding thread must end
    std::thread worker_;
    std::unique_ptr<VideoDecoder> decoder_;  // used by the decoding thread only

    std::deque<Input> input_;
    size_t inputBytes_ = 0;
    bool endMarked_ = false;  // a stream of 0 bytes came
    bool flushed_ = false;    // ... and the decoder gave out its last picture

    std::deque<Decoded> ready_;  // decoded, waiting to be received
    uint32_t writing_ = 0;       // pictures being written by receive or JPEG calls
    std::map<void *, Picture> handedOut_;
    std::vector<std::shared_ptr<DeviceBuffer>> spareDevice_;

    uint64_t accepted_ = 0, output_ = 0, dropped_ = 0;
    bool haveInfo_ = false;
    zemeDecStreamInfo info_{};
};

}  // namespace zeme
