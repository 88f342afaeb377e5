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
