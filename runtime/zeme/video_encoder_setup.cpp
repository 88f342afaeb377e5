// Encoder configurations checked and mapped onto libx264's and libx265's options, and
// the per-frame parameters (forced IDR pictures, regions of interest).
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>

#include "zeme/video_encoder.hpp"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/rational.h>
}

namespace zeme {
namespace {

// 0 and ZEME_ENC_DEFAULT_PAR leave a parameter to the encoder.
bool isDefault(uint32_t value) { return value == 0 || value == ZEME_ENC_DEFAULT_PAR; }

constexpr uint32_t kMaxQp = 51;
constexpr uint32_t kMaxLookahead = 250;
constexpr float kMaxAqStrength = 3.0f;

// libx264's and libx265's presets by quality mode: GOLD, SILVER, SILVER2, BRONZE.
const char *const kPresets[] = {"medium", "fast", "faster", "veryfast"};

void add(std::string &params, const char *key, uint64_t value) {
    if (!params.empty()) params += ':';
    params += key;
    params += '=';
    params += std::to_string(value);
}

void add(std::string &params, const char *key, double value) {
    char text[32];
    auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 3).ptr;
    if (!params.empty()) params += ':';
    params += key;
    params += '=';
    params.append(text, end);
}

void add(std::string &params, const char *key, const char *value) {
    if (!params.empty()) params += ':';
    params += key;
    params += '=';
    params += value;
}

// kbit/s (or kbit) of a number of bits, at least 1.
uint64_t kilo(uint32_t bits) { return std::max<uint64_t>(1, (uint64_t{bits} + 500) / 1000); }

uint32_t profileOf(bool hevc, uint32_t profile, std::string *name) {
    if (hevc) {
        switch (profile) {
        case ZEME_VIDEO_PRFL_HEVC_MAIN:
        case ZEME_ENC_DEFAULT_PAR: *name = "main"; return zemeER_SUCCESS;
        case ZEME_VIDEO_PRFL_HEVC_MAIN_STILL_PICTURE:
        case ZEME_VIDEO_PRFL_HEVC_MAIN_10:
        case ZEME_VIDEO_PRFL_HEVC_MAIN_REXT: return zemeER_RSLT_ERR_UNSUPPORTED;
        default: return zemeER_RSLT_ERR_INVALID_PARAM;
        }
    }
    switch (profile) {
    case 0:
    case ZEME_ENC_DEFAULT_PAR: name->clear(); return zemeER_SUCCESS;  // libx264 picks (High for 4:2:0)
    case ZEME_VIDEO_PRFL_H264_BASELINE: *name = "baseline"; return zemeER_SUCCESS;
    case ZEME_VIDEO_PRFL_H264_MAIN: *name = "main"; return zemeER_SUCCESS;
    case ZEME_VIDEO_PRFL_H264_HIGH: *name = "high"; return zemeER_SUCCESS;
    case ZEME_VIDEO_PRFL_H264_HIGH_10: return zemeER_RSLT_ERR_UNSUPPORTED;
    default: return zemeER_RSLT_ERR_INVALID_PARAM;
    }
}

// The level as the encoders' level parameter (H.264: "1b" or 10 x the level; HEVC:
// 10 x the level), empty for the encoder's own choice.
uint32_t levelOf(bool hevc, uint32_t level, std::string *value) {
    value->clear();
    if (isDefault(level)) return zemeER_SUCCESS;
    static const uint32_t h264[] = {10, 11, 12, 13, 20, 21, 22, 30, 31, 32, 40, 41, 42, 50, 51, 52, 60, 61, 62};
    static const uint32_t hevc_[] = {30, 60, 63, 90, 93, 120, 123, 150, 153, 156, 180, 183, 186};
    if (hevc) {
        for (uint32_t known : hevc_)
            if (level == known) *value = std::to_string(level / 3);
    } else if (level == ZEME_VIDEO_LVL_H264_1_b) {
        *value = "1b";
    } else {
        for (uint32_t known : h264)
            if (level == known) *value = std::to_string(level);
    }
    return value->empty() ? zemeER_RSLT_ERR_INVALID_PARAM : zemeER_SUCCESS;
}

// A QP of the configuration: 0 / default, else 1..51.
bool qpValid(uint32_t qp) { return isDefault(qp) || qp <= kMaxQp; }

uint32_t rateControl(bool hevc, const zemeEncVideoConfiguration &c, std::string &params) {
    const bool cqp = !isDefault(c.cqp), bitRate = !isDefault(c.bitRate), crf = c.crf != 0 && c.crf != -1;
    if (int(cqp) + int(bitRate) + int(crf) > 1) return zemeER_RSLT_ERR_INVALID_PARAM;  // one mode
    if (cqp && c.cqp > kMaxQp) return zemeER_RSLT_ERR_INVALID_PARAM;
    if (crf && (c.crf < 1 || c.crf > int32_t{kMaxQp})) return zemeER_RSLT_ERR_INVALID_PARAM;
    const uint32_t maxRate = isDefault(c.vbvMaxRate) ? 0 : c.vbvMaxRate;
    const uint32_t bufSize = isDefault(c.vbvBufSize) ? 0 : c.vbvBufSize;
    if (cqp) {
        add(params, "qp", uint64_t{c.cqp});
    } else if (bitRate) {
        add(params, "bitrate", kilo(c.bitRate));
        // vbr 0: constant bit rate, the VBV's rate the target; else an average with the
        // VBV only where vbvMaxRate asks for one.
        const uint32_t cap = c.vbr ? maxRate : c.bitRate;
        if (cap) {
            add(params, "vbv-maxrate", kilo(cap));
            add(params, "vbv-bufsize", kilo(bufSize ? bufSize : cap));
        }
        if (hevc && !c.vbr) add(params, "strict-cbr", uint64_t{1});
    } else {
        if (crf) add(params, "crf", uint64_t(c.crf));
        if (maxRate) {  // constant quality under a rate cap
            add(params, "vbv-maxrate", kilo(maxRate));
            add(params, "vbv-bufsize", kilo(bufSize ? bufSize : maxRate));
        }
    }

    // One QP range for every picture type: the smallest minimum and the largest maximum.
    for (uint32_t qp : {c.qpMinI, c.qpMaxI, c.qpMinPB, c.qpMaxPB, c.intraQpDelta})
        if (!qpValid(qp)) return zemeER_RSLT_ERR_INVALID_PARAM;
    uint32_t qpMin = 0, qpMax = 0;
    for (uint32_t qp : {c.qpMinI, c.qpMinPB})
        if (!isDefault(qp)) qpMin = qpMin ? std::min(qpMin, qp) : qp;
    for (uint32_t qp : {c.qpMaxI, c.qpMaxPB})
        if (!isDefault(qp)) qpMax = std::max(qpMax, qp);
    if (qpMin && qpMax && qpMin > qpMax) return zemeER_RSLT_ERR_INVALID_PARAM;
    if (qpMin) add(params, "qpmin", uint64_t{qpMin});
    if (qpMax) add(params, "qpmax", uint64_t{qpMax});
    // Intra pictures' QP lower than P pictures' by intraQpDelta: ipratio 2^(delta / 6).
    if (!isDefault(c.intraQpDelta)) add(params, "ipratio", std::pow(2.0, c.intraQpDelta / 6.0));
    return zemeER_SUCCESS;
}

}  // namespace

uint32_t videoSetup(zemeCodecType codec, const zemeEncVideoConfiguration &c, VideoSetup *setup) {
    const bool hevc = codec == ZEME_CODEC_ENC_HEVC;
    VideoSetup s;
    s.codec = codec;
    if (!c.width || !c.height) return zemeER_RSLT_ERR_INVALID_PARAM;
    if (c.width < ZEME_ENC_VIDEO_MIN_WIDTH || c.width > ZEME_ENC_VIDEO_MAX_WIDTH || c.width % 2 ||
        c.height < ZEME_ENC_VIDEO_MIN_HEIGHT || c.height > ZEME_ENC_VIDEO_MAX_HEIGHT || c.height % 2)
        return zemeER_RSLT_ERR_UNSUPPORTED;
    s.width = c.width;
    s.height = c.height;
    for (uint32_t depth : {c.bitDepthLuma, c.bitDepthChroma})
        if (!isDefault(depth) && depth != 8) return zemeER_RSLT_ERR_UNSUPPORTED;

    // Frame rate: numerator 0 gives 25/1, denominator 0 counts as 1.
    if (!isDefault(c.frameRate.numerator)) {
        uint32_t den = c.frameRate.denominator ? c.frameRate.denominator : 1;
        if (c.frameRate.numerator > INT_MAX || den > INT_MAX) return zemeER_RSLT_ERR_INVALID_PARAM;
        av_reduce(&s.rateNumerator, &s.rateDenominator, c.frameRate.numerator, den, INT_MAX);
    }

    if (uint32_t status = profileOf(hevc, rawValue(c.profile), &s.profile)) return status;
    std::string level;
    if (uint32_t status = levelOf(hevc, rawValue(c.level), &level)) return status;

    const uint32_t quality = rawValue(c.qualityMode);
    if (quality == ZEME_ENC_DEFAULT_PAR) {
        s.preset = kPresets[ZEME_GOLD_QUALITY];
    } else if (quality <= ZEME_BRONZE_QUALITY) {
        s.preset = kPresets[quality];
    } else {
        return zemeER_RSLT_ERR_INVALID_PARAM;
    }
    // PSNR and SSIM are the encoders' tunes; VISUAL is their untuned psycho-visual
    // default; SHARP_VISUAL is libx264's film tune (libx265 has none sharper: VISUAL).
    switch (rawValue(c.tune)) {
    case ZEME_ENC_TUNE_PSNR: s.tune = "psnr"; break;
    case ZEME_ENC_TUNE_SSIM: s.tune = "ssim"; break;
    case ZEME_ENC_TUNE_VISUAL:
    case ZEME_ENC_DEFAULT_PAR: break;
    case ZEME_ENC_TUNE_SHARP_VISUAL:
        if (!hevc) s.tune = "film";
        break;
    default: return zemeER_RSLT_ERR_INVALID_PARAM;
    }

    std::string &p = s.params;
    if (hevc) add(p, "log-level", "none");
    if (!level.empty()) add(p, hevc ? "level-idc" : "level", level.c_str());

    // Key frames every keyInt pictures; B-pictures between references: P2B, or gopSize - 1
    // where gopSize (1..16) gives the distance between reference pictures.
    if (!isDefault(c.keyInt)) {
        if (c.keyInt > INT_MAX) return zemeER_RSLT_ERR_INVALID_PARAM;
        add(p, "keyint", uint64_t{c.keyInt});
    }
    const bool gop = !isDefault(c.gopSize), p2b = !isDefault(c.P2B);
    if (gop && c.gopSize > ZEME_ENC_MAX_GOP_SIZE) return zemeER_RSLT_ERR_INVALID_PARAM;
    if (p2b && c.P2B >= ZEME_ENC_MAX_GOP_SIZE) return zemeER_RSLT_ERR_INVALID_PARAM;
    if (gop && p2b && c.P2B != c.gopSize - 1) return zemeER_RSLT_ERR_INVALID_PARAM;
    if (p2b || gop) add(p, "bframes", uint64_t{p2b ? c.P2B : c.gopSize - 1});
    if (c.bBPyramid != 0 && c.bBPyramid != 1 && c.bBPyramid != ZEME_ENC_DEFAULT_PAR)
        return zemeER_RSLT_ERR_INVALID_PARAM;
    if (c.bBPyramid == 1) add(p, "b-pyramid", hevc ? "1" : "normal");

    if (uint32_t status = rateControl(hevc, c, p)) return status;

    if (!isDefault(c.lookaheadDepth)) {
        if (c.lookaheadDepth > kMaxLookahead) return zemeER_RSLT_ERR_INVALID_PARAM;
        add(p, "rc-lookahead", uint64_t{c.lookaheadDepth});
    }
    const float aq = c.aqStrength;
    const bool aqSet = aq != 0.0f && !std::isnan(aq);
    if (aqSet && (aq < 0.0f || aq > kMaxAqStrength)) return zemeER_RSLT_ERR_INVALID_PARAM;
    if (aqSet) add(p, "aq-strength", double{aq});
    // Regions of interest ride on adaptive quantisation, which tune PSNR turns off.
    s.roi = c.enableROI != 0;
    if (s.roi && s.tune == "psnr") {
        if (hevc && !aqSet) add(p, "aq-strength", 1.0);
        if (!hevc) add(p, "aq-mode", uint64_t{1});
    }
    *setup = std::move(s);
    return zemeER_SUCCESS;
}

uint32_t checkExtended(const zemeEncExtendedParams &params, uint32_t width, uint32_t height, bool roi) {
    if (params.reserved0) return zemeER_RSLT_ERR_INVALID_PARAM;
    for (uint32_t word : params.reserved)
        if (word) return zemeER_RSLT_ERR_INVALID_PARAM;
    // SEI messages are not written; a count without its array is still a bad argument.
    if (params.externalSEINum && !params.externalSEI) return zemeER_RSLT_ERR_INVALID_PARAM;
    if (!roi) return zemeER_SUCCESS;
    for (const zemeEncPictureROI &entry : params.roi) {
        if (!entry.area.enable) continue;
        const zemeEncPictureArea &a = entry.area;
        if (a.left >= a.right || a.right > width || a.top >= a.bottom || a.bottom > height)
            return zemeER_RSLT_ERR_INVALID_PARAM;
        const uint32_t type = rawValue(entry.qpType);
        if (type == ZEME_ENC_QP) return zemeER_RSLT_ERR_UNSUPPORTED;
        if (type != ZEME_ENC_QP_DELTA) return zemeER_RSLT_ERR_INVALID_PARAM;
        if (entry.qpValue < -int32_t{kMaxQp} || entry.qpValue > int32_t{kMaxQp}) return zemeER_RSLT_ERR_INVALID_PARAM;
    }
    return zemeER_SUCCESS;
}

// A QP delta d is the offset d / 51: the encoders scale offsets by their QP range (51
// at 8 bits), so the region's QP moves by d. The first region wins where they overlap.
void applyExtended(const zemeEncExtendedParams &params, bool roi, AVFrame *picture) {
    if (params.forceIDR) picture->pict_type = AV_PICTURE_TYPE_I;
    if (!roi) return;
    size_t count = 0;
    for (const zemeEncPictureROI &entry : params.roi) count += entry.area.enable != 0;
    if (!count) return;
    AVFrameSideData *data = av_frame_new_side_data(picture, AV_FRAME_DATA_REGIONS_OF_INTEREST,
                                                   count * sizeof(AVRegionOfInterest));
    if (!data) throw std::bad_alloc();
    auto *regions = reinterpret_cast<AVRegionOfInterest *>(data->data);
    for (const zemeEncPictureROI &entry : params.roi) {
        if (!entry.area.enable) continue;
        AVRegionOfInterest &r = *regions++;
        r.self_size = sizeof(AVRegionOfInterest);
        r.top = static_cast<int>(entry.area.top);
        r.bottom = static_cast<int>(entry.area.bottom);
        r.left = static_cast<int>(entry.area.left);
        r.right = static_cast<int>(entry.area.right);
        r.qoffset = AVRational{entry.qpValue, static_cast<int>(kMaxQp)};
    }
}

uint32_t jpegSetup(const zemeEncJPEGConfiguration &config, JpegSetup *setup) {
    JpegSetup s;
    for (uint32_t size : {config.codingWidth, config.codingHeight})
        if (size && (size % 2 || size < ZEME_ENC_JPEG_MIN_WIDTH || size > ZEME_ENC_JPEG_MAX_WIDTH))
            return zemeER_RSLT_ERR_UNSUPPORTED;
    s.width = config.codingWidth;
    s.height = config.codingHeight;
    if (config.losslessEn) return zemeER_RSLT_ERR_UNSUPPORTED;  // libjpeg-turbo 2.1 codes DCT JPEGs only
    if (config.userData && config.userDataLength) {
        // The text up to its NUL, never past userDataLength bytes.
        const char *text = config.userData;
        size_t length = strnlen(text, config.userDataLength);
        if (length > kMaxJpegComment) return zemeER_RSLT_ERR_INVALID_PARAM;
        s.comment.assign(text, length);
    }
    *setup = std::move(s);
    return zemeER_SUCCESS;
}

}  // namespace zeme
