// The image operations of the preprocess library, on checked pictures. The direct
// calls (zeceResize, ...) and executeOp both run them; each returns a status of the
// library and writes nothing when it refuses its arguments.
#pragma once
#include <cstdint>
#include <exception>
#include <new>
#include <vector>

#include "zece/color.hpp"
#include "zece/image.hpp"

namespace zece {

// The memory of one dataset member, checked to lie inside a live device block.
struct Buffer {
    uint8_t *data = nullptr;
    uint64_t size = 0;
    zesim::Entry block;  // held, so the memory stays alive while an op runs
};

// The part of a picture inside `rect` (in pixels of the picture; even coordinates and
// sizes for NV12 and I420), as a picture of its own over the same memory.
// zeceER_INVALID_PARAM when the rectangle does not lie inside the picture.
ZECE_INTERNAL uint32_t subImage(const Image &image, const cropRect &rect, Image *part);

// zeceER_SUCCESS when resizeImage would take these pictures.
ZECE_INTERNAL uint32_t checkResize(zeceResizeType type, const Image &in, const Image &out);
// Resize of every plane (same format in and out). The OpenCV kinds equal cv::resize,
// the Pillow kinds Pillow's resampling; zeceRESIZE_NO_RESIZE copies equal sizes.
ZECE_INTERNAL uint32_t resizeImage(zeceResizeType type, const Image &in, const Image &out);
// Copies the rectangle of `in` into `out` (whose size is the rectangle's).
ZECE_INTERNAL uint32_t cropImage(const cropRect &rect, const Image &in, const Image &out);
// Mirrors every plane as cv::flip does (X axis = code 0, Y axis = 1, both = -1).
ZECE_INTERNAL uint32_t flipImage(zeceFlipType type, const Image &in, const Image &out);
// Colour conversion; `coding` is that of the YUV side (RGB -> NV12 ignores `interpolate`).
ZECE_INTERNAL uint32_t convertImage(zeceColorCvtCode code, const YuvCoding &coding, const Image &in, const Image &out);
// matrix: 6 doubles mapping output to input coordinates; values: 3 padding bytes.
ZECE_INTERNAL uint32_t warpImage(const double *matrix, zeceWarpAffineMode mode, zecePaddingType padType,
                                 const uint8_t *values, const Image &in, const Image &out);
// Resizes into the part of `out` inside the edges, then pads the edges.
ZECE_INTERNAL uint32_t borderImage(zeceResizeType type, zecePaddingType padType, const uint8_t *values,
                                   const zecePaddingEdges &edges, const Image &in, const Image &out);

// Runs `operation`, turning an exception (OpenCV's, or a failed allocation) into a status.
template <class Operation> uint32_t guarded(Operation operation) {
    try {
        return operation();
    } catch (const std::bad_alloc &) {
        return zeceER_OUT_OF_MEMORY;
    } catch (const std::exception &) {
        return zeceER_INVALID_IMAGE;
    }
}

// cv::resize's interpolation for an OpenCV resize kind; -1 for the other kinds.
ZECE_INTERNAL int cvInterpolation(zeceResizeType type);
// Whether the card resizes with this kind: OpenCV's, Pillow's or zeceRESIZE_NO_RESIZE.
ZECE_INTERNAL bool knownResize(zeceResizeType type);
// cv::BORDER_* for a padding type; -1 for an unknown one.
ZECE_INTERNAL int cvBorder(zecePaddingType type);

}  // namespace zece
