// JPEG encoding with libjpeg-turbo's TurboJPEG interface: 4:2:0 planes in as they are,
// a baseline JFIF picture out, with the channel's user data as a comment segment.
#include <turbojpeg.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "zeme/video_encoder.hpp"
#include "zeme/picture_layout.hpp"

namespace zeme {
namespace {

struct Compressor {
    tjhandle handle = tjInitCompress();
    unsigned char *jpeg = nullptr;
    ~Compressor() {
        if (jpeg) tjFree(jpeg);
        if (handle) tjDestroy(handle);
    }
};

// Where the comment goes: after the start of image and the JFIF header when there is one.
size_t commentOffset(const unsigned char *jpeg, size_t size) {
    size_t offset = 2;
    if (size >= 6 && jpeg[2] == 0xFF && jpeg[3] == 0xE0) offset += 2 + (size_t{jpeg[4]} << 8 | jpeg[5]);
    return std::min(offset, size);
}

}  // namespace

uint32_t encodeJpeg(const SourcePicture &source, const std::string &comment, std::shared_ptr<HostBuffer> *out,
                    size_t *size) {
    const bool planar = !interleavedChroma(source.format);
    for (int i = 0; i < planeCount(source.format); ++i)
        if (source.strides[i] > INT_MAX) return zemeER_RSLT_ERR_INVALID_PARAM;
    const size_t half = chromaColumns(source.width), rows = chromaRows(source.height);
    const unsigned char *planes[3] = {source.planes[0], source.planes[1], source.planes[2]};
    int strides[3] = {static_cast<int>(source.strides[0]), static_cast<int>(source.strides[1]),
                      static_cast<int>(source.strides[2])};
    thread_local std::vector<uint8_t> chroma;  // NV12 / NV21 chroma split into U and V
    if (!planar) {
        chroma.resize(2 * half * rows);
        uint8_t *u = chroma.data(), *v = u + half * rows;
        if (chromaVFirst(source.format)) std::swap(u, v);
        for (size_t row = 0; row < rows; ++row) {
            const uint8_t *pairs = source.planes[1] + row * source.strides[1];
            for (size_t i = 0; i < half; ++i) {
                u[row * half + i] = pairs[2 * i];
                v[row * half + i] = pairs[2 * i + 1];
            }
        }
        planes[1] = chroma.data();
        planes[2] = chroma.data() + half * rows;
        strides[1] = strides[2] = static_cast<int>(half);
    }

    Compressor compressor;
    if (!compressor.handle) return zemeER_RSLT_ERR_NO_MEMORY;
    unsigned long jpegSize = 0;
    if (tjCompressFromYUVPlanes(compressor.handle, planes, static_cast<int>(source.width), strides,
                                static_cast<int>(source.height), TJSAMP_420, &compressor.jpeg, &jpegSize, kJpegQuality,
                                0))
        return zemeER_RSLT_ERR_NO_MEMORY;  // libjpeg-turbo fails only for want of memory here

    const size_t at = commentOffset(compressor.jpeg, jpegSize);
    const size_t segment = comment.empty() ? 0 : 4 + comment.size();
    *size = jpegSize + segment;
    *out = acquireHostBuffer(*size);
    uint8_t *bytes = (*out)->data;
    std::memcpy(bytes, compressor.jpeg, at);
    if (segment) {
        const size_t length = 2 + comment.size();
        const uint8_t marker[4] = {0xFF, 0xFE, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
        std::memcpy(bytes + at, marker, 4);
        std::memcpy(bytes + at + 4, comment.data(), comment.size());
    }
    std::memcpy(bytes + at + segment, compressor.jpeg + at, jpegSize - at);
    return zemeER_SUCCESS;
}

}  // namespace zeme
