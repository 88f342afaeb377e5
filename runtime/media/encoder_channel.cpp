// Encoder channels: pictures copied in by the senders, an encoding thread per started
// video channel, and the output streams, counted against the channel's buffers until
// they are released.
#include "media/encoder_channel.hpp"

#include <chrono>
#include <cstring>
#include <system_error>

#include "sim/usage.hpp"

extern "C" {
#include <libavutil/frame.h>
}

namespace zeme {

EncoderChannel::EncoderChannel(const zemeEncChannelParameters &params, const VideoSetup &video,
                               const JpegSetup &jpeg, std::unique_ptr<VideoEncoder> prepared, int32_t codecDevice)
    : codec_(params.codecType), buffers_(params.outbufNum ? params.outbufNum : kDefaultStreamBuffers),
      codecDevice_(codecDevice),
      video_(video), jpeg_(jpeg), encoder_(std::move(prepared)) {
    if (codec_ != ZEME_CODEC_ENC_JPEG) pool_ = std::make_unique<PicturePool>(video.width, video.height);
}

EncoderChannel::~EncoderChannel() { close(); }

template <class Ready>
bool EncoderChannel::waitUntil(std::unique_lock<std::mutex> &lock, uint32_t timeoutMs, Ready ready) {
    if (timeoutMs == ZEME_WAIT_FOREVER) {
        changed_.wait(lock, ready);
        return true;
    }
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
}

void EncoderChannel::halt() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    changed_.notify_all();
    if (worker_.joinable()) worker_.join();
    encoder_.reset();
    std::deque<Output> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        dropped.swap(ready_);
        input_.clear();
        endMarked_ = flushed_ = false;
    }
    changed_.notify_all();
    for (auto &output : dropped) recycleHostBuffer(std::move(output.buffer));
}

uint32_t EncoderChannel::launch() {
    if (video()) {
        if (!encoder_) {
            if (uint32_t status = VideoEncoder::open(video_, &encoder_)) return status;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            quit_ = false;
        }
        try {
            worker_ = std::thread([this] { work(); });
        } catch (const std::system_error &) {
            encoder_.reset();
            return zemeER_RSLT_ERR_NO_MEMORY;
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        state_ = ZEME_ST_RUNNING;
    }
    changed_.notify_all();
    return zemeER_SUCCESS;
}

// Start: from READY (with the encoder prepared at creation) or STOPPED (a fresh one).
uint32_t EncoderChannel::start() {
    std::lock_guard<std::mutex> control(control_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return zemeER_RSLT_ERR_INVALID_CHANNEL;
        if (running()) return zemeER_RSLT_ERR_STATE;
    }
    return launch();
}

// Stop: pictures not encoded yet and streams not received are dropped; streams handed
// out stay valid until released.
uint32_t EncoderChannel::stop() {
    std::lock_guard<std::mutex> control(control_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return zemeER_RSLT_ERR_INVALID_CHANNEL;
        if (!running()) return zemeER_RSLT_ERR_STATE;
        state_ = ZEME_ST_STOPPING;
    }
    halt();
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = ZEME_ST_STOPPED;
    changed_.notify_all();
    return zemeER_SUCCESS;
}

// Reset: a started channel drops what stop drops and the end mark, and goes on with a
// fresh encoder (a new stream, starting with a key frame); READY and STOPPED channels
// are left as they are.
uint32_t EncoderChannel::reset() {
    std::lock_guard<std::mutex> control(control_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return zemeER_RSLT_ERR_INVALID_CHANNEL;
        if (!running()) return zemeER_SUCCESS;
        state_ = ZEME_ST_STOPPING;
    }
    halt();
    if (uint32_t status = launch()) {
        std::lock_guard<std::mutex> lock(mutex_);
        state_ = ZEME_ST_STOPPED;
        return status;
    }
    return zemeER_SUCCESS;
}

void EncoderChannel::close() {
    std::lock_guard<std::mutex> control(control_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_ && !worker_.joinable()) return;
        closed_ = true;
        state_ = ZEME_ST_STOPPING;
    }
    halt();
    std::map<const uint8_t *, Output> streams;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        streams.swap(handedOut_);
        state_ = ZEME_ST_NONE;
    }
    changed_.notify_all();
    for (auto &entry : streams) recycleHostBuffer(std::move(entry.second.buffer));
}

// The encoding thread: encodes the pictures in order; after the end mark, flushes the
// encoder. It touches the channel only while the channel waits for it.
void EncoderChannel::work() {
    const UnitSink sink = [this](const uint8_t *data, size_t size, int64_t pts) { return deliver(data, size, pts); };
    for (;;) {
        Input piece;
        bool end = false;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return quit_ || !input_.empty() || (endMarked_ && !flushed_); });
            if (quit_) return;
            if (!input_.empty()) {
                piece = std::move(input_.front());
                input_.pop_front();
                changed_.notify_all();
            } else {
                end = true;
            }
        }
        bool going = true;
        guarded([&] {
            zesim::usage::Busy busy(zesim::usage::Engine::Encoder, codecDevice_);
            going = encoder_->encode(end ? nullptr : piece.picture.get(), piece.pts, sink);
            return uint32_t{zemeER_SUCCESS};
        });
        if (!going) return;
        if (end) {  // also after a failure: the receivers must see the end
            std::lock_guard<std::mutex> lock(mutex_);
            flushed_ = true;
            changed_.notify_all();
        }
    }
}

// On the encoding thread: copies an access unit into an output buffer once the
// channel has one free.
bool EncoderChannel::deliver(const uint8_t *data, size_t size, int64_t pts) {
    if (size > UINT32_MAX) return true;  // cannot be described by a stream record
    Output output;
    output.buffer = acquireHostBuffer(size);
    std::memcpy(output.buffer->data, data, size);
    output.size = static_cast<uint32_t>(size);
    output.pts = pts;
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return quit_ || roomLeft(); });
    if (quit_) {
        lock.unlock();
        recycleHostBuffer(std::move(output.buffer));
        return false;
    }
    ready_.push_back(std::move(output));
    changed_.notify_all();
    return true;
}

uint32_t EncoderChannel::send(const zemeFrame &frame, const zemeEncExtendedParams *params, uint32_t timeoutMs) {
    if (!video()) return zemeER_RSLT_ERR_UNSUPPORTED;
    const bool end = rawValue(frame.memoryType) == ZEME_MEM_FLUSH || frame.dataSize == 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return zemeER_RSLT_ERR_INVALID_CHANNEL;
        if (!running() || endMarked_) return zemeER_RSLT_ERR_STATE;
        if (end) {
            endMarked_ = true;
            changed_.notify_all();
            return zemeER_SUCCESS;
        }
    }
    SourcePicture source;
    if (uint32_t status = sourcePicture(frame, &source)) return status;
    if (source.width != video_.width || source.height != video_.height) return zemeER_RSLT_ERR_INVALID_PARAM;
    if (params) {
        if (uint32_t status = checkExtended(*params, video_.width, video_.height, video_.roi)) return status;
    }
    Input piece;
    piece.pts = frame.pts;
    piece.picture = pool_->copy(source);  // the picture is the channel's from here on
    if (params) applyExtended(*params, video_.roi, piece.picture.get());

    std::unique_lock<std::mutex> lock(mutex_);
    bool room = waitUntil(lock, timeoutMs, [&] {
        return closed_ || !running() || endMarked_ || input_.size() < kEncoderInputPictures;
    });
    if (closed_) return zemeER_RSLT_ERR_INVALID_CHANNEL;
    if (!running() || endMarked_) return zemeER_RSLT_ERR_STATE;
    if (!room) return zemeER_RSLT_ERR_TIMEOUT;
    input_.push_back(std::move(piece));
    changed_.notify_all();
    return zemeER_SUCCESS;
}

void EncoderChannel::handOut(Output &&output, zemeStream *stream) {
    *stream = {};
    stream->data = output.buffer->data;
    stream->dataSize = output.size;
    stream->pts = output.pts;
    stream->busAddress = 0;
    handedOut_.emplace(output.buffer->data, std::move(output));
}

uint32_t EncoderChannel::receive(zemeStream *stream, uint32_t timeoutMs) {
    if (!video()) return zemeER_RSLT_ERR_UNSUPPORTED;
    std::unique_lock<std::mutex> lock(mutex_);
    if (closed_) return zemeER_RSLT_ERR_INVALID_CHANNEL;
    if (!running()) return zemeER_RSLT_ERR_STATE;
    waitUntil(lock, timeoutMs, [&] { return closed_ || !running() || !ready_.empty() || flushed_; });
    if (closed_) return zemeER_RSLT_ERR_INVALID_CHANNEL;
    if (!running()) return zemeER_RSLT_ERR_STATE;
    if (ready_.empty()) return flushed_ ? zemeER_RSLT_WARN_EOS : zemeER_RSLT_WARN_MORE_DATA;
    Output output = std::move(ready_.front());
    ready_.pop_front();
    handOut(std::move(output), stream);
    return zemeER_SUCCESS;
}

uint32_t EncoderChannel::encodeJpeg(const zemeFrame &frame, zemeStream *stream, uint32_t timeoutMs) {
    if (video()) return zemeER_RSLT_ERR_UNSUPPORTED;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return zemeER_RSLT_ERR_INVALID_CHANNEL;
        if (!running()) return zemeER_RSLT_ERR_STATE;
    }
    SourcePicture source;
    if (uint32_t status = sourcePicture(frame, &source)) return status;
    if ((jpeg_.width && source.width != jpeg_.width) || (jpeg_.height && source.height != jpeg_.height))
        return zemeER_RSLT_ERR_INVALID_PARAM;
    if (source.width < ZEME_ENC_JPEG_MIN_WIDTH || source.width > ZEME_ENC_JPEG_MAX_WIDTH ||
        source.height < ZEME_ENC_JPEG_MIN_HEIGHT || source.height > ZEME_ENC_JPEG_MAX_HEIGHT)
        return zemeER_RSLT_ERR_UNSUPPORTED;

    std::unique_lock<std::mutex> lock(mutex_);
    bool room = waitUntil(lock, timeoutMs, [&] { return closed_ || !running() || roomLeft(); });
    if (closed_) return zemeER_RSLT_ERR_INVALID_CHANNEL;
    if (!running()) return zemeER_RSLT_ERR_STATE;
    if (!room) return zemeER_RSLT_ERR_TIMEOUT;
    ++writing_;
    lock.unlock();

    Output output;
    size_t size = 0;
    uint32_t status = guarded([&] {
        zesim::usage::Busy busy(zesim::usage::Engine::Encoder, codecDevice_);
        return zeme::encodeJpeg(source, jpeg_.comment, &output.buffer, &size);
    });
    if (status == zemeER_SUCCESS && size > UINT32_MAX) status = zemeER_RSLT_ERR_UNSUPPORTED;
    output.size = static_cast<uint32_t>(size);
    output.pts = frame.pts;

    lock.lock();
    --writing_;
    changed_.notify_all();
    if (closed_) status = zemeER_RSLT_ERR_INVALID_CHANNEL;
    if (status) {
        lock.unlock();
        recycleHostBuffer(std::move(output.buffer));
        return status;
    }
    handOut(std::move(output), stream);
    return zemeER_SUCCESS;
}

// A stream is the channel's by its data address and size, as it was handed out.
uint32_t EncoderChannel::release(const zemeStream &stream) {
    Output output;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return zemeER_RSLT_ERR_INVALID_CHANNEL;
        auto found = handedOut_.find(stream.data);
        if (found == handedOut_.end() || found->second.size != stream.dataSize) return zemeER_RSLT_ERR_UNKNOWN_BUFFER;
        output = std::move(found->second);
        handedOut_.erase(found);
        changed_.notify_all();
    }
    recycleHostBuffer(std::move(output.buffer));
    return zemeER_SUCCESS;
}

}  // namespace zeme
