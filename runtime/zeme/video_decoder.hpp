// Video decoding with libavcodec: access units cut by its parser, pictures out of
// its H.264 and HEVC decoders, and their conversion into the card's picture layouts.
#pragma once
#include <cstdint>
#include <deque>
#include <memory>

#include "zeme/media.hpp"
#include "zeme/picture_layout.hpp"

struct AVFrame;
struct AVCodecContext;
struct AVCodecParserContext;
struct AVPacket;

namespace zeme {

// libavcodec threads of one decoder: one per core, at most this many.
constexpr unsigned kMaxDecoderThreads = 8;
unsigned decoderThreads();
// Silences libavcodec's own log (for the process): the card reports statuses instead.
void quietLibraries();

struct FrameDeleter {
    void operator()(AVFrame *frame) const;
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

// A picture out of a decoder, as it waits to be handed out.
struct Decoded {
    FramePtr frame;  // 8-bit 4:2:0 planes (or grey: no chroma)
    uint32_t codedWidth = 0, codedHeight = 0;
    zemeFrameCropInfo crop{};  // the display rectangle in the coded picture
    int64_t pts = -1;
    zemeFrameType type = ZEME_FRM_I;
    uint32_t fpsNumerator = 0, fpsDenominator = 0;
    uint32_t status = zemeER_SUCCESS;  // BITSTREAM: errors were concealed in it
};

// Where a decoder puts its pictures; called on the decoding thread.
class PictureSink {
public:
    virtual ~PictureSink() = default;
    // Waits for room for one more picture; false when decoding must stop.
    virtual bool waitForRoom() = 0;
    virtual void deliver(Decoded &&picture) = 0;
    // A picture or access unit that failed (status), or was decoded but cannot be
    // output (dropped: true).
    virtual void failed(uint32_t status, bool dropped) = 0;
    // Called once per access unit the decoder took.
    virtual void accepted() = 0;
};

class VideoDecoder {
public:
    // zemeER_RSLT_ERR_NO_MEMORY when libavcodec cannot open the decoder.
    static uint32_t open(zemeCodecType codec, zemeDecMode mode, unsigned threads,
                         std::unique_ptr<VideoDecoder> *decoder);
    ~VideoDecoder();
    VideoDecoder(const VideoDecoder &) = delete;
    VideoDecoder &operator=(const VideoDecoder &) = delete;

    // Cuts the bytes into access units and decodes each; false when the sink stopped it.
    bool feed(const uint8_t *data, size_t size, int64_t pts, PictureSink &sink);
    // Ends the input: the last access unit, then every picture the decoder still holds.
    bool finish(PictureSink &sink);

private:
    VideoDecoder() = default;
    bool decode(AVPacket *packet, PictureSink &sink);
    bool decodeUnit(uint8_t *unit, int size, PictureSink &sink);
    bool drain(PictureSink &sink);
    int64_t ptsAt(int64_t offset);

    struct Piece {
        int64_t start;
        int64_t pts;
        bool used;
    };
    AVCodecContext *context_ = nullptr;
    AVCodecParserContext *parser_ = nullptr;
    AVPacket *packet_ = nullptr;
    AVFrame *frame_ = nullptr;
    zemeDecMode mode_ = ZEME_DEC_NORMAL;
    std::deque<Piece> pieces_;  // input pieces by their first byte's offset, for pts
    int64_t offset_ = 0;        // bytes fed so far
};

// Points the frame's planes (host or device) at a picture of `width` x `height` at
// `base`, tightly packed (packedLayout), in `format`.
void setPlanes(zemeFrame *frame, uint8_t *base, bool device, uint32_t width, uint32_t height, zemePixelFormat format);
// Writes the rectangle of a decoded picture into a tightly packed picture at `out`
// (width, height even, inside the coded picture).
void writePicture(const Decoded &picture, const zemeFrameCropInfo &rect, zemePixelFormat format, uint8_t *out);
// Copies the rectangle of a tightly packed picture (of `width` columns) into another.
void copyPicture(const uint8_t *in, uint32_t width, uint32_t height, const zemeFrameCropInfo &rect,
                 zemePixelFormat format, uint8_t *out);

// Parameter sets of a stream, through a decode of its first picture.
uint32_t probeVideo(const uint8_t *data, size_t size, zemeCodecType codec, zemeDecVideoInfo *info);

}  // namespace zeme
