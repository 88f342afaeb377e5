// Video decoding with libavcodec and the picture layouts of the card.
#include "zeme/video_decoder.hpp"

#include <algorithm>
#include <cstring>
#include <thread>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/pixfmt.h>
}

namespace zeme {
namespace {

// Pieces handed to the parser carry this many zero bytes past their end.
constexpr size_t kPadding = AV_INPUT_BUFFER_PADDING_SIZE;

AVCodecID codecId(zemeCodecType codec) { return codec == ZEME_CODEC_DEC_HEVC ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264; }

zemeFrameType frameType(AVPictureType type) {
    switch (type) {
    case AV_PICTURE_TYPE_B: return ZEME_FRM_B;
    case AV_PICTURE_TYPE_P:
    case AV_PICTURE_TYPE_SP: return ZEME_FRM_P;
    default: return ZEME_FRM_I;
    }
}

bool planar420(int format) {
    return format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_GRAY8;
}

zemePixelFormat pixelFormatOf(int format) {
    switch (format) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P: return ZEME_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUV422P:
    case AV_PIX_FMT_YUVJ422P: return ZEME_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUV444P:
    case AV_PIX_FMT_YUVJ444P: return ZEME_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUV420P10: return ZEME_PIX_FMT_YUV420P10;
    case AV_PIX_FMT_YUV422P10: return ZEME_PIX_FMT_YUV422P10;
    case AV_PIX_FMT_YUV444P10: return ZEME_PIX_FMT_YUV444P10;
    case AV_PIX_FMT_YUV420P12: return ZEME_PIX_FMT_YUV420P12;
    case AV_PIX_FMT_YUV422P12: return ZEME_PIX_FMT_YUV422P12;
    case AV_PIX_FMT_YUV444P12: return ZEME_PIX_FMT_YUV444P12;
    case AV_PIX_FMT_YUV420P9: return ZEME_PIX_FMT_YUV420P9;
    case AV_PIX_FMT_GRAY8: return ZEME_PIX_FMT_GRAY8;
    case AV_PIX_FMT_GRAY10: return ZEME_PIX_FMT_GRAY10;
    case AV_PIX_FMT_GRAY12: return ZEME_PIX_FMT_GRAY12;
    default: return ZEME_PIX_FMT_NONE;
    }
}

// first[i], second[i] pairs into `out` (2 * count bytes).
void interleave(const uint8_t *first, const uint8_t *second, uint8_t *out, size_t count) {
    size_t i = 0;
#ifdef __SSE2__
    for (; i + 16 <= count; i += 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(first + i));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(second + i));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 2 * i), _mm_unpacklo_epi8(a, b));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 2 * i + 16), _mm_unpackhi_epi8(a, b));
    }
#endif
    for (; i < count; ++i) {
        out[2 * i] = first[i];
        out[2 * i + 1] = second[i];
    }
}

struct ContextDeleter {
    void operator()(AVCodecContext *context) const { avcodec_free_context(&context); }
};

AVCodecContext *openContext(zemeCodecType codec, zemeDecMode mode, unsigned threads) {
    quietLibraries();
    const AVCodec *decoder = avcodec_find_decoder(codecId(codec));
    if (!decoder) return nullptr;
    AVCodecContext *context = avcodec_alloc_context3(decoder);
    if (!context) return nullptr;
    context->thread_count = static_cast<int>(threads);
    context->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    context->apply_cropping = 0;  // the card crops: pictures keep their coded size
    context->max_pixels = int64_t{ZEME_DEC_VIDEO_MAX_WIDTH} * ZEME_DEC_VIDEO_MAX_HEIGHT;
    if (mode == ZEME_DEC_INTRA_ONLY) context->skip_frame = AVDISCARD_NONINTRA;
    // An H.264 stream whose SPS does not give its reorder depth (no VUI bitstream
    // restriction) may hold back as many pictures as its level's DPB holds. libavcodec
    // otherwise starts from no reordering and raises the depth only once a picture came
    // out of order, dropping that picture and those behind it (e.g. B-pictures that
    // lead an IDR picture). Strict compliance makes it take the level's depth (at most
    // 15) from the start; streams that give their depth keep it. Intra-only decoding
    // keeps the stream's own depth: the level's would hold up to 15 intra pictures back.
    if (codec == ZEME_CODEC_DEC_H264 && mode == ZEME_DEC_NORMAL) context->strict_std_compliance = FF_COMPLIANCE_STRICT;
    if (avcodec_open2(context, decoder, nullptr) < 0) {
        avcodec_free_context(&context);
        return nullptr;
    }
    return context;
}

}  // namespace

// libavcodec logs every concealed error (and its encoders their settings) on stderr.
void quietLibraries() {
    static const bool once = [] {
        av_log_set_level(AV_LOG_QUIET);
        return true;
    }();
    (void)once;
}

unsigned decoderThreads() {
    unsigned cores = std::thread::hardware_concurrency();
    return std::clamp(cores, 1u, kMaxDecoderThreads);
}

void FrameDeleter::operator()(AVFrame *frame) const { av_frame_free(&frame); }

uint32_t VideoDecoder::open(zemeCodecType codec, zemeDecMode mode, unsigned threads,
                            std::unique_ptr<VideoDecoder> *decoder) {
    std::unique_ptr<VideoDecoder> result(new VideoDecoder());
    result->context_ = openContext(codec, mode, threads);
    result->parser_ = av_parser_init(codecId(codec));
    result->packet_ = av_packet_alloc();
    result->frame_ = av_frame_alloc();
    result->mode_ = mode;
    if (!result->context_ || !result->parser_ || !result->packet_ || !result->frame_) return zemeER_RSLT_ERR_NO_MEMORY;
    *decoder = std::move(result);
    return zemeER_SUCCESS;
}

VideoDecoder::~VideoDecoder() {
    if (parser_) av_parser_close(parser_);
    avcodec_free_context(&context_);
    av_packet_free(&packet_);
    av_frame_free(&frame_);
}

// An access unit takes the pts of the piece its first byte came in; when several
// start in one piece, the first takes it and the others have none.
int64_t VideoDecoder::ptsAt(int64_t offset) {
    while (pieces_.size() > 1 && pieces_[1].start <= offset) pieces_.pop_front();
    if (pieces_.empty() || pieces_.front().start > offset || pieces_.front().used) return AV_NOPTS_VALUE;
    pieces_.front().used = true;
    return pieces_.front().pts;
}

bool VideoDecoder::feed(const uint8_t *data, size_t size, int64_t pts, PictureSink &sink) {
    pieces_.push_back({offset_, pts, false});
    while (size > 0) {
        uint8_t *unit = nullptr;
        int unitSize = 0;
        int chunk = static_cast<int>(std::min<size_t>(size, 1 << 30));
        int used = av_parser_parse2(parser_, context_, &unit, &unitSize, data, chunk, AV_NOPTS_VALUE, AV_NOPTS_VALUE,
                                    0);
        if (used < 0) used = 0;
        data += used;
        size -= static_cast<size_t>(used);
        offset_ += used;
        if (unitSize > 0) {
            if (!decodeUnit(unit, unitSize, sink)) return false;
        } else if (used == 0) {
            break;
        }
    }
    return true;
}

bool VideoDecoder::finish(PictureSink &sink) {
    uint8_t *unit = nullptr;
    int unitSize = 0;
    av_parser_parse2(parser_, context_, &unit, &unitSize, nullptr, 0, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    if (unitSize > 0 && !decodeUnit(unit, unitSize, sink)) return false;
    return decode(nullptr, sink);  // flush: every picture the decoder holds
}

// An access unit the parser cut, with the pts of the input it started in.
bool VideoDecoder::decodeUnit(uint8_t *unit, int size, PictureSink &sink) {
    av_packet_unref(packet_);
    packet_->data = unit;
    packet_->size = size;
    packet_->pts = ptsAt(parser_->frame_offset);
    return decode(packet_, sink);
}

bool VideoDecoder::decode(AVPacket *packet, PictureSink &sink) {
    for (;;) {
        int status = avcodec_send_packet(context_, packet);
        if (status == AVERROR(EAGAIN)) {  // pictures must be taken out first
            if (!drain(sink)) return false;
            continue;
        }
        if (status < 0 && status != AVERROR_EOF)
            sink.failed(zemeER_RSLT_ERR_BITSTREAM, false);
        else if (packet && status == 0 &&
                 (mode_ != ZEME_DEC_INTRA_ONLY || parser_->key_frame == 1 || parser_->pict_type == AV_PICTURE_TYPE_I))
            sink.accepted();  // an access unit whose picture is to come out
        break;
    }
    return drain(sink);
}

bool VideoDecoder::drain(PictureSink &sink) {
    for (;;) {
        if (!sink.waitForRoom()) return false;
        int status = avcodec_receive_frame(context_, frame_);
        if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return true;
        if (status < 0) {
            sink.failed(zemeER_RSLT_ERR_BITSTREAM, false);
            continue;
        }
        Decoded picture;
        picture.codedWidth = static_cast<uint32_t>(frame_->width);
        picture.codedHeight = static_cast<uint32_t>(frame_->height);
        size_t width = frame_->width - frame_->crop_left - frame_->crop_right;
        size_t height = frame_->height - frame_->crop_top - frame_->crop_bottom;
        picture.crop = {0, static_cast<uint32_t>(width), static_cast<uint32_t>(height),
                        static_cast<uint32_t>(frame_->crop_left), static_cast<uint32_t>(frame_->crop_top)};
        picture.crop.flag = width != picture.codedWidth || height != picture.codedHeight;
        // Pictures are handed out as 8-bit 4:2:0 of even size within the card's limits.
        if (!planar420(frame_->format) || picture.codedWidth > ZEME_DEC_VIDEO_MAX_WIDTH ||
            picture.codedHeight > ZEME_DEC_VIDEO_MAX_HEIGHT || width == 0 || height == 0 || width % 2 || height % 2 ||
            picture.codedWidth % 2 || picture.codedHeight % 2 ||
            (frame_->format != AV_PIX_FMT_GRAY8 && (picture.crop.xOffset % 2 || picture.crop.yOffset % 2))) {
            av_frame_unref(frame_);
            sink.failed(zemeER_RSLT_ERR_UNSUPPORTED, true);
            continue;
        }
        // A picture the decoder had to conceal errors in is still handed out, and reported.
        if (frame_->decode_error_flags || (frame_->flags & AV_FRAME_FLAG_CORRUPT))
            picture.status = zemeER_RSLT_ERR_BITSTREAM;
        picture.pts = frame_->pts == AV_NOPTS_VALUE ? -1 : frame_->pts;
        picture.type = frameType(frame_->pict_type);
        if (context_->framerate.num > 0 && context_->framerate.den > 0) {
            picture.fpsNumerator = static_cast<uint32_t>(context_->framerate.num);
            picture.fpsDenominator = static_cast<uint32_t>(context_->framerate.den);
        }
        picture.frame.reset(av_frame_alloc());
        if (!picture.frame) throw std::bad_alloc();
        av_frame_move_ref(picture.frame.get(), frame_);
        sink.deliver(std::move(picture));
    }
}

void setPlanes(zemeFrame *frame, uint8_t *base, bool device, uint32_t width, uint32_t height, zemePixelFormat format) {
    const PictureLayout layout = packedLayout(format, width, height);
    for (int i = 0; i < ZEME_MAX_VIDEO_PLANE; ++i) {
        uint8_t *plane = i < layout.planes ? base + layout.plane[i].offset : nullptr;
        frame->stride[i] = i < layout.planes ? static_cast<uint32_t>(layout.plane[i].pitch) : 0;
        frame->data[i] = device ? nullptr : plane;
        frame->busAddress[i] = device && plane ? reinterpret_cast<uint64_t>(plane) : 0;
    }
    frame->width = width;
    frame->height = height;
    frame->dataSize = static_cast<uint32_t>(pictureBytes(width, height));
    frame->pixelFormat = format;
}

void writePicture(const Decoded &picture, const zemeFrameCropInfo &rect, zemePixelFormat format, uint8_t *out) {
    const AVFrame &frame = *picture.frame;
    const PictureLayout layout = packedLayout(format, rect.width, rect.height);
    const PlaneLayout &luma = layout.plane[0], &first = layout.plane[1];
    const size_t x = rect.xOffset, y = rect.yOffset;
    for (size_t row = 0; row < luma.height; ++row)
        std::memcpy(out + row * luma.pitch, frame.data[0] + (y + row) * frame.linesize[0] + x, luma.width);
    uint8_t *chroma = out + first.offset;
    if (!frame.data[1]) {  // grey: neutral chroma
        std::memset(chroma, 128, layout.bytes - first.offset);
        return;
    }
    const size_t half = chromaColumns(rect.width);
    for (size_t row = 0; row < first.height; ++row) {
        // libavcodec's own planes: U and V, each at its own line size.
        const uint8_t *u = frame.data[1] + sampleOffset(ZEME_PIX_FMT_YUV420P, 1, x, y + 2 * row, frame.linesize[1]);
        const uint8_t *v = frame.data[2] + sampleOffset(ZEME_PIX_FMT_YUV420P, 2, x, y + 2 * row, frame.linesize[2]);
        if (!layout.interleaved) {
            std::memcpy(out + first.offset + row * first.pitch, u, half);
            std::memcpy(out + layout.plane[2].offset + row * layout.plane[2].pitch, v, half);
        } else if (layout.vFirst) {
            interleave(v, u, chroma + row * first.pitch, half);
        } else {
            interleave(u, v, chroma + row * first.pitch, half);
        }
    }
}

void copyPicture(const uint8_t *in, uint32_t inWidth, uint32_t inHeight, const zemeFrameCropInfo &rect,
                 zemePixelFormat format, uint8_t *out) {
    const PictureLayout from = packedLayout(format, inWidth, inHeight);
    const PictureLayout to = packedLayout(format, rect.width, rect.height);
    for (int i = 0; i < to.planes; ++i) {
        const PlaneLayout &source = from.plane[i], &target = to.plane[i];
        const uint8_t *start = in + source.offset + sampleOffset(format, i, rect.xOffset, rect.yOffset, source.pitch);
        for (size_t row = 0; row < target.height; ++row)
            std::memcpy(out + target.offset + row * target.pitch, start + row * source.pitch, target.width);
    }
}

uint32_t probeVideo(const uint8_t *data, size_t size, zemeCodecType codec, zemeDecVideoInfo *info) {
    std::unique_ptr<AVCodecContext, ContextDeleter> context(openContext(codec, ZEME_DEC_NORMAL, 1));
    AVCodecParserContext *parser = av_parser_init(codecId(codec));
    AVPacket *packet = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    struct Cleanup {
        AVCodecParserContext *&parser;
        AVPacket *&packet;
        AVFrame *&frame;
        ~Cleanup() {
            if (parser) av_parser_close(parser);
            av_packet_free(&packet);
            av_frame_free(&frame);
        }
    } cleanup{parser, packet, frame};
    if (!context || !parser || !packet || !frame) return zemeER_RSLT_ERR_NO_MEMORY;

    // The parser reads a little past its input: give it a padded copy.
    std::vector<uint8_t> bytes(size + kPadding, 0);
    std::memcpy(bytes.data(), data, size);
    const uint8_t *cursor = bytes.data();
    bool got = false;
    // Access units go in until one gave the decoder its parameters and a picture;
    // the flush then hands out that picture.
    for (;;) {
        uint8_t *unit = nullptr;
        int unitSize = 0;
        int left = static_cast<int>(std::min<size_t>(size, 1 << 30));
        int used = av_parser_parse2(parser, context.get(), &unit, &unitSize, left ? cursor : nullptr, left,
                                    AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        if (used < 0) used = 0;
        cursor += used;
        size -= static_cast<size_t>(used);
        if (unitSize > 0) {
            packet->data = unit;
            packet->size = unitSize;
            if (avcodec_send_packet(context.get(), packet) == 0 && context->width > 0) {
                got = avcodec_receive_frame(context.get(), frame) == 0;
                break;
            }
        }
        if (left == 0 || (used == 0 && unitSize == 0)) break;
    }
    if (!got) {
        avcodec_send_packet(context.get(), nullptr);
        got = avcodec_receive_frame(context.get(), frame) == 0;
    }
    if (!got) return zemeER_RSLT_ERR_BITSTREAM;
    *info = {};
    info->width = static_cast<uint32_t>(frame->width);
    info->height = static_cast<uint32_t>(frame->height);
    info->cropWidth = static_cast<uint32_t>(frame->width - frame->crop_left - frame->crop_right);
    info->cropHeight = static_cast<uint32_t>(frame->height - frame->crop_top - frame->crop_bottom);
    info->xOffset = static_cast<uint32_t>(frame->crop_left);
    info->yOffset = static_cast<uint32_t>(frame->crop_top);
    info->cropFlag = info->cropWidth != info->width || info->cropHeight != info->height;
    if (context->framerate.num > 0 && context->framerate.den > 0)
        info->fps = {static_cast<uint32_t>(context->framerate.num), static_cast<uint32_t>(context->framerate.den)};
    info->pixelFormat = pixelFormatOf(frame->format);
    return zemeER_SUCCESS;
}

}  // namespace zeme
