// JPEG pictures with libjpeg-turbo: header, coding mode and decode into 4:2:0 planes.
#pragma once
#include <cstddef>
#include <cstdint>

#include "zeme.h"

namespace zeme {

struct JpegHeader {
    uint32_t width = 0, height = 0;
    int subsampling = 0;  // TJSAMP_*
    zemeJpegCodingMode mode = ZEME_JPEG_NONE;
    uint32_t xDensity = 0, yDensity = 0;
    // The decoded picture: the JPEG's size rounded up to even.
    uint32_t outputWidth() const { return (width + 1) & ~1u; }
    uint32_t outputHeight() const { return (height + 1) & ~1u; }
};

// zemeER_RSLT_ERR_BITSTREAM for bytes that are no JPEG, zemeER_RSLT_ERR_UNSUPPORTED for
// a JPEG the card does not decode (lossless, hierarchical, 12-bit, coded as anything but
// YCbCr or grey: RGB, CMYK, YCCK..., larger than 32768 x 32768), found before
// libjpeg-turbo is asked to decode.
uint32_t readJpeg(const uint8_t *data, size_t size, JpegHeader *header);
// The sampling of the JPEG's planes as a pixel format (ZEME_PIX_FMT_NONE for 4:4:0, 4:1:1).
zemePixelFormat jpegPixelFormat(const JpegHeader &header);
// Decodes into a tightly packed picture of outputWidth() x outputHeight() in `format`.
uint32_t decodeJpeg(const uint8_t *data, size_t size, const JpegHeader &header, zemePixelFormat format, uint8_t *out);

}  // namespace zeme
