// Trace forms of the media engine's input structures.
#pragma once
#include <string>

#include "zesim/call.hpp"
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

inline void describe(std::string &out, const zemeRational &rational) {
    out += '{';
    zesim::putList(out, rational.numerator, rational.denominator);
    out += '}';
}

inline void describe(std::string &out, const zemeFrameCropInfo &crop) {
    out += '{';
    zesim::putList(out, crop.flag, crop.width, crop.height, crop.xOffset, crop.yOffset);
    out += '}';
}

inline void describe(std::string &out, const zemeFrame &frame) {
    out += '{';
    const void *planes[ZEME_MAX_VIDEO_PLANE] = {frame.data[0], frame.data[1], frame.data[2]};
    zesim::putList(out, zesim::array(planes, ZEME_MAX_VIDEO_PLANE),
                   zesim::array(frame.busAddress, ZEME_MAX_VIDEO_PLANE),
                   zesim::array(frame.stride, ZEME_MAX_VIDEO_PLANE), frame.dataSize, frame.width, frame.height,
                   frame.pts, frame.memoryType, frame.field, frame.pixelFormat, frame.frameType, frame.cropInfo,
                   static_cast<const void *>(frame.privateData));
    out += '}';
}

inline void describe(std::string &out, const zemeEncVideoConfiguration &c) {
    out += '{';
    zesim::putList(out, c.profile, c.level, c.width, c.height, c.frameRate, c.bitDepthLuma, c.bitDepthChroma, c.gopSize,
                   c.gdrDuration, c.lookaheadDepth, c.qualityMode, c.tune, c.keyInt, c.crf, c.cqp, c.llRc, c.bitRate,
                   c.initQp, c.vbvBufSize, c.vbvMaxRate, c.intraQpDelta, c.qpMinI, c.qpMaxI, c.qpMinPB, c.qpMaxPB,
                   c.vbr, c.aqStrength, c.enableROI, c.P2B, c.bBPyramid, c.maxFrameSizeMultiple);
    out += '}';
}

inline void describe(std::string &out, const zemeEncJPEGConfiguration &c) {
    out += '{';
    zesim::putList(out, c.codingWidth, c.codingHeight, c.frameType, c.userDataLength,
                   static_cast<const void *>(c.userData), c.losslessEn);
    out += '}';
}

// The union shows as the configuration the codec reads.
inline void describe(std::string &out, const zemeEncChannelParameters &params) {
    out += '{';
    zesim::putList(out, params.codecType, params.outbufNum, params.enProfiling);
    out += ", ";
    if (params.codecType == ZEME_CODEC_ENC_JPEG)
        describe(out, params.jpegConfig);
    else
        describe(out, params.videoConfig);
    out += '}';
}

inline void describe(std::string &out, const zemeEncPictureArea &area) {
    out += '{';
    zesim::putList(out, area.enable, area.top, area.left, area.bottom, area.right);
    out += '}';
}

inline void describe(std::string &out, const zemeEncPictureROI &roi) {
    out += '{';
    zesim::putList(out, roi.area, roi.qpType, roi.qpValue);
    out += '}';
}

inline void describe(std::string &out, const zemeEncExtendedParams &params) {
    out += '{';
    zesim::putList(out, params.forceIDR, params.reserved0, zesim::array(params.roi, ZEME_ENC_MAX_ROI_NUM),
                   params.externalSEINum, static_cast<const void *>(params.externalSEI),
                   zesim::array(params.reserved, 4));
    out += '}';
}
