// Pictures in device memory, as the preprocess library sees them: a descriptor
// (size, pitches, pixel format) over a buffer inside a live device block. Every
// descriptor and buffer is checked here before any byte is touched.
//
// Layouts (widthPitch is the row stride in bytes of the first plane, heightPitch
// the rows allocated per plane):
//   NV12        Y: widthPitch x heightPitch, then UV: widthPitch x heightPitch/2,
//               interleaved U,V pairs at half resolution
//   I420        Y, then U and V planes of pitch widthPitch/2 and heightPitch/2 rows
//   RGB_PLANAR  three planes of widthPitch x heightPitch, one channel each
//   RGB888/BGR888  one plane of interleaved pixels, widthPitch >= 3 x width
//   GRAY        one plane
// NV12 and I420 need even width, height and heightPitch; I420 an even widthPitch.
#pragma once
#include <cstdint>
#include <vector>
#include <opencv2/core.hpp>

#include "zecm/objects.hpp"
#include "zece.h"

#define ZECE_INTERNAL __attribute__((visibility("default")))

namespace zece {

// Largest width or height the card takes.
constexpr int32_t kMaxSide = 16384;

// One plane of a picture: `width` x `height` pixels of `channels` bytes each,
// rows `pitch` bytes apart.
struct Plane {
    uint8_t *data = nullptr;
    int width = 0;
    int height = 0;
    int channels = 1;
    size_t pitch = 0;

    // A view of the plane's pixels (no copy).
    cv::Mat mat() const { return cv::Mat(height, width, CV_8UC(channels), data, pitch); }
    // The pixels of [x, x + w) x [y, y + h), in pixels of this plane.
    Plane region(int x, int y, int w, int h) const {
        return {data + static_cast<size_t>(y) * pitch + static_cast<size_t>(x) * channels, w, h, channels, pitch};
    }
};

// A checked picture: its descriptor, its planes, and the device block that holds
// it (held, so the memory stays alive while an operation runs).
struct Image {
    zeceImageDesc desc{};
    int planeCount = 0;
    Plane planes[3];
    zesim::Entry block;
};

// Whether the format is one the card knows.
ZECE_INTERNAL bool knownFormat(zeceImageType format);
// Bytes per pixel of the first plane (3 for interleaved RGB, else 1).
ZECE_INTERNAL int pixelBytes(zeceImageType format);
// zeceER_INVALID_IMAGE unless the descriptor is usable: a known format, sizes from 1
// to kMaxSide, pitches that hold the picture, even sizes where the format needs them.
ZECE_INTERNAL uint32_t checkDesc(const zeceImageDesc &desc);
// Bytes the descriptor covers from the buffer's start (0 for an unusable descriptor).
ZECE_INTERNAL uint64_t imageBytes(const zeceImageDesc &desc);
// The planes of a descriptor over `data` (no checks: call checkDesc first).
ZECE_INTERNAL void layPlanes(const zeceImageDesc &desc, uint8_t *data, Image *image);
// Checks the descriptor, then that the buffer lies in a live device block that holds
// all of it, and that it fits in `limit` bytes (a dataset member's size).
// zeceER_INVALID_IMAGE or zeceER_INVALID_ADDRESS otherwise.
ZECE_INTERNAL uint32_t mapImage(const zeceImageDesc &desc, void *buffer, Image *image, uint64_t limit = UINT64_MAX);

// The picture `source`, or, when its bytes overlap those of any of `targets`, a copy
// of it in new memory held by `storage`: operations never read what they write.
ZECE_INTERNAL Image apart(const Image &source, const Image *targets, size_t count, std::vector<cv::Mat> *storage);

// Chroma planes of NV12 and I420 are half the picture's size in each direction.
inline bool isYuv(zeceImageType format) { return format == zeceIMG_YUV_NV12 || format == zeceIMG_YUV_I420; }

}  // namespace zece
