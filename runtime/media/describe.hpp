// Trace forms of the media engine's input structures.
#pragma once
#include <string>

#include "sim/call.hpp"
#include "zeme.h"

inline void describe(std::string &out, const zemeDecChannelParameters &params) {
    out += '{';
    zesim::putList(out, params.codecType, params.sourceMode, params.decodeMode, params.pixelFormat,
                   params.extraBufferNumber, zesim::array(params.reserved, 2));
    out += '}';
}

inline void describe(std::string &out, const zemeStream &stream) {
    out += '{';
    zesim::putList(out, static_cast<const void *>(stream.data), stream.dataSize, stream.pts, stream.busAddress);
    out += '}';
}

inline void describe(std::string &out, const zemeDecOutputOptions &options) {
    out += '{';
    zesim::putList(out, options.memoryType, options.enableCrop);
    out += '}';
}

// A frame given back: its planes and its identity.
inline void describe(std::string &out, const zemeFrame &frame) {
    out += '{';
    const void *planes[ZEME_MAX_VIDEO_PLANE] = {frame.data[0], frame.data[1], frame.data[2]};
    zesim::putList(out, zesim::array(planes, ZEME_MAX_VIDEO_PLANE),
                   zesim::array(frame.busAddress, ZEME_MAX_VIDEO_PLANE), frame.memoryType,
                   static_cast<const void *>(frame.privateData));
    out += '}';
}

// An encoder channel's parameters with the configuration its codec reads.
inline void describe(std::string &out, const zemeEncChannelParameters &params) {
    out += '{';
    zesim::putList(out, params.codecType, params.outbufNum, params.enProfiling);
    out += ", {";
    if (params.codecType == ZEME_CODEC_ENC_JPEG) {
        const zemeEncJPEGConfiguration &c = params.jpegConfig;
        zesim::putList(out, c.codingWidth, c.codingHeight, c.frameType, c.userDataLength,
                       static_cast<const void *>(c.userData), c.losslessEn);
    } else {
        const zemeEncVideoConfiguration &c = params.videoConfig;
        zesim::putList(out, c.profile, c.level, c.width, c.height, c.frameRate.numerator, c.frameRate.denominator,
                       c.bitDepthLuma, c.bitDepthChroma, c.gopSize, c.gdrDuration, c.lookaheadDepth, c.qualityMode,
                       c.tune, c.keyInt, c.crf, c.cqp, c.llRc, c.bitRate, c.initQp, c.vbvBufSize, c.vbvMaxRate,
                       c.intraQpDelta, c.qpMinI, c.qpMaxI, c.qpMinPB, c.qpMaxPB, c.vbr, c.aqStrength, c.enableROI,
                       c.P2B, c.bBPyramid, c.maxFrameSizeMultiple);
    }
    out += "}}";
}

// Per-frame parameters: forceIDR, the enabled ROI entries and the SEI count.
inline void describe(std::string &out, const zemeEncExtendedParams &params) {
    out += '{';
    zesim::putList(out, params.forceIDR);
    out += ", [";
    const char *separator = "";
    for (const zemeEncPictureROI &roi : params.roi) {
        if (!roi.area.enable) continue;
        out += separator;
        out += '{';
        zesim::putList(out, roi.area.top, roi.area.left, roi.area.bottom, roi.area.right, roi.qpType, roi.qpValue);
        out += '}';
        separator = ", ";
    }
    out += "], ";
    zesim::putList(out, params.externalSEINum);
    out += '}';
}
