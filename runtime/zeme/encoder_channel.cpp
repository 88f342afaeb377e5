// Encoder channels: pictures copied in by the senders, an encoding thread per started
// video channel, and the output streams, counted against the channel's buffers until
// they are released.
#include "zeme/encoder_channel.hpp"

#include <cstring>

#include "zesim/usage.hpp"

extern "C" {
#include <libavutil/frame.h>
}

namespace zeme {

EncoderChannel::EncoderChannel(const zemeEncChannelParameters &params, const VideoSetup &video, const JpegSetup &jpeg,
                               std::unique_ptr<VideoEncoder> prepared, int32_t codecDevice)
    : codec_(params.codecType),
      buffers_(params.outbufNum ? params.outbufNum : kDefaultStreamBuffers),
      codecDevice_(codecDevice),
      video_(video),
      jpeg_(jpeg),
      encoder_(std::move(prepared)) {
    if (codec_ != ZEME_CODEC_ENC_JPEG) pool_ = std::make_unique<PicturePool>(video.width, video.height);
}

EncoderChannel::~EncoderChannel() { close(); }

uint32_t EncoderChannel::openCoder() {
    if (!video() || encoder_) return zemeER_SUCCESS;
    return VideoEncoder::open(video_, &encoder_);
}

std::function<void()> EncoderChannel::discard() {
    std::deque<Output> dropped;
    dropped.swap(ready_);
    return [dropped = std::move(dropped)]() mutable {
        for (auto &output : dropped) recycleHostBuffer(std::move(output.buffer));
    };
}

std::function<void()> EncoderChannel::takeBack() {
    std::map<const uint8_t *, Output> streams;
    streams.swap(handedOut_);
    return [streams = std::move(streams)]() mutable {
        for (auto &entry : streams) recycleHostBuffer(std::move(entry.second.buffer));
    };
}

// On the encoding thread: a picture, or the flush after the end mark (also after a
// failure, so that the receivers see the end).
bool EncoderChannel::handle(EncoderInput *piece) {
    const UnitSink sink = [this](const uint8_t *data, size_t size, int64_t pts) { return deliver(data, size, pts); };
    bool going = true;
    guarded([&] {
        zesim::usage::Busy busy(zesim::usage::Engine::Encoder, codecDevice_);
        going = encoder_->encode(piece ? piece->picture.get() : nullptr, piece ? piece->pts : 0, sink);
        return uint32_t{zemeER_SUCCESS};
    });
    return going;
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
    MutexLock lock(mutex_);
    changed_.wait(lock.native(), [&]() REQUIRES(mutex_) { return quit_ || roomLeft(); });
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
        MutexLock lock(mutex_);
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
    EncoderInput piece;
    piece.pts = frame.pts;
    piece.picture = pool_->copy(source);  // the picture is the channel's from here on
    if (params) applyExtended(*params, video_.roi, piece.picture.get());

    MutexLock lock(mutex_);
    bool room = zesim::waitUntil(changed_, lock, timeoutMs, [&]() REQUIRES(mutex_) {
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
    MutexLock lock(mutex_);
    if (closed_) return zemeER_RSLT_ERR_INVALID_CHANNEL;
    if (!running()) return zemeER_RSLT_ERR_STATE;
    zesim::waitUntil(changed_, lock, timeoutMs,
                     [&]() REQUIRES(mutex_) { return closed_ || !running() || !ready_.empty() || flushed_; });
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
        MutexLock lock(mutex_);
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

    MutexLock lock(mutex_);
    bool room = zesim::waitUntil(changed_, lock, timeoutMs,
                                 [&]() REQUIRES(mutex_) { return closed_ || !running() || roomLeft(); });
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
        MutexLock lock(mutex_);
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
