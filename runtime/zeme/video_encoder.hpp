// Encoding: the pictures callers give to encoder channels, the video encoders of
// libavcodec (libx264 for H.264, libx265 for HEVC) set up from a channel's
// configuration, and JPEG pictures with libjpeg-turbo.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "zeme/video_decoder.hpp"

struct AVBufferPool;

namespace zeme {

// Output buffers of an encoder channel whose outbufNum is 0.
constexpr uint32_t kDefaultStreamBuffers = 8;
// Frame rate of a configuration that gives none.
constexpr int kDefaultFrameRate = 25;
// Quality of the JPEG pictures (libjpeg-turbo's 1..100 scale).
constexpr int kJpegQuality = 90;
// Bytes a JPEG comment segment holds.
constexpr size_t kMaxJpegComment = 65533;

// A picture as a caller gave it: the rectangle to encode and where its planes start
// (host addresses: device memory lives in host memory on the software card).
struct SourcePicture {
    uint32_t width = 0, height = 0;
    zemePixelFormat format = ZEME_PIX_FMT_NONE;
    const uint8_t *planes[ZEME_MAX_VIDEO_PLANE] = {};  // at the rectangle's first sample
    uint32_t strides[ZEME_MAX_VIDEO_PLANE] = {};
};

// Checks a frame given to an encoder and finds its planes. The rectangle is cropInfo's
// when its flag is set, else the whole width x height; it is even in size and offset.
// A chroma stride of 0 is the stride of the plane before it.
// UNSUPPORTED for formats other than kPictureFormats; INVALID_PARAM for another
// memory type, a missing plane, a stride shorter than the rectangle's rows, or device
// planes outside the live device blocks of the common library.
uint32_t sourcePicture(const zemeFrame &frame, SourcePicture *source);

// How a video configuration is given to libavcodec.
struct VideoSetup {
    zemeCodecType codec = ZEME_CODEC_ENC_H264;
    uint32_t width = 0, height = 0;
    int rateNumerator = kDefaultFrameRate, rateDenominator = 1;
    std::string preset, tune, profile;
    std::string params;  // x264-params or x265-params: key=value:key=value
    bool roi = false;    // ROI entries of the extended parameters are used
};

// Checks a video configuration (INVALID_PARAM, UNSUPPORTED) and maps it onto the
// encoder's options.
uint32_t videoSetup(zemeCodecType codec, const zemeEncVideoConfiguration &config, VideoSetup *setup);

// Checks per-frame parameters and puts them on the picture: forceIDR as an intra
// picture (the encoders make it an IDR), the enabled ROI entries (when `roi`) as
// regions of interest. UNSUPPORTED for absolute-QP regions.
uint32_t checkExtended(const zemeEncExtendedParams &params, uint32_t width, uint32_t height, bool roi);
void applyExtended(const zemeEncExtendedParams &params, bool roi, AVFrame *picture);

// Planar 4:2:0 pictures of one size for an encoder, from a pool of buffers.
class PicturePool {
public:
    PicturePool(uint32_t width, uint32_t height);
    ~PicturePool();
    PicturePool(const PicturePool &) = delete;
    PicturePool &operator=(const PicturePool &) = delete;
    // A copy of a source of the pool's size (throws std::bad_alloc).
    FramePtr copy(const SourcePicture &source);

private:
    uint32_t width_, height_;
    PictureLayout layout_;  // planar 4:2:0, rows aligned for libavcodec
    AVBufferPool *pool_ = nullptr;
};

// Where an encoder puts each access unit (its bytes are the encoder's until the call
// returns); false stops the encoding.
using UnitSink = std::function<bool(const uint8_t *data, size_t size, int64_t pts)>;

class VideoEncoder {
public:
    // UNSUPPORTED when libavcodec refuses the settings, NO_MEMORY when it has no room.
    static uint32_t open(const VideoSetup &setup, std::unique_ptr<VideoEncoder> *encoder);
    ~VideoEncoder();
    VideoEncoder(const VideoEncoder &) = delete;
    VideoEncoder &operator=(const VideoEncoder &) = delete;

    // Encodes a picture (null: the end of the input, every picture still held comes
    // out); each access unit carries the pts its picture was given with. False when
    // the sink stopped it.
    bool encode(AVFrame *picture, int64_t pts, const UnitSink &sink);

private:
    VideoEncoder() = default;
    bool drain(const UnitSink &sink);

    AVCodecContext *context_ = nullptr;
    AVPacket *packet_ = nullptr;
    // The encoder sees pictures numbered 0, 1, 2... (its rate control needs steady
    // time stamps); the callers' pts by that number until the picture comes out.
    int64_t next_ = 0;
    std::map<int64_t, int64_t> pts_;
};

// The JPEG settings of a channel.
struct JpegSetup {
    uint32_t width = 0, height = 0;  // 0: the frame's own
    std::string comment;             // written as a COM segment when not empty
};

// Checks a JPEG configuration (copying its user data) and maps it.
uint32_t jpegSetup(const zemeEncJPEGConfiguration &config, JpegSetup *setup);
// Encodes a 4:2:0 JPEG of the source (planes as they are: no range or colour change),
// with the comment after the JFIF header, into a host buffer of `*size` bytes.
uint32_t encodeJpeg(const SourcePicture &source, const std::string &comment, std::shared_ptr<HostBuffer> *out,
                    size_t *size);

}  // namespace zeme
