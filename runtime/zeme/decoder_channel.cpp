// Decoder channels: input queue, decoding thread, the pool of output pictures and
// the pictures handed out.
#include "zeme/decoder_channel.hpp"

#include <atomic>
#include <cmath>
#include <cstring>

#include "zecm/memory.hpp"
#include "zeme/jpeg_decoder.hpp"
#include "zesim/usage.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace zeme {
namespace {

// privateData of the pictures handed out: a number of the process, never reused and
// never dereferenced (it is only looked up in the channel's table).
std::atomic<uintptr_t> nextToken{0x5a450001};

void *newToken() { return reinterpret_cast<void *>(nextToken.fetch_add(1)); }

bool samePlanes(const zemeFrame &a, const zemeFrame &b, bool device) {
    for (int i = 0; i < ZEME_MAX_VIDEO_PLANE; ++i)
        if (device ? a.busAddress[i] != b.busAddress[i] : a.data[i] != b.data[i]) return false;
    return true;
}

uint8_t *deviceBase(const Picture &picture) { return static_cast<uint8_t *>(picture.deviceBuffer->address); }

}  // namespace

DeviceBuffer::~DeviceBuffer() {
    if (address) zecm::releaseBlock(address, zesim::Kind::DeviceMemory);  // unless a reset did
}

Channel::Channel(uint32_t number, const zemeDecChannelParameters &params, zemeHardwareID hardware)
    : number_(number),
      codecDevice_(codecDevice(number)),
      params_(params),
      hardware_(hardware),
      pictures_(kDefaultPictures + params.extraBufferNumber) {}

Channel::~Channel() { close(); }

void Channel::clearCounters() {
    accepted_ = output_ = dropped_ = 0;
    result_ = zemeER_SUCCESS;
    haveInfo_ = false;
    info_ = {};
}

uint32_t Channel::openCoder() {
    if (!video()) return zemeER_SUCCESS;
    return VideoDecoder::open(params_.codecType, params_.decodeMode, decoderThreads(), &decoder_);
}

std::function<void()> Channel::discard() {
    dropped_ += ready_.size();
    ready_.clear();
    inputBytes_ = 0;
    return {};
}

std::function<void()> Channel::takeBack() {
    std::map<void *, Picture> pictures;
    std::vector<std::shared_ptr<DeviceBuffer>> spares;
    pictures.swap(handedOut_);
    spares.swap(spareDevice_);
    return [pictures = std::move(pictures), spares = std::move(spares)]() mutable {
        for (auto &entry : pictures) recycleHostBuffer(std::move(entry.second.hostBuffer));
    };
}

// On the decoding thread: the decoder takes the piece, or is flushed after the end mark.
bool Channel::handle(DecoderInput *piece) {
    bool going = true;
    uint32_t status = guarded([&] {
        zesim::usage::Busy busy(zesim::usage::Engine::Decoder, codecDevice_);
        going = piece ? decoder_->feed(piece->bytes.data(), piece->size, piece->pts, *this) : decoder_->finish(*this);
        return uint32_t{zemeER_SUCCESS};
    });
    if (status) failed(status, false);
    return going;
}

bool Channel::waitForRoom() {
    MutexLock lock(mutex_);
    changed_.wait(lock.native(), [&]() REQUIRES(mutex_) { return quit_ || roomLeft(); });
    return !quit_;
}

void Channel::deliver(Decoded &&picture) {
    MutexLock lock(mutex_);
    ++output_;
    result_ = picture.status;
    if (picture.status && state_ == ZEME_ST_RUNNING) state_ = ZEME_ST_ERROR;
    haveInfo_ = true;
    info_.width = picture.crop.width;
    info_.height = picture.crop.height;
    info_.fps = picture.fpsDenominator
                    ? static_cast<uint32_t>(std::lround(double(picture.fpsNumerator) / picture.fpsDenominator))
                    : 0;
    info_.pixelSize = static_cast<uint32_t>(pictureBytes(picture.crop.width, picture.crop.height));
    ready_.push_back(std::move(picture));
    changed_.notify_all();
}

void Channel::failed(uint32_t status, bool dropped) {
    MutexLock lock(mutex_);
    result_ = status;
    if (state_ == ZEME_ST_RUNNING) state_ = ZEME_ST_ERROR;
    if (dropped) {
        ++output_;
        ++dropped_;
    }
    changed_.notify_all();
}

void Channel::accepted() {
    MutexLock lock(mutex_);
    ++accepted_;
}

uint32_t Channel::send(const zemeStream &stream, uint32_t timeoutMs) {
    if (!video()) return zemeER_RSLT_ERR_UNSUPPORTED;
    if (stream.dataSize > ZEME_DEC_MAX_STREAM_BUFFER_SIZE) return zemeER_RSLT_ERR_INVALID_PARAM;
    DecoderInput piece;
    if (stream.dataSize) {
        const uint8_t *bytes = nullptr;
        if (uint32_t status = streamBytes(stream, &bytes)) return status;
        piece.bytes.resize(stream.dataSize + AV_INPUT_BUFFER_PADDING_SIZE);
        std::memcpy(piece.bytes.data(), bytes, stream.dataSize);
        std::memset(piece.bytes.data() + stream.dataSize, 0, AV_INPUT_BUFFER_PADDING_SIZE);
        piece.size = stream.dataSize;
        piece.pts = stream.pts;
    }
    MutexLock lock(mutex_);
    if (closed_) return zemeER_RSLT_ERR_INVALID_CHANNEL;
    if (!running() || endMarked_) return zemeER_RSLT_ERR_STATE;
    if (!piece.size) {
        endMarked_ = true;
        changed_.notify_all();
        return zemeER_SUCCESS;
    }
    bool room = zesim::waitUntil(changed_, lock, timeoutMs, [&]() REQUIRES(mutex_) {
        return closed_ || !running() || endMarked_ || input_.empty() ||
               (input_.size() < kInputPieces && inputBytes_ + piece.size <= kInputBytes);
    });
    if (closed_) return zemeER_RSLT_ERR_INVALID_CHANNEL;
    if (!running() || endMarked_) return zemeER_RSLT_ERR_STATE;
    if (!room) return zemeER_RSLT_ERR_TIMEOUT;
    inputBytes_ += piece.size;
    input_.push_back(std::move(piece));
    changed_.notify_all();
    return zemeER_SUCCESS;
}

uint32_t Channel::deviceBuffer(uint64_t size, std::shared_ptr<DeviceBuffer> *buffer) {
    uint32_t device = 0;
    uint32_t selected = zecm::currentDevice(&device);
    if (selected == zecmER_NOT_INITIALIZED) return zemeER_RSLT_ERR_NO_MEMORY;
    if (selected) device = 0;                                         // no device selected: the first AI device
    if (zecm::checkDevice(device)) return zemeER_RSLT_ERR_NO_MEMORY;  // a card without AI devices
    {
        MutexLock lock(mutex_);
        for (auto spare = spareDevice_.begin(); spare != spareDevice_.end(); ++spare) {
            if ((*spare)->size != size || (*spare)->device != device) continue;
            *buffer = std::move(*spare);
            spareDevice_.erase(spare);
            // A reset of the device (or uninitialise) took the block away meanwhile.
            if (zesim::findHandle((*buffer)->address, zesim::Kind::DeviceMemory) == (*buffer)->block)
                return zemeER_SUCCESS;
            break;
        }
    }
    auto fresh = std::make_shared<DeviceBuffer>();
    void *address = nullptr;
    if (zecm::allocateBlock(zesim::Kind::DeviceMemory, size, device, &address)) return zemeER_RSLT_ERR_NO_MEMORY;
    fresh->address = address;
    fresh->size = size;
    fresh->device = device;
    fresh->block = zesim::findHandle(address, zesim::Kind::DeviceMemory);
    if (!fresh->block) return zemeER_RSLT_ERR_NO_MEMORY;  // uninitialised meanwhile
    *buffer = std::move(fresh);
    return zemeER_SUCCESS;
}

// With mutex_ held: files the picture and writes the frame handed out.
void Channel::handOut(Picture &&picture, bool host, zemeFrame *frame) {
    void *token = newToken();
    picture.device.privateData = picture.host.privateData = token;
    *frame = host ? picture.host : picture.device;
    handedOut_.emplace(token, std::move(picture));
}

uint32_t Channel::receive(zemeFrame *frame, const zemeDecOutputOptions *options, uint32_t timeoutMs) {
    if (!video()) return zemeER_RSLT_ERR_UNSUPPORTED;
    const zemeMemoryType memory = options ? options->memoryType : ZEME_MEM_DEVICE;
    if (memory != ZEME_MEM_DEVICE && memory != ZEME_MEM_HOST) return zemeER_RSLT_ERR_INVALID_PARAM;
    const bool host = memory == ZEME_MEM_HOST, crop = options && options->enableCrop;

    MutexLock lock(mutex_);
    if (closed_) return zemeER_RSLT_ERR_INVALID_CHANNEL;
    if (!running()) return zemeER_RSLT_ERR_STATE;
    // The end is reached once the decoder is flushed and no other call is still writing a
    // picture (a failed write puts its picture back).
    auto ended = [&]() REQUIRES(mutex_) { return flushed_ && writing_ == 0; };
    zesim::waitUntil(changed_, lock, timeoutMs,
                     [&]() REQUIRES(mutex_) { return closed_ || !running() || !ready_.empty() || ended(); });
    if (closed_) return zemeER_RSLT_ERR_INVALID_CHANNEL;
    if (!running()) return zemeER_RSLT_ERR_STATE;
    if (ready_.empty()) return ended() ? zemeER_RSLT_WARN_EOS : zemeER_RSLT_WARN_MORE_DATA;
    Decoded decoded = std::move(ready_.front());
    ready_.pop_front();
    ++writing_;
    lock.unlock();

    // Host pictures and cropped device pictures hold the display rectangle; other
    // device pictures the whole coded picture, with the rectangle in cropInfo.
    const bool whole = !host && !crop && decoded.crop.flag;
    zemeFrameCropInfo rect = whole ? zemeFrameCropInfo{0, decoded.codedWidth, decoded.codedHeight, 0, 0} : decoded.crop;
    Picture picture;
    uint32_t status = guarded([&] {
        size_t bytes = pictureBytes(rect.width, rect.height);
        uint8_t *base = nullptr;
        if (host) {
            picture.hostBuffer = acquireHostBuffer(bytes);
            base = picture.hostBuffer->data;
        } else {
            if (uint32_t failure = deviceBuffer(bytes, &picture.deviceBuffer)) return failure;
            base = deviceBase(picture);
        }
        writePicture(decoded, rect, params_.pixelFormat, base);
        zemeFrame &out = host ? picture.host : picture.device;
        setPlanes(&out, base, !host, rect.width, rect.height, params_.pixelFormat);
        out.pts = decoded.pts;
        out.memoryType = memory;
        out.field = ZEME_FLD_FRAME;
        out.frameType = decoded.type;
        out.cropInfo = whole ? decoded.crop : zemeFrameCropInfo{0, rect.width, rect.height, 0, 0};
        return uint32_t{zemeER_SUCCESS};
    });

    lock.lock();
    --writing_;
    changed_.notify_all();
    if (status) {  // the picture waits for the next call
        ready_.push_front(std::move(decoded));
        recycleHostBuffer(std::move(picture.hostBuffer));
        return status;
    }
    if (closed_) {
        recycleHostBuffer(std::move(picture.hostBuffer));
        return zemeER_RSLT_ERR_INVALID_CHANNEL;
    }
    handOut(std::move(picture), host, frame);
    return zemeER_SUCCESS;
}

uint32_t Channel::decodeJpeg(const zemeStream &stream, zemeFrame *frame, uint32_t timeoutMs) {
    if (video()) return zemeER_RSLT_ERR_UNSUPPORTED;
    JpegHeader header;
    const uint8_t *bytes = nullptr;
    uint32_t status = stream.dataSize ? streamBytes(stream, &bytes) : uint32_t{zemeER_RSLT_ERR_BITSTREAM};
    if (status == zemeER_SUCCESS) status = readJpeg(bytes, stream.dataSize, &header);

    MutexLock lock(mutex_);
    if (closed_) return zemeER_RSLT_ERR_INVALID_CHANNEL;
    if (!running()) return zemeER_RSLT_ERR_STATE;
    // A JPEG that cannot be read is a stream error; one of a kind the card does not
    // decode is refused before decoding and leaves the channel as it was.
    if (status) {
        if (status == zemeER_RSLT_ERR_BITSTREAM) result_ = status, state_ = ZEME_ST_ERROR;
        return status;
    }
    if (!zesim::waitUntil(changed_, lock, timeoutMs,
                          [&]() REQUIRES(mutex_) { return closed_ || !running() || roomLeft(); }))
        return zemeER_RSLT_ERR_TIMEOUT;
    if (closed_) return zemeER_RSLT_ERR_INVALID_CHANNEL;
    if (!running()) return zemeER_RSLT_ERR_STATE;
    ++writing_;
    lock.unlock();

    const uint32_t width = header.outputWidth(), height = header.outputHeight();
    Picture picture;
    status = guarded([&] {
        zesim::usage::Busy busy(zesim::usage::Engine::Decoder, codecDevice_);
        picture.hostBuffer = acquireHostBuffer(pictureBytes(width, height));
        return zeme::decodeJpeg(bytes, stream.dataSize, header, params_.pixelFormat, picture.hostBuffer->data);
    });
    if (status == zemeER_SUCCESS) {
        zemeFrame &out = picture.host;
        setPlanes(&out, picture.hostBuffer->data, false, width, height, params_.pixelFormat);
        out.pts = stream.pts;
        out.memoryType = ZEME_MEM_HOST;
        out.field = ZEME_FLD_FRAME;
        out.frameType = ZEME_FRM_I;
        out.cropInfo = {0, width, height, 0, 0};
    }

    lock.lock();
    --writing_;
    changed_.notify_all();
    if (closed_) status = zemeER_RSLT_ERR_INVALID_CHANNEL;
    if (status) {
        recycleHostBuffer(std::move(picture.hostBuffer));
        if (status != zemeER_RSLT_ERR_INVALID_CHANNEL) result_ = status, state_ = ZEME_ST_ERROR;
        return status;
    }
    result_ = zemeER_SUCCESS;
    state_ = ZEME_ST_RUNNING;
    ++output_;
    haveInfo_ = true;
    info_ = {width, height, 0, static_cast<uint32_t>(pictureBytes(width, height))};
    handOut(std::move(picture), true, frame);
    return zemeER_SUCCESS;
}

// With mutex_ held: the picture a frame given back stands for, matched by its
// privateData and its plane addresses (device planes, or host planes), else null.
Picture *Channel::find(const zemeFrame &frame) {
    auto entry = handedOut_.find(frame.privateData);
    if (entry == handedOut_.end()) return nullptr;
    Picture &picture = entry->second;
    if (picture.deviceBuffer && samePlanes(frame, picture.device, true)) return &picture;
    if (picture.hostBuffer && samePlanes(frame, picture.host, false)) return &picture;
    return nullptr;
}

// The host copy is the display rectangle, tightly packed, whatever enableCrop says
// (host pictures always are); a host picture is rewritten as it is.
uint32_t Channel::transfer(zemeFrame *frame) {
    MutexLock lock(mutex_);
    if (closed_) return zemeER_RSLT_ERR_INVALID_CHANNEL;
    Picture *picture = find(*frame);
    if (!picture) return zemeER_RSLT_ERR_UNKNOWN_BUFFER;
    if (picture->hostBuffer) {
        *frame = picture->host;
        return zemeER_SUCCESS;
    }
    void *token = frame->privateData;
    zemeFrame device = picture->device;
    std::shared_ptr<DeviceBuffer> source = picture->deviceBuffer;
    lock.unlock();

    zemeFrameCropInfo rect = device.cropInfo.flag ? device.cropInfo
                                                  : zemeFrameCropInfo{0, device.width, device.height, 0, 0};
    std::shared_ptr<HostBuffer> copy;
    uint32_t status = guarded([&] {
        copy = acquireHostBuffer(pictureBytes(rect.width, rect.height));
        copyPicture(static_cast<const uint8_t *>(source->address), device.width, device.height, rect,
                    device.pixelFormat, copy->data);
        return uint32_t{zemeER_SUCCESS};
    });
    if (status) return status;

    lock.lock();
    auto entry = handedOut_.find(token);
    if (closed_ || entry == handedOut_.end()) {  // released or destroyed meanwhile
        const uint32_t gone = closed_ ? zemeER_RSLT_ERR_INVALID_CHANNEL : zemeER_RSLT_ERR_UNKNOWN_BUFFER;
        lock.unlock();
        recycleHostBuffer(std::move(copy));
        return gone;
    }
    Picture &target = entry->second;
    if (!target.hostBuffer) {
        target.hostBuffer = std::move(copy);
        target.host = device;
        setPlanes(&target.host, target.hostBuffer->data, false, rect.width, rect.height, device.pixelFormat);
        target.host.memoryType = ZEME_MEM_HOST;
        target.host.cropInfo = {0, rect.width, rect.height, 0, 0};
    }
    *frame = target.host;
    lock.unlock();
    recycleHostBuffer(std::move(copy));
    return zemeER_SUCCESS;
}

uint32_t Channel::release(const zemeFrame &frame) {
    Picture picture;
    {
        MutexLock lock(mutex_);
        if (closed_) return zemeER_RSLT_ERR_INVALID_CHANNEL;
        Picture *found = find(frame);
        if (!found) return zemeER_RSLT_ERR_UNKNOWN_BUFFER;
        picture = std::move(*found);
        handedOut_.erase(frame.privateData);
        if (picture.deviceBuffer) {
            spareDevice_.push_back(std::move(picture.deviceBuffer));
            if (spareDevice_.size() > pictures_) spareDevice_.erase(spareDevice_.begin());
        }
        changed_.notify_all();
    }
    recycleHostBuffer(std::move(picture.hostBuffer));
    return zemeER_SUCCESS;
}

void Channel::status(zemeDecStatus *status) {
    MutexLock lock(mutex_);
    *status = {};
    status->state = state_;
    status->hardwareID = hardware_;
    status->result = result_;
    status->runningFrames = static_cast<uint32_t>(handedOut_.size());
    status->reorderedFrames = flushed_ || accepted_ <= output_ ? 0 : static_cast<uint32_t>(accepted_ - output_);
    status->bufferedFrames = static_cast<uint32_t>(ready_.size());
    status->droppedFrames = static_cast<uint32_t>(dropped_);
}

uint32_t Channel::streamInfo(zemeDecStreamInfo *info) {
    MutexLock lock(mutex_);
    if (!haveInfo_) return zemeER_RSLT_WARN_MORE_DATA;
    *info = info_;
    return zemeER_SUCCESS;
}

}  // namespace zeme
