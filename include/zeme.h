/* Media engine (libzeme): system set-up, video and JPEG decoder channels, encoder
 * channels and capabilities. */
#pragma once
#include <stddef.h>
#include <stdint.h>

#ifndef ZE_API
#define ZE_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes. 0 is success; warnings are 401xxx, errors 402xxx; every code is
 * described by zecmGetErrDesc. */
enum {
    zemeER_SUCCESS = 0,
    zemeER_RSLT_OK = 0,
    zemeER_RSLT_WARN_MORE_DATA = 401001,      /* no output ready yet: send more input or wait */
    zemeER_RSLT_WARN_EOS = 401002,            /* the last output after the end of input was taken */
    zemeER_RSLT_ERR_START = 402000,           /* first error code */
    zemeER_RSLT_ERR_INVALID_PARAM = 402001,   /* a null, out-of-range or malformed argument */
    zemeER_RSLT_ERR_INVALID_CHANNEL = 402002, /* channel number out of range or not created */
    zemeER_RSLT_ERR_CHANNEL_EXISTS = 402003,  /* the channel number is already in use */
    zemeER_RSLT_ERR_STATE = 402004,           /* the call does not fit the channel's state */
    zemeER_RSLT_ERR_BITSTREAM = 402005,       /* the bitstream or picture cannot be decoded */
    zemeER_RSLT_ERR_UNSUPPORTED = 402006,     /* codec, format, size or option not supported */
    zemeER_RSLT_ERR_NO_MEMORY = 402007,       /* no room for buffers */
    zemeER_RSLT_ERR_TIMEOUT = 402008,         /* the wait ended before the channel took the input */
    zemeER_RSLT_ERR_NOT_SYSTEM_INIT = 402009, /* zemeSystemInitialize has not been called */
    zemeER_RSLT_ERR_UNKNOWN_BUFFER = 402010,  /* a frame or stream the channel did not hand out */
    zemeER_NOT_IMPLEMENT = 402099             /* not implemented by the software card */
};

/* Wait values (the trailing timeoutMs): milliseconds a call may wait; 0 returns at once. */
#define ZEME_WAIT_FOREVER 0xFFFFFFFFu

/* Limits */
#define ZEME_MAX_VIDEO_PLANE 3
#define ZEME_DEC_MAX_PIX_FMT_NUM 23
#define ZEME_DEC_MAX_CODING_MODE_NUM 23
#define ZEME_DEC_JPEG_MAX_WIDTH 32768
#define ZEME_DEC_JPEG_MAX_HEIGHT 32768
#define ZEME_DEC_JPEG_MIN_WIDTH 128
#define ZEME_DEC_JPEG_MIN_HEIGHT 128
#define ZEME_DEC_VIDEO_MAX_WIDTH 4096
#define ZEME_DEC_VIDEO_MAX_HEIGHT 4096
#define ZEME_DEC_VIDEO_MIN_WIDTH 128
#define ZEME_DEC_VIDEO_MIN_HEIGHT 128
#define ZEME_DEC_MAX_STREAM_BUFFER_SIZE 16777216
#define ZEME_ENC_MAX_STRM_BUF_NUM 2
#define ZEME_ENC_MAX_REF_FRAMES 8
#define ZEME_ENC_MAX_GOP_SIZE 16
#define ZEME_ENC_MAX_LTR_FRAMES 8
#define ZEME_ENC_MAX_ROI_NUM 8
#define ZEME_ENC_DEFAULT_PAR 0xFFFFFFFFu /* "use the encoder's default" for a parameter */
#define ZEME_ENC_VIDEO_MAX_HEIGHT 8192
#define ZEME_ENC_VIDEO_MAX_WIDTH 8192
#define ZEME_ENC_VIDEO_MIN_HEIGHT 64
#define ZEME_ENC_VIDEO_MIN_WIDTH 64
#define ZEME_ENC_JPEG_MAX_HEIGHT 16384
#define ZEME_ENC_JPEG_MAX_WIDTH 16384
#define ZEME_ENC_JPEG_MIN_HEIGHT 32
#define ZEME_ENC_JPEG_MIN_WIDTH 32
#define ZEME_ENC_MAX_OUTBUF_NUM 32

typedef enum {
    ZEME_CODEC_DEC_JPEG = 0,
    ZEME_CODEC_DEC_H264 = 1,
    ZEME_CODEC_DEC_HEVC = 2,
    ZEME_CODEC_ENC_JPEG = 100,
    ZEME_CODEC_ENC_H264 = 101,
    ZEME_CODEC_ENC_HEVC = 102
} zemeCodecType;

typedef enum { ZEME_SRC_FRAME = 0 } zemeSourceMode;

typedef enum {
    ZEME_MEM_DEVICE = 0,
    ZEME_MEM_HOST = 1,
    ZEME_MEM_FLUSH = 2 /* a frame sent with this memory type ends an encoder's input */
} zemeMemoryType;

typedef enum {
    ZEME_PIX_FMT_NONE = -1,
    ZEME_PIX_FMT_YUV420P = 0,
    ZEME_PIX_FMT_YUV444P = 1,
    ZEME_PIX_FMT_YUV422P = 2,
    ZEME_PIX_FMT_YUV420P9 = 3,
    ZEME_PIX_FMT_YUV422P9 = 4,
    ZEME_PIX_FMT_YUV444P9 = 5,
    ZEME_PIX_FMT_YUV420P10 = 6,
    ZEME_PIX_FMT_YUV422P10 = 7,
    ZEME_PIX_FMT_YUV444P10 = 8,
    ZEME_PIX_FMT_YUV420P12 = 9,
    ZEME_PIX_FMT_YUV422P12 = 10,
    ZEME_PIX_FMT_YUV444P12 = 11,
    ZEME_PIX_FMT_NV12 = 12,
    ZEME_PIX_FMT_NV21 = 13,
    ZEME_PIX_FMT_GRAY8 = 14,
    ZEME_PIX_FMT_GRAY9 = 15,
    ZEME_PIX_FMT_GRAY10 = 16,
    ZEME_PIX_FMT_GRAY12 = 17,
    ZEME_PIX_FMT_RGB24 = 18,
    ZEME_PIX_FMT_BGR24 = 19,
    ZEME_PIX_FMT_ARGB = 20,
    ZEME_PIX_FMT_RGBA = 21,
    ZEME_PIX_FMT_ABGR = 22,
    ZEME_PIX_FMT_BGRA = 23
} zemePixelFormat;

typedef enum {
    ZEME_ST_NONE = 0,
    ZEME_ST_READY = 1,
    ZEME_ST_RUNNING = 2,
    ZEME_ST_ERROR = 3,
    ZEME_ST_STOPPING = 4,
    ZEME_ST_STOPPED = 5
} zemeState;

typedef enum { ZEME_FLD_FRAME = 0 } zemeVideoField;

typedef enum { ZEME_FRM_I = 0, ZEME_FRM_P = 1, ZEME_FRM_B = 2 } zemeFrameType;

typedef enum {
    ZEME_CHROMA_FMT_NONE = -1,
    ZEME_CHROMA_FMT_400 = 0,
    ZEME_CHROMA_FMT_411 = 1,
    ZEME_CHROMA_FMT_420 = 2,
    ZEME_CHROMA_FMT_422 = 3,
    ZEME_CHROMA_FMT_440 = 4,
    ZEME_CHROMA_FMT_444 = 5
} zemeChromaFormat;

typedef enum {
    ZEME_JPEG_NONE = 0,
    ZEME_JPEG_BASELINE = 1,
    ZEME_JPEG_PROGRESSIVE = 2,
    ZEME_JPEG_NONINTERLEAVED = 3
} zemeJpegCodingMode;

/* Profile numbers are per codec, so values repeat across codecs. */
typedef enum {
    ZEME_VIDEO_PRFL_HEVC_MAIN_STILL_PICTURE = 1,
    ZEME_VIDEO_PRFL_HEVC_MAIN = 0,
    ZEME_VIDEO_PRFL_HEVC_MAIN_10 = 2,
    ZEME_VIDEO_PRFL_HEVC_MAIN_REXT = 3,
    ZEME_VIDEO_PRFL_H264_BASELINE = 9,
    ZEME_VIDEO_PRFL_H264_MAIN = 10,
    ZEME_VIDEO_PRFL_H264_HIGH = 11,
    ZEME_VIDEO_PRFL_H264_HIGH_10 = 12,
    ZEME_VIDEO_PRFL_AV1_MAIN = 0,
    ZEME_VIDEO_PRFL_AV1_HIGH = 1,
    ZEME_VIDEO_PRFL_AV1_PROFESSIONAL = 2
} zemeVideoProfile;

/* HEVC levels are 30 x the level number, H.264 levels 10 x (level 1b is 99). */
typedef enum {
    ZEME_VIDEO_LVL_HEVC_1 = 30,
    ZEME_VIDEO_LVL_HEVC_2 = 60,
    ZEME_VIDEO_LVL_HEVC_2_1 = 63,
    ZEME_VIDEO_LVL_HEVC_3 = 90,
    ZEME_VIDEO_LVL_HEVC_3_1 = 93,
    ZEME_VIDEO_LVL_HEVC_4 = 120,
    ZEME_VIDEO_LVL_HEVC_4_1 = 123,
    ZEME_VIDEO_LVL_HEVC_5 = 150,
    ZEME_VIDEO_LVL_HEVC_5_1 = 153,
    ZEME_VIDEO_LVL_HEVC_5_2 = 156,
    ZEME_VIDEO_LVL_HEVC_6 = 180,
    ZEME_VIDEO_LVL_HEVC_6_1 = 183,
    ZEME_VIDEO_LVL_HEVC_6_2 = 186,
    ZEME_VIDEO_LVL_H264_1 = 10,
    ZEME_VIDEO_LVL_H264_1_b = 99,
    ZEME_VIDEO_LVL_H264_1_1 = 11,
    ZEME_VIDEO_LVL_H264_1_2 = 12,
    ZEME_VIDEO_LVL_H264_1_3 = 13,
    ZEME_VIDEO_LVL_H264_2 = 20,
    ZEME_VIDEO_LVL_H264_2_1 = 21,
    ZEME_VIDEO_LVL_H264_2_2 = 22,
    ZEME_VIDEO_LVL_H264_3 = 30,
    ZEME_VIDEO_LVL_H264_3_1 = 31,
    ZEME_VIDEO_LVL_H264_3_2 = 32,
    ZEME_VIDEO_LVL_H264_4 = 40,
    ZEME_VIDEO_LVL_H264_4_1 = 41,
    ZEME_VIDEO_LVL_H264_4_2 = 42,
    ZEME_VIDEO_LVL_H264_5 = 50,
    ZEME_VIDEO_LVL_H264_5_1 = 51,
    ZEME_VIDEO_LVL_H264_5_2 = 52,
    ZEME_VIDEO_LVL_H264_6 = 60,
    ZEME_VIDEO_LVL_H264_6_1 = 61,
    ZEME_VIDEO_LVL_H264_6_2 = 62
} zemeVideoLevel;

typedef enum { ZEME_DEC_NORMAL = 0, ZEME_DEC_INTRA_ONLY = 1 } zemeDecMode;

typedef enum {
    ZEME_GOLD_QUALITY = 0,
    ZEME_SILVER_QUALITY = 1,
    ZEME_SILVER2_QUALITY = 2,
    ZEME_BRONZE_QUALITY = 3
} zemeEncQualityMode;

typedef enum {
    ZEME_ENC_TUNE_PSNR = 0,
    ZEME_ENC_TUNE_SSIM = 1,
    ZEME_ENC_TUNE_VISUAL = 2,
    ZEME_ENC_TUNE_SHARP_VISUAL = 3
} zemeEncTuneType;

typedef enum { ZEME_ENC_QP = 0, ZEME_ENC_QP_DELTA = 1 } zemeEncQPType;

/* HEVC NAL unit types of prefix and suffix SEI messages. */
typedef enum { ZEME_ENC_SEI_PREFIX = 39, ZEME_ENC_SEI_SUFFIX = 40 } zemeEncSEINalType;

/* Small records */
typedef struct {
    uint32_t major;
    uint32_t minor;
    uint32_t build;
} zemeVersion;

typedef struct {
    int32_t dieID;
    int32_t coreID;
} zemeHardwareID;

typedef struct {
    uint32_t numerator;
    uint32_t denominator;
} zemeRational;

/* Visible part of a picture; reachable in C++ as zemeFrame::CropInfo too. */
typedef struct {
    uint32_t flag; /* non-zero: only the rectangle below is the picture */
    uint32_t width;
    uint32_t height;
    uint32_t xOffset;
    uint32_t yOffset;
} zemeFrameCropInfo;

/* A picture. Frames handed out by a decoder carry the library's own plane memory
 * and privateData; they go back unchanged through zemeDecReleaseFrame. */
typedef struct zemeFrame {
#ifdef __cplusplus
    typedef zemeFrameCropInfo CropInfo;
#endif
    uint8_t *data[ZEME_MAX_VIDEO_PLANE];       /* host address of each plane, or null */
    uint64_t busAddress[ZEME_MAX_VIDEO_PLANE]; /* device bus address of each plane, or 0 */
    uint32_t stride[ZEME_MAX_VIDEO_PLANE];     /* line stride of each plane in bytes */
    uint32_t dataSize;                         /* bytes of the whole picture */
    uint32_t width;
    uint32_t height;
    int64_t pts;
    zemeMemoryType memoryType;
    zemeVideoField field;
    zemePixelFormat pixelFormat;
    zemeFrameType frameType;
    zemeFrameCropInfo cropInfo;
    void *privateData; /* owned by the library */
} zemeFrame;

/* A piece of bitstream. */
typedef struct {
    uint8_t *data; /* host address of the bytes */
    uint32_t dataSize;
    int64_t pts;
    uint64_t busAddress; /* device bus address of the bytes, or 0 */
} zemeStream;

/* Decoder records */
typedef struct {
    zemeCodecType codecType;
    zemeSourceMode sourceMode;
    zemeDecMode decodeMode;
    zemePixelFormat pixelFormat; /* format of the output pictures */
    uint32_t extraBufferNumber;  /* output pictures beyond the decoder's own need */
    uint32_t reserved[2];        /* zero */
} zemeDecChannelParameters;

typedef struct {
    uint32_t width;
    uint32_t height;
    uint32_t fps;
    uint32_t pixelSize; /* bytes of one output picture */
} zemeDecStreamInfo;

typedef struct {
    uint32_t width;
    uint32_t height;
    uint32_t x_density;
    uint32_t y_density;
    zemePixelFormat outputFormat;
    zemeJpegCodingMode codingMode;
} zemeDecJpegInfo;

typedef struct {
    zemeState state;
    zemeHardwareID hardwareID;
    uint32_t result; /* status of the last decode */
    uint32_t runningFrames;
    uint32_t reorderedFrames;
    uint32_t bufferedFrames;
    uint32_t droppedFrames;
} zemeDecStatus;

typedef struct {
    zemeMemoryType memoryType; /* where received pictures are placed */
    uint32_t enableCrop;       /* non-zero: output only the crop rectangle */
} zemeDecOutputOptions;

typedef struct {
    uint32_t width;
    uint32_t height;
    uint32_t cropFlag;
    uint32_t cropWidth;
    uint32_t cropHeight;
    uint32_t xOffset;
    uint32_t yOffset;
    zemeRational fps;
    zemePixelFormat pixelFormat;
} zemeDecVideoInfo;

/* Capability lists are filled from the start; unused entries are ZEME_JPEG_NONE or
 * ZEME_PIX_FMT_NONE. */
typedef struct {
    uint32_t maxWidth;
    uint32_t maxHeight;
    uint32_t minWidth;
    uint32_t minHeight;
    zemeJpegCodingMode codingMode[ZEME_DEC_MAX_CODING_MODE_NUM];
    zemePixelFormat pixelFormats[ZEME_DEC_MAX_PIX_FMT_NUM];
} zemeJpegDecCapability;

typedef struct {
    uint32_t bitDepth;
    uint32_t maxWidth;
    uint32_t maxHeight;
    uint16_t minWidth;
    uint16_t minHeight;
    zemeVideoProfile maxProFile;
    zemeVideoLevel maxLevel;
    zemePixelFormat pixelFormats[ZEME_DEC_MAX_PIX_FMT_NUM];
} zemeVideoDecCapability;

/* Encoder records */
typedef struct {
    zemeEncSEINalType nalType;
    uint8_t payloadType;
    uint32_t payloadDataSize;
    uint8_t *payloadData;
} zemeEncExternalSEI;

typedef struct {
    uint32_t enable;
    uint32_t top;
    uint32_t left;
    uint32_t bottom;
    uint32_t right;
} zemeEncPictureArea;

typedef struct {
    zemeEncPictureArea area;
    zemeEncQPType qpType;
    int32_t qpValue;
} zemeEncPictureROI;

/* Per-frame options. ROI entries apply where area.enable is non-zero; the SEI
 * messages are written with the frame. The software card uses ROI entries only on channels
 * with enableROI, takes QP deltas only, and neither reads nor writes the SEI messages. */
typedef struct {
    uint32_t forceIDR;  /* non-zero: encode this frame as an IDR picture */
    uint32_t reserved0; /* zero */
    zemeEncPictureROI roi[ZEME_ENC_MAX_ROI_NUM];
    uint32_t externalSEINum;         /* entries at externalSEI */
    zemeEncExternalSEI *externalSEI; /* null when externalSEINum is 0 */
    uint32_t reserved[4];            /* zero */
} zemeEncExtendedParams;

typedef struct {
    zemeVideoProfile profile;
    zemeVideoLevel level;
    uint32_t width;
    uint32_t height;
    zemeRational frameRate;
    uint32_t bitDepthLuma;
    uint32_t bitDepthChroma;
    uint32_t gopSize;
    uint32_t gdrDuration;
    uint32_t lookaheadDepth;
    zemeEncQualityMode qualityMode;
    zemeEncTuneType tune;
    uint32_t keyInt;
    int32_t crf;
    uint32_t cqp;
    uint32_t llRc;
    uint32_t bitRate;
    uint32_t initQp;
    uint32_t vbvBufSize;
    uint32_t vbvMaxRate;
    uint32_t intraQpDelta;
    uint32_t qpMinI;
    uint32_t qpMaxI;
    uint32_t qpMinPB;
    uint32_t qpMaxPB;
    uint32_t vbr;
    float aqStrength;
    uint32_t enableROI;
    uint32_t P2B;
    uint32_t bBPyramid;
    float maxFrameSizeMultiple;
} zemeEncVideoConfiguration;

typedef struct {
    uint32_t codingWidth;
    uint32_t codingHeight;
    zemeFrameType frameType;
    uint32_t userDataLength; /* bytes at userData, terminating NUL included */
    const char *userData;    /* written into the picture as a comment; null for none */
    uint32_t losslessEn;
} zemeEncJPEGConfiguration;

typedef struct {
    zemeCodecType codecType;
    uint32_t outbufNum;   /* output stream buffers of the channel */
    uint32_t enProfiling; /* non-zero: record encode timings in the log */
    union {               /* chosen by codecType */
        zemeEncJPEGConfiguration jpegConfig;
        zemeEncVideoConfiguration videoConfig;
    };
} zemeEncChannelParameters;

typedef struct {
    uint32_t reserved;
} zemeEncOutputOptions;

/* System */
/* A second initialise while initialised succeeds and is not counted; uninitialise destroys every
 * channel and takes back every picture. */
ZE_API uint32_t zemeSystemInitialize(void);
ZE_API uint32_t zemeSystemUninitialize(void);
ZE_API uint32_t zemeGetVersion(char **version, uint32_t *major, uint32_t *minor, uint32_t *patch,
                               uint32_t *build);

/* Decoder channels. channel: a number the caller chooses, below the card's channel count (32 on
 * the software card). Each channel has 8 + extraBufferNumber output pictures. */
ZE_API uint32_t zemeCreateDecoderChannel(const zemeDecChannelParameters *params, uint32_t channel);
ZE_API uint32_t zemeDestroyDecoderChannel(uint32_t channel);
ZE_API uint32_t zemeStartDecoder(uint32_t channel);
/* A fresh decoder; pictures handed out stay valid until released. */
ZE_API uint32_t zemeResetDecoder(uint32_t channel);
ZE_API uint32_t zemeStopDecoder(uint32_t channel);
/* Copies the bytes during the call; a stream with dataSize 0 ends the input. */
ZE_API uint32_t zemeSendStreamToDecoder(uint32_t channel, const zemeStream *stream,
                                        uint32_t timeoutMs);
/* Hands out the next picture; it stays the channel's until zemeDecReleaseFrame. Host pictures
 * always hold the display rectangle, tightly packed; options null means device memory. */
ZE_API uint32_t zemeReceiveFrameFromDecoder(uint32_t channel, zemeFrame *frame,
                                            const zemeDecOutputOptions *options,
                                            uint32_t timeoutMs);
/* Decodes one whole JPEG picture into frame, a host picture to release as usual (4:2:0, odd
 * sizes rounded up to even); timeoutMs bounds the wait for a free picture. */
ZE_API uint32_t zemeJpegSyncDecoder(uint32_t channel, const zemeStream *stream, zemeFrame *frame,
                                    uint32_t timeoutMs);
/* Rewrites frame as a host copy of the picture; enableCrop: non-zero copies only the crop
 * rectangle. The device picture still has to be released. */
ZE_API uint32_t zemeTransferFrameFromDecoder(uint32_t channel, zemeFrame *frame,
                                             uint32_t enableCrop);
/* reserved: ignored. */
ZE_API uint32_t zemeDecReleaseFrame(uint32_t channel, const zemeFrame *frame, uint32_t reserved);
ZE_API uint32_t zemeGetJpegInfo(const zemeStream *stream, zemeDecJpegInfo *info);
/* Parses the stream's parameter sets; stream holds at least one whole access unit. */
ZE_API uint32_t zemeGetVideoInfo(const zemeStream *stream, zemeCodecType codec,
                                 zemeDecVideoInfo *info);
ZE_API uint32_t zemeGetStreamInfoFromDecoder(uint32_t channel, zemeDecStreamInfo *info);
ZE_API uint32_t zemeGetDecoderStatus(uint32_t channel, zemeDecStatus *status);
ZE_API uint32_t zemeJpegDecGetCaps(zemeJpegDecCapability *caps);
ZE_API uint32_t zemeVideoDecGetCaps(zemeCodecType codec, zemeVideoDecCapability *caps);
ZE_API uint32_t zemeGetDecoderAvailableChannels(uint32_t *count);

/* Encoder channels. channel: a number below 32 on the software card, apart from the decoders'.
 * outbufNum 0 gives 8 output buffers; in videoConfig, 0 and ZEME_ENC_DEFAULT_PAR leave a value
 * to the encoder; the configuration is checked here, not at start. */
ZE_API uint32_t zemeCreateEncoderChannel(const zemeEncChannelParameters *params, uint32_t channel);
ZE_API uint32_t zemeDestroyEncoderChannel(uint32_t channel);
ZE_API uint32_t zemeStartEncoder(uint32_t channel);
/* A started channel drops its input and unreceived streams and begins a new stream. */
ZE_API uint32_t zemeResetEncoder(uint32_t channel);
ZE_API uint32_t zemeStopEncoder(uint32_t channel);
/* Copies the picture during the call; params may be null. A frame whose memoryType is
 * ZEME_MEM_FLUSH ends the input. A frame whose dataSize is 0 does too; a set cropInfo.flag
 * encodes only that rectangle; timeoutMs bounds the wait for room in the channel's input. */
ZE_API uint32_t zemeSendFrameToEncoder(uint32_t channel, const zemeFrame *frame,
                                       const zemeEncExtendedParams *params, uint32_t timeoutMs);
/* Hands out the next encoded piece; it stays the channel's until zemeEncReleaseStream. One
 * access unit (Annex B, parameter sets before each key frame) in host memory. */
ZE_API uint32_t zemeReceiveStreamFromEncoder(uint32_t channel, zemeStream *stream,
                                             uint32_t timeoutMs);
/* Encodes one JPEG picture into stream, to release as usual; params may be null. It is not
 * used; timeoutMs bounds the wait for a free output buffer; the quality is 90. */
ZE_API uint32_t zemeJpegSyncEncoder(uint32_t channel, const zemeFrame *frame, zemeStream *stream,
                                    const zemeEncExtendedParams *params, uint32_t timeoutMs);
/* reserved: ignored. The stream's data and dataSize must be those handed out. */
ZE_API uint32_t zemeEncReleaseStream(uint32_t channel, const zemeStream *stream, uint32_t reserved);
ZE_API uint32_t zemeGetEncoderAvailableChannels(uint32_t *count);

#ifdef __cplusplus
}

static_assert(sizeof(zemePixelFormat) == 4, "zemePixelFormat is 32-bit");
static_assert(sizeof(zemeVideoProfile) == 4, "zemeVideoProfile is 32-bit");
static_assert(sizeof(zemeVideoLevel) == 4, "zemeVideoLevel is 32-bit");
static_assert(sizeof(zemeCodecType) == 4, "zemeCodecType is 32-bit");

static_assert(sizeof(zemeVersion) == 12, "zemeVersion layout");
static_assert(sizeof(zemeHardwareID) == 8, "zemeHardwareID layout");
static_assert(sizeof(zemeRational) == 8, "zemeRational layout");

static_assert(sizeof(zemeFrame::CropInfo) == 20, "zemeFrame::CropInfo layout");
static_assert(offsetof(zemeFrameCropInfo, flag) == 0, "zemeFrame::CropInfo layout");
static_assert(offsetof(zemeFrameCropInfo, width) == 4, "zemeFrame::CropInfo layout");
static_assert(offsetof(zemeFrameCropInfo, height) == 8, "zemeFrame::CropInfo layout");
static_assert(offsetof(zemeFrameCropInfo, xOffset) == 12, "zemeFrame::CropInfo layout");
static_assert(offsetof(zemeFrameCropInfo, yOffset) == 16, "zemeFrame::CropInfo layout");

static_assert(sizeof(zemeFrame) == 128, "zemeFrame layout");
static_assert(offsetof(zemeFrame, data) == 0, "zemeFrame layout");
static_assert(offsetof(zemeFrame, busAddress) == 24, "zemeFrame layout");
static_assert(offsetof(zemeFrame, stride) == 48, "zemeFrame layout");
static_assert(offsetof(zemeFrame, dataSize) == 60, "zemeFrame layout");
static_assert(offsetof(zemeFrame, width) == 64, "zemeFrame layout");
static_assert(offsetof(zemeFrame, height) == 68, "zemeFrame layout");
static_assert(offsetof(zemeFrame, pts) == 72, "zemeFrame layout");
static_assert(offsetof(zemeFrame, memoryType) == 80, "zemeFrame layout");
static_assert(offsetof(zemeFrame, field) == 84, "zemeFrame layout");
static_assert(offsetof(zemeFrame, pixelFormat) == 88, "zemeFrame layout");
static_assert(offsetof(zemeFrame, frameType) == 92, "zemeFrame layout");
static_assert(offsetof(zemeFrame, cropInfo) == 96, "zemeFrame layout");
static_assert(offsetof(zemeFrame, privateData) == 120, "zemeFrame layout");

static_assert(sizeof(zemeStream) == 32, "zemeStream layout");
static_assert(offsetof(zemeStream, data) == 0, "zemeStream layout");
static_assert(offsetof(zemeStream, dataSize) == 8, "zemeStream layout");
static_assert(offsetof(zemeStream, pts) == 16, "zemeStream layout");
static_assert(offsetof(zemeStream, busAddress) == 24, "zemeStream layout");

static_assert(sizeof(zemeDecChannelParameters) == 28, "zemeDecChannelParameters layout");
static_assert(offsetof(zemeDecChannelParameters, codecType) == 0,
              "zemeDecChannelParameters layout");
static_assert(offsetof(zemeDecChannelParameters, sourceMode) == 4,
              "zemeDecChannelParameters layout");
static_assert(offsetof(zemeDecChannelParameters, decodeMode) == 8,
              "zemeDecChannelParameters layout");
static_assert(offsetof(zemeDecChannelParameters, pixelFormat) == 12,
              "zemeDecChannelParameters layout");
static_assert(offsetof(zemeDecChannelParameters, extraBufferNumber) == 16,
              "zemeDecChannelParameters layout");
static_assert(offsetof(zemeDecChannelParameters, reserved) == 20,
              "zemeDecChannelParameters layout");

static_assert(sizeof(zemeDecStreamInfo) == 16, "zemeDecStreamInfo layout");
static_assert(offsetof(zemeDecStreamInfo, width) == 0, "zemeDecStreamInfo layout");
static_assert(offsetof(zemeDecStreamInfo, height) == 4, "zemeDecStreamInfo layout");
static_assert(offsetof(zemeDecStreamInfo, fps) == 8, "zemeDecStreamInfo layout");
static_assert(offsetof(zemeDecStreamInfo, pixelSize) == 12, "zemeDecStreamInfo layout");

static_assert(sizeof(zemeDecJpegInfo) == 24, "zemeDecJpegInfo layout");
static_assert(offsetof(zemeDecJpegInfo, width) == 0, "zemeDecJpegInfo layout");
static_assert(offsetof(zemeDecJpegInfo, height) == 4, "zemeDecJpegInfo layout");
static_assert(offsetof(zemeDecJpegInfo, x_density) == 8, "zemeDecJpegInfo layout");
static_assert(offsetof(zemeDecJpegInfo, y_density) == 12, "zemeDecJpegInfo layout");
static_assert(offsetof(zemeDecJpegInfo, outputFormat) == 16, "zemeDecJpegInfo layout");
static_assert(offsetof(zemeDecJpegInfo, codingMode) == 20, "zemeDecJpegInfo layout");

static_assert(sizeof(zemeDecStatus) == 32, "zemeDecStatus layout");
static_assert(offsetof(zemeDecStatus, state) == 0, "zemeDecStatus layout");
static_assert(offsetof(zemeDecStatus, hardwareID) == 4, "zemeDecStatus layout");
static_assert(offsetof(zemeDecStatus, result) == 12, "zemeDecStatus layout");
static_assert(offsetof(zemeDecStatus, runningFrames) == 16, "zemeDecStatus layout");
static_assert(offsetof(zemeDecStatus, reorderedFrames) == 20, "zemeDecStatus layout");
static_assert(offsetof(zemeDecStatus, bufferedFrames) == 24, "zemeDecStatus layout");
static_assert(offsetof(zemeDecStatus, droppedFrames) == 28, "zemeDecStatus layout");

static_assert(sizeof(zemeDecOutputOptions) == 8, "zemeDecOutputOptions layout");
static_assert(offsetof(zemeDecOutputOptions, memoryType) == 0, "zemeDecOutputOptions layout");
static_assert(offsetof(zemeDecOutputOptions, enableCrop) == 4, "zemeDecOutputOptions layout");

static_assert(sizeof(zemeDecVideoInfo) == 40, "zemeDecVideoInfo layout");
static_assert(offsetof(zemeDecVideoInfo, width) == 0, "zemeDecVideoInfo layout");
static_assert(offsetof(zemeDecVideoInfo, height) == 4, "zemeDecVideoInfo layout");
static_assert(offsetof(zemeDecVideoInfo, cropFlag) == 8, "zemeDecVideoInfo layout");
static_assert(offsetof(zemeDecVideoInfo, cropWidth) == 12, "zemeDecVideoInfo layout");
static_assert(offsetof(zemeDecVideoInfo, cropHeight) == 16, "zemeDecVideoInfo layout");
static_assert(offsetof(zemeDecVideoInfo, xOffset) == 20, "zemeDecVideoInfo layout");
static_assert(offsetof(zemeDecVideoInfo, yOffset) == 24, "zemeDecVideoInfo layout");
static_assert(offsetof(zemeDecVideoInfo, fps) == 28, "zemeDecVideoInfo layout");
static_assert(offsetof(zemeDecVideoInfo, pixelFormat) == 36, "zemeDecVideoInfo layout");

static_assert(sizeof(zemeJpegDecCapability) == 200, "zemeJpegDecCapability layout");
static_assert(offsetof(zemeJpegDecCapability, maxWidth) == 0, "zemeJpegDecCapability layout");
static_assert(offsetof(zemeJpegDecCapability, maxHeight) == 4, "zemeJpegDecCapability layout");
static_assert(offsetof(zemeJpegDecCapability, minWidth) == 8, "zemeJpegDecCapability layout");
static_assert(offsetof(zemeJpegDecCapability, minHeight) == 12, "zemeJpegDecCapability layout");
static_assert(offsetof(zemeJpegDecCapability, codingMode) == 16, "zemeJpegDecCapability layout");
static_assert(offsetof(zemeJpegDecCapability, pixelFormats) == 108, "zemeJpegDecCapability layout");

static_assert(sizeof(zemeVideoDecCapability) == 116, "zemeVideoDecCapability layout");
static_assert(offsetof(zemeVideoDecCapability, bitDepth) == 0, "zemeVideoDecCapability layout");
static_assert(offsetof(zemeVideoDecCapability, maxWidth) == 4, "zemeVideoDecCapability layout");
static_assert(offsetof(zemeVideoDecCapability, maxHeight) == 8, "zemeVideoDecCapability layout");
static_assert(offsetof(zemeVideoDecCapability, minWidth) == 12, "zemeVideoDecCapability layout");
static_assert(offsetof(zemeVideoDecCapability, minHeight) == 14, "zemeVideoDecCapability layout");
static_assert(offsetof(zemeVideoDecCapability, maxProFile) == 16, "zemeVideoDecCapability layout");
static_assert(offsetof(zemeVideoDecCapability, maxLevel) == 20, "zemeVideoDecCapability layout");
static_assert(offsetof(zemeVideoDecCapability, pixelFormats) == 24,
              "zemeVideoDecCapability layout");

static_assert(sizeof(zemeEncExternalSEI) == 24, "zemeEncExternalSEI layout");
static_assert(offsetof(zemeEncExternalSEI, nalType) == 0, "zemeEncExternalSEI layout");
static_assert(offsetof(zemeEncExternalSEI, payloadType) == 4, "zemeEncExternalSEI layout");
static_assert(offsetof(zemeEncExternalSEI, payloadDataSize) == 8, "zemeEncExternalSEI layout");
static_assert(offsetof(zemeEncExternalSEI, payloadData) == 16, "zemeEncExternalSEI layout");

static_assert(sizeof(zemeEncPictureArea) == 20, "zemeEncPictureArea layout");
static_assert(offsetof(zemeEncPictureArea, enable) == 0, "zemeEncPictureArea layout");
static_assert(offsetof(zemeEncPictureArea, top) == 4, "zemeEncPictureArea layout");
static_assert(offsetof(zemeEncPictureArea, left) == 8, "zemeEncPictureArea layout");
static_assert(offsetof(zemeEncPictureArea, bottom) == 12, "zemeEncPictureArea layout");
static_assert(offsetof(zemeEncPictureArea, right) == 16, "zemeEncPictureArea layout");

static_assert(sizeof(zemeEncPictureROI) == 28, "zemeEncPictureROI layout");
static_assert(offsetof(zemeEncPictureROI, area) == 0, "zemeEncPictureROI layout");
static_assert(offsetof(zemeEncPictureROI, qpType) == 20, "zemeEncPictureROI layout");
static_assert(offsetof(zemeEncPictureROI, qpValue) == 24, "zemeEncPictureROI layout");

static_assert(sizeof(zemeEncExtendedParams) == 264, "zemeEncExtendedParams layout");
static_assert(offsetof(zemeEncExtendedParams, forceIDR) == 0, "zemeEncExtendedParams layout");
static_assert(offsetof(zemeEncExtendedParams, roi) == 8, "zemeEncExtendedParams layout");
static_assert(offsetof(zemeEncExtendedParams, externalSEINum) == 232,
              "zemeEncExtendedParams layout");
static_assert(offsetof(zemeEncExtendedParams, externalSEI) == 240, "zemeEncExtendedParams layout");

static_assert(sizeof(zemeEncVideoConfiguration) == 128, "zemeEncVideoConfiguration layout");
static_assert(offsetof(zemeEncVideoConfiguration, profile) == 0,
              "zemeEncVideoConfiguration layout");
static_assert(offsetof(zemeEncVideoConfiguration, level) == 4, "zemeEncVideoConfiguration layout");
static_assert(offsetof(zemeEncVideoConfiguration, width) == 8, "zemeEncVideoConfiguration layout");
static_assert(offsetof(zemeEncVideoConfiguration, height) == 12,
              "zemeEncVideoConfiguration layout");
static_assert(offsetof(zemeEncVideoConfiguration, frameRate) == 16,
              "zemeEncVideoConfiguration layout");
static_assert(offsetof(zemeEncVideoConfiguration, bitDepthLuma) == 24,
              "zemeEncVideoConfiguration layout");
static_assert(offsetof(zemeEncVideoConfiguration, bitDepthChroma) == 28,
              "zemeEncVideoConfiguration layout");
static_assert(offsetof(zemeEncVideoConfiguration, gopSize) == 32,
              "zemeEncVideoConfiguration layout");
static_assert(offsetof(zemeEncVideoConfiguration, gdrDuration) == 36,
              "zemeEncVideoConfiguration layout");
static_assert(offsetof(zemeEncVideoConfiguration, lookaheadDepth) == 40,
              "zemeEncVideoConfiguration layout");
static_assert(offsetof(zemeEncVideoConfiguration, qualityMode) == 44,
              "zemeEncVideoConfiguration layout");
static_assert(offsetof(zemeEncVideoConfiguration, tune) == 48, "zemeEncVideoConfiguration layout");
static_assert(offsetof(zemeEncVideoConfiguration, keyInt) == 52,
              "zemeEncVideoConfiguration layout");
static_assert(offsetof(zemeEncVideoConfiguration, crf) == 56, "zemeEncVideoConfiguration layout");
static_assert(offsetof(zemeEncVideoConfiguration, cqp) == 60, "zemeEncVideoConfiguration layout");
static_assert(offsetof(zemeEncVideoConfiguration, llRc) == 64, "zemeEncVideoConfiguration layout");
static_assert(offsetof(zemeEncVideoConfiguration, bitRate) == 68,
              "zemeEncVideoConfiguration layout");
static_assert(offsetof(zemeEncVideoConfiguration, initQp) == 72,
              "zemeEncVideoConfiguration layout");
static_assert(offsetof(zemeEncVideoConfiguration, vbvBufSize) == 76,
              "zemeEncVideoConfiguration layout");
static_assert(offsetof(zemeEncVideoConfiguration, vbvMaxRate) == 80,
              "zemeEncVideoConfiguration layout");
static_assert(offsetof(zemeEncVideoConfiguration, intraQpDelta) == 84,
              "zemeEncVideoConfiguration layout");
static_assert(offsetof(zemeEncVideoConfiguration, qpMinI) == 88,
              "zemeEncVideoConfiguration layout");
static_assert(offsetof(zemeEncVideoConfiguration, qpMaxI) == 92,
              "zemeEncVideoConfiguration layout");
static_assert(offsetof(zemeEncVideoConfiguration, qpMinPB) == 96,
              "zemeEncVideoConfiguration layout");
static_assert(offsetof(zemeEncVideoConfiguration, qpMaxPB) == 100,
              "zemeEncVideoConfiguration layout");
static_assert(offsetof(zemeEncVideoConfiguration, vbr) == 104, "zemeEncVideoConfiguration layout");
static_assert(offsetof(zemeEncVideoConfiguration, aqStrength) == 108,
              "zemeEncVideoConfiguration layout");
static_assert(offsetof(zemeEncVideoConfiguration, enableROI) == 112,
              "zemeEncVideoConfiguration layout");
static_assert(offsetof(zemeEncVideoConfiguration, P2B) == 116, "zemeEncVideoConfiguration layout");
static_assert(offsetof(zemeEncVideoConfiguration, bBPyramid) == 120,
              "zemeEncVideoConfiguration layout");
static_assert(offsetof(zemeEncVideoConfiguration, maxFrameSizeMultiple) == 124,
              "zemeEncVideoConfiguration layout");

static_assert(sizeof(zemeEncJPEGConfiguration) == 32, "zemeEncJPEGConfiguration layout");
static_assert(offsetof(zemeEncJPEGConfiguration, codingWidth) == 0,
              "zemeEncJPEGConfiguration layout");
static_assert(offsetof(zemeEncJPEGConfiguration, codingHeight) == 4,
              "zemeEncJPEGConfiguration layout");
static_assert(offsetof(zemeEncJPEGConfiguration, frameType) == 8,
              "zemeEncJPEGConfiguration layout");
static_assert(offsetof(zemeEncJPEGConfiguration, userDataLength) == 12,
              "zemeEncJPEGConfiguration layout");
static_assert(offsetof(zemeEncJPEGConfiguration, userData) == 16,
              "zemeEncJPEGConfiguration layout");
static_assert(offsetof(zemeEncJPEGConfiguration, losslessEn) == 24,
              "zemeEncJPEGConfiguration layout");

static_assert(sizeof(zemeEncChannelParameters) == 144, "zemeEncChannelParameters layout");
static_assert(offsetof(zemeEncChannelParameters, codecType) == 0,
              "zemeEncChannelParameters layout");
static_assert(offsetof(zemeEncChannelParameters, outbufNum) == 4,
              "zemeEncChannelParameters layout");
static_assert(offsetof(zemeEncChannelParameters, enProfiling) == 8,
              "zemeEncChannelParameters layout");
static_assert(offsetof(zemeEncChannelParameters, jpegConfig) == 16,
              "zemeEncChannelParameters layout");
static_assert(offsetof(zemeEncChannelParameters, videoConfig) == 16,
              "zemeEncChannelParameters layout");

static_assert(sizeof(zemeEncOutputOptions) == 4, "zemeEncOutputOptions layout");
#endif
