// Pictures into encoders: the caller's frames checked and copied into planar 4:2:0
// pictures, and libx264 / libx265 through libavcodec.
#include <algorithm>
#include <cstring>

#include "zecm/memory.hpp"
#include "zeme/video_encoder.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
}

namespace zeme {
namespace {

constexpr int kAlign = 64;

int aligned(uint32_t bytes) { return static_cast<int>((bytes + kAlign - 1) / kAlign * kAlign); }

// Interleaved pairs into two planes.
void split(const uint8_t *pairs, uint8_t *first, uint8_t *second, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        first[i] = pairs[2 * i];
        second[i] = pairs[2 * i + 1];
    }
}

}  // namespace

uint32_t sourcePicture(const zemeFrame &frame, SourcePicture *source) {
    const uint32_t format = rawValue(frame.pixelFormat), memory = rawValue(frame.memoryType);
    if (!pictureFormat(format)) return zemeER_RSLT_ERR_UNSUPPORTED;
    if (memory != ZEME_MEM_HOST && memory != ZEME_MEM_DEVICE) return zemeER_RSLT_ERR_INVALID_PARAM;
    const bool device = memory == ZEME_MEM_DEVICE;
    const zemeFrameCropInfo rect = frame.cropInfo.flag ? frame.cropInfo
                                                       : zemeFrameCropInfo{0, frame.width, frame.height, 0, 0};
    if (!rect.width || !rect.height || (rect.width | rect.height | rect.xOffset | rect.yOffset) & 1)
        return zemeER_RSLT_ERR_INVALID_PARAM;
    if (uint64_t{rect.xOffset} + rect.width > frame.width || uint64_t{rect.yOffset} + rect.height > frame.height)
        return zemeER_RSLT_ERR_INVALID_PARAM;
    SourcePicture s;
    s.width = rect.width;
    s.height = rect.height;
    s.format = static_cast<zemePixelFormat>(format);
    for (int i = 0; i < planeCount(format); ++i) {
        const uint64_t rows = planeRows(i, rect.height);
        const uint64_t bytes = rowBytes(format, i, rect.width);
        const uint64_t stride = planeStride(format, frame.stride, i);
        // The rectangle's rows start `column` bytes into the plane's, and must fit in them.
        const uint64_t column = sampleOffset(format, i, rect.xOffset, 0, stride);
        if (stride < column + bytes) return zemeER_RSLT_ERR_INVALID_PARAM;
        const uint64_t base = device ? frame.busAddress[i] : reinterpret_cast<uintptr_t>(frame.data[i]);
        if (!base) return zemeER_RSLT_ERR_INVALID_PARAM;
        const uint64_t offset = sampleOffset(format, i, rect.xOffset, rect.yOffset, stride);
        if (device) {
            const uint64_t extent = (rows - 1) * stride + bytes;
            zesim::Entry block;
            if (base + offset < base ||
                zecm::findRange(reinterpret_cast<const void *>(base + offset), extent, &block) ||
                !zecm::isDeviceKind(block.kind))
                return zemeER_RSLT_ERR_INVALID_PARAM;
        }
        s.planes[i] = reinterpret_cast<const uint8_t *>(base + offset);
        s.strides[i] = static_cast<uint32_t>(stride);
    }
    *source = s;
    return zemeER_SUCCESS;
}

PicturePool::PicturePool(uint32_t width, uint32_t height)
    : width_(width),
      height_(height),
      layout_(pictureLayout(ZEME_PIX_FMT_YUV420P, width, height,
                            {uint64_t(aligned(width)), uint64_t(aligned(width / 2)), uint64_t(aligned(width / 2))})) {
    size_t bytes = static_cast<size_t>(layout_.bytes) + kAlign;
    pool_ = av_buffer_pool_init(bytes, nullptr);
    if (!pool_) throw std::bad_alloc();
}

PicturePool::~PicturePool() { av_buffer_pool_uninit(&pool_); }  // buffers still out die with their frames

FramePtr PicturePool::copy(const SourcePicture &source) {
    FramePtr frame(av_frame_alloc());
    if (!frame) throw std::bad_alloc();
    frame->buf[0] = av_buffer_pool_get(pool_);
    if (!frame->buf[0]) throw std::bad_alloc();
    const size_t width = width_, height = height_, half = chromaColumns(width), rows = chromaRows(height);
    const size_t lumaStride = layout_.plane[0].pitch, chromaStride = layout_.plane[1].pitch;
    uint8_t *y = frame->buf[0]->data;
    uint8_t *u = y + layout_.plane[1].offset, *v = y + layout_.plane[2].offset;
    frame->data[0] = y;
    frame->data[1] = u;
    frame->data[2] = v;
    frame->linesize[0] = static_cast<int>(lumaStride);
    frame->linesize[1] = frame->linesize[2] = static_cast<int>(chromaStride);
    frame->width = static_cast<int>(width);
    frame->height = static_cast<int>(height);
    frame->format = AV_PIX_FMT_YUV420P;
    for (size_t row = 0; row < height; ++row)
        std::memcpy(y + row * lumaStride, source.planes[0] + row * source.strides[0], width);
    for (size_t row = 0; row < rows; ++row) {
        uint8_t *uRow = u + row * chromaStride, *vRow = v + row * chromaStride;
        if (!interleavedChroma(source.format)) {
            std::memcpy(uRow, source.planes[1] + row * source.strides[1], half);
            std::memcpy(vRow, source.planes[2] + row * source.strides[2], half);
        } else {
            const uint8_t *pairs = source.planes[1] + row * source.strides[1];
            if (chromaVFirst(source.format))
                split(pairs, vRow, uRow, half);
            else
                split(pairs, uRow, vRow, half);
        }
    }
    return frame;
}

uint32_t VideoEncoder::open(const VideoSetup &setup, std::unique_ptr<VideoEncoder> *encoder) {
    quietLibraries();
    const bool hevc = setup.codec == ZEME_CODEC_ENC_HEVC;
    const AVCodec *codec = avcodec_find_encoder_by_name(hevc ? "libx265" : "libx264");
    if (!codec) return zemeER_RSLT_ERR_UNSUPPORTED;
    std::unique_ptr<VideoEncoder> result(new VideoEncoder());
    AVCodecContext *context = result->context_ = avcodec_alloc_context3(codec);
    result->packet_ = av_packet_alloc();
    if (!context || !result->packet_) return zemeER_RSLT_ERR_NO_MEMORY;
    context->width = static_cast<int>(setup.width);
    context->height = static_cast<int>(setup.height);
    context->pix_fmt = AV_PIX_FMT_YUV420P;
    context->framerate = AVRational{setup.rateNumerator, setup.rateDenominator};
    context->time_base = AVRational{setup.rateDenominator, setup.rateNumerator};  // one tick a picture
    context->thread_count = 0;  // the encoder's own choice (libx264: 1.5 threads a core)
    // No global header: parameter sets go in-band before every key frame (Annex B).
    AVDictionary *options = nullptr;
    av_dict_set(&options, "preset", setup.preset.c_str(), 0);
    if (!setup.tune.empty()) av_dict_set(&options, "tune", setup.tune.c_str(), 0);
    if (!setup.profile.empty()) av_dict_set(&options, "profile", setup.profile.c_str(), 0);
    av_dict_set(&options, "forced-idr", "1", 0);
    if (!setup.params.empty()) av_dict_set(&options, hevc ? "x265-params" : "x264-params", setup.params.c_str(), 0);
    int status = avcodec_open2(context, codec, &options);
    av_dict_free(&options);
    if (status == AVERROR(ENOMEM)) return zemeER_RSLT_ERR_NO_MEMORY;
    if (status < 0) return zemeER_RSLT_ERR_UNSUPPORTED;
    *encoder = std::move(result);
    return zemeER_SUCCESS;
}

VideoEncoder::~VideoEncoder() {
    avcodec_free_context(&context_);
    av_packet_free(&packet_);
}

bool VideoEncoder::encode(AVFrame *picture, int64_t pts, const UnitSink &sink) {
    if (picture) {
        picture->pts = next_;
        pts_[next_++] = pts;
    }
    for (int attempt = 0;; ++attempt) {
        int status = avcodec_send_frame(context_, picture);
        if (status == AVERROR(EAGAIN) && attempt == 0) {  // access units must be taken out first
            if (!drain(sink)) return false;
            continue;
        }
        if (status < 0 && picture) pts_.erase(picture->pts);  // the encoder refused the picture
        break;
    }
    return drain(sink);
}

bool VideoEncoder::drain(const UnitSink &sink) {
    for (;;) {
        int status = avcodec_receive_packet(context_, packet_);
        if (status < 0) return true;  // EAGAIN: wants input; EOF: flushed; else nothing to take
        int64_t pts = -1;
        auto found = pts_.find(packet_->pts);
        if (found != pts_.end()) {
            pts = found->second;
            pts_.erase(found);
        }
        bool going = sink(packet_->data, static_cast<size_t>(packet_->size), pts);
        av_packet_unref(packet_);
        if (!going) return false;
    }
}

}  // namespace zeme
