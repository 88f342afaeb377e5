// The layouts of the pictures the media runtime hands out and takes: which pixel formats
// they come in, and where each plane of a picture lies in memory. All of it is inline
// arithmetic on the public header's types, so the bindings check frames with the same
// rules without linking the runtime's internals.
//
// Every format is 8-bit 4:2:0: a luma plane, then chroma at half the width and height
// (rounded up for odd sizes), either as one plane of interleaved pairs (NV12: U V;
// NV21: V U) or as a U plane followed by a V plane (YUV420P). Planes follow each other,
// each `pitch` bytes a row; a pitch has no alignment to keep, only a minimum.
#pragma once
#include <cstddef>
#include <cstdint>

#include "zeme.h"

namespace zeme {

// The formats of decoded pictures and of encoder input, in the order capabilities list them.
inline constexpr zemePixelFormat kPictureFormats[] = {ZEME_PIX_FMT_NV12, ZEME_PIX_FMT_NV21, ZEME_PIX_FMT_YUV420P};

constexpr bool pictureFormat(uint32_t format) {
    for (zemePixelFormat known : kPictureFormats)
        if (format == static_cast<uint32_t>(known)) return true;
    return false;
}

// Chroma as one plane of pairs (NV12, NV21) rather than separate U and V planes (YUV420P).
constexpr bool interleavedChroma(uint32_t format) { return format != ZEME_PIX_FMT_YUV420P; }
// The chroma order: V before U (NV21).
constexpr bool chromaVFirst(uint32_t format) { return format == ZEME_PIX_FMT_NV21; }
// Planes of a picture (0 for a format the runtime does not know).
constexpr int planeCount(uint32_t format) { return !pictureFormat(format) ? 0 : interleavedChroma(format) ? 2 : 3; }
// Strides a frame must give: the luma's, and U's for YUV420P (V's defaults to U's).
constexpr int stridesNeeded(uint32_t format) { return interleavedChroma(format) ? 1 : 2; }

// Chroma samples across and down a picture of `width` x `height`.
constexpr uint64_t chromaColumns(uint64_t width) { return (width + 1) / 2; }
constexpr uint64_t chromaRows(uint64_t height) { return (height + 1) / 2; }

// Rows of plane `plane` of a picture `height` high.
constexpr uint64_t planeRows(int plane, uint64_t height) { return plane ? chromaRows(height) : height; }
// Bytes one chroma sample takes in plane `plane` (a U V pair in interleaved chroma).
constexpr uint64_t sampleBytes(uint32_t format, int plane) { return plane && interleavedChroma(format) ? 2 : 1; }
// Bytes of one row of plane `plane` of a picture `width` wide: the least pitch of the plane.
constexpr uint64_t rowBytes(uint32_t format, int plane, uint64_t width) {
    return plane ? chromaColumns(width) * sampleBytes(format, plane) : width;
}
// Where, in its plane, the sample of picture position (x, y) starts, a plane `pitch`
// bytes a row (x and y even for chroma).
constexpr uint64_t sampleOffset(uint32_t format, int plane, uint64_t x, uint64_t y, uint64_t pitch) {
    return plane ? (y / 2) * pitch + (x / 2) * sampleBytes(format, plane) : y * pitch + x;
}

// The pitch of plane `plane` in a picture whose luma rows are `pitch` bytes: interleaved
// chroma shares the luma's pitch, U and V take half of it (rounded up).
constexpr uint64_t planePitch(uint32_t format, int plane, uint64_t pitch) {
    return plane && !interleavedChroma(format) ? (pitch + 1) / 2 : pitch;
}
// The least luma pitch of a picture `width` wide whose other planes take their pitch
// from it (planePitch): each plane's rows must fit, and interleaved chroma rows hold
// whole pairs, one more byte than the luma's for an odd width.
constexpr uint64_t minimumPitch(uint32_t format, uint64_t width) {
    return interleavedChroma(format) ? rowBytes(format, 1, width) : width;
}

// The stride a frame's plane `plane` is read with, from its stride fields: a chroma
// stride of 0 is that of the plane before (NV12 and NV21 chroma: the luma's; V: U's),
// as frames built with one stride (two for YUV420P) give them. U's own stride is never
// the luma's: 0 stays 0.
constexpr uint64_t planeStride(uint32_t format, const uint32_t (&stride)[ZEME_MAX_VIDEO_PLANE], int plane) {
    if (stride[plane] || plane == 0 || (plane == 1 && !interleavedChroma(format))) return stride[plane];
    return planeStride(format, stride, plane - 1);
}

struct PlaneLayout {
    uint64_t offset = 0;  // from the picture's first byte
    uint64_t size = 0;    // pitch x height
    uint64_t width = 0;   // bytes of a row
    uint64_t height = 0;  // rows
    uint64_t pitch = 0;   // bytes from one row to the next
};

struct PictureLayout {
    int planes = 0;
    PlaneLayout plane[ZEME_MAX_VIDEO_PLANE] = {};
    uint64_t bytes = 0;        // of all planes
    bool interleaved = false;  // chroma in one plane of pairs
    bool vFirst = false;       // V before U
};

// A picture of `width` x `height` in `format`, planes one after another with the pitches
// `pitch` (one per plane). No planes for a format the runtime does not know.
constexpr PictureLayout pictureLayout(uint32_t format, uint64_t width, uint64_t height,
                                      const uint64_t (&pitch)[ZEME_MAX_VIDEO_PLANE]) {
    PictureLayout layout;
    layout.planes = planeCount(format);
    layout.interleaved = interleavedChroma(format);
    layout.vFirst = chromaVFirst(format);
    for (int i = 0; i < layout.planes; ++i) {
        PlaneLayout &plane = layout.plane[i];
        plane.offset = layout.bytes;
        plane.width = rowBytes(format, i, width);
        plane.height = planeRows(i, height);
        plane.pitch = pitch[i];
        plane.size = plane.pitch * plane.height;
        layout.bytes += plane.size;
    }
    return layout;
}
// The same with luma rows `pitch` bytes apart and the chroma pitch that follows (planePitch).
constexpr PictureLayout pictureLayout(uint32_t format, uint64_t width, uint64_t height, uint64_t pitch) {
    const uint64_t pitches[ZEME_MAX_VIDEO_PLANE] = {pitch, planePitch(format, 1, pitch), planePitch(format, 2, pitch)};
    return pictureLayout(format, width, height, pitches);
}
// A tightly packed picture (luma pitch `width`): the pictures decoders hand out, of even sizes.
constexpr PictureLayout packedLayout(uint32_t format, uint64_t width, uint64_t height) {
    return pictureLayout(format, width, height, width);
}

// Bytes of a tightly packed picture of even width and height: the same in every format.
constexpr size_t pictureBytes(uint64_t width, uint64_t height) {
    return static_cast<size_t>(packedLayout(ZEME_PIX_FMT_NV12, width, height).bytes);
}
// Rows of `width` bytes that a tightly packed picture `height` high (even) fills.
constexpr uint64_t pictureRows(uint64_t height) { return height * 3 / 2; }

}  // namespace zeme
