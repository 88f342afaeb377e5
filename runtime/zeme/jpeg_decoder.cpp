// JPEG decoding with libjpeg-turbo's TurboJPEG interface. The planes come out as the
// JPEG codes them (no colour conversion, no upsampling): full-range YCbCr as stored.
#include "zeme/jpeg_decoder.hpp"

#include "zeme/picture_layout.hpp"

#include <turbojpeg.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace zeme {
namespace {

struct Handle {
    tjhandle handle = tjInitDecompress();
    ~Handle() {
        if (handle) tjDestroy(handle);
    }
};

// Scratch planes of the calling thread, kept for its next picture unless they are
// larger than kKeptScratch (a thread does not hold a huge picture's planes for good).
constexpr size_t kKeptScratch = size_t{64} << 20;

std::vector<uint8_t> &scratch() {
    thread_local std::vector<uint8_t> buffer;
    return buffer;
}

struct ScratchTrim {
    std::vector<uint8_t> &buffer;
    ~ScratchTrim() {
        if (buffer.capacity() > kKeptScratch) std::vector<uint8_t>().swap(buffer);
    }
};

// Whether a frame of `components` components (`ids` their identifiers) is coded as
// YCbCr or grey, by libjpeg's rule: one component is grey; three are YCbCr under a JFIF
// header, else as an Adobe header's transform says (0: RGB), else RGB only when named
// 'R', 'G', 'B'. Four (CMYK, YCCK) and any other count are not.
bool lumaChroma(int components, const uint8_t *ids, bool jfif, int adobeTransform) {
    if (components == 1) return true;
    if (components != 3) return false;
    if (jfif) return true;
    if (adobeTransform >= 0) return adobeTransform != 0;
    return !(ids[0] == 'R' && ids[1] == 'G' && ids[2] == 'B');
}

// Walks the markers up to the first scan: coding process, JFIF density, whether the
// first scan holds every component, and whether the picture is coded as YCbCr or grey
// (anything else is refused here, before libjpeg-turbo sees it).
uint32_t readMarkers(const uint8_t *data, size_t size, JpegHeader *header) {
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) return zemeER_RSLT_ERR_BITSTREAM;
    size_t pos = 2;
    int frameMarker = -1, components = 0, adobeTransform = -1;
    uint8_t ids[3] = {};
    bool jfif = false;
    while (pos < size) {
        while (pos < size && data[pos] != 0xFF) ++pos;  // stray bytes between segments
        while (pos < size && data[pos] == 0xFF) ++pos;  // fill bytes
        if (pos >= size) break;
        int marker = data[pos++];
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue;  // no length
        if (marker == 0xD9 || pos + 2 > size) break;
        size_t length = size_t{data[pos]} << 8 | data[pos + 1];
        if (length < 2 || length > size - pos) return zemeER_RSLT_ERR_BITSTREAM;
        const uint8_t *segment = data + pos + 2;
        size_t bytes = length - 2;
        if (marker == 0xE0 && bytes >= 12 && std::memcmp(segment, "JFIF", 5) == 0) {
            header->xDensity = uint32_t{segment[8]} << 8 | segment[9];
            header->yDensity = uint32_t{segment[10]} << 8 | segment[11];
            jfif = bytes >= 14;  // libjpeg's own test for a JFIF header
        } else if (marker == 0xEE && bytes >= 12 && std::memcmp(segment, "Adobe", 5) == 0) {
            adobeTransform = segment[11];
        } else if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
            if (bytes < 6) return zemeER_RSLT_ERR_BITSTREAM;
            frameMarker = marker;
            if (segment[0] != 8) return zemeER_RSLT_ERR_UNSUPPORTED;  // sample precision
            components = segment[5];
            if (components == 0 || bytes < 6 + 3 * size_t(components)) return zemeER_RSLT_ERR_BITSTREAM;
            for (int i = 0; i < std::min(components, 3); ++i) ids[i] = segment[6 + 3 * i];
        } else if (marker == 0xDA) {
            if (frameMarker < 0 || bytes < 1) return zemeER_RSLT_ERR_BITSTREAM;
            if (!lumaChroma(components, ids, jfif, adobeTransform)) return zemeER_RSLT_ERR_UNSUPPORTED;
            switch (frameMarker) {
            case 0xC0:
            case 0xC1:
            case 0xC9:  // sequential, Huffman or arithmetic coded
                header->mode = segment[0] < components ? ZEME_JPEG_NONINTERLEAVED : ZEME_JPEG_BASELINE;
                return zemeER_SUCCESS;
            case 0xC2:
            case 0xCA: header->mode = ZEME_JPEG_PROGRESSIVE; return zemeER_SUCCESS;
            default: return zemeER_RSLT_ERR_UNSUPPORTED;  // lossless, hierarchical
            }
        }
        pos += length;
    }
    return zemeER_RSLT_ERR_BITSTREAM;  // no scan
}

// Luma pixels per chroma sample across and down.
void chromaSteps(int subsampling, uint32_t *across, uint32_t *down) {
    switch (subsampling) {
    case TJSAMP_444: *across = 1, *down = 1; break;
    case TJSAMP_422: *across = 2, *down = 1; break;
    case TJSAMP_440: *across = 1, *down = 2; break;
    case TJSAMP_411: *across = 4, *down = 1; break;
    default: *across = 2, *down = 2; break;
    }
}

// The source indices (one or two) a 4:2:0 sample at `index` covers: luma positions
// 2 index and 2 index + 1, `step` luma positions per source sample, `count` samples.
int sources(uint32_t index, uint32_t step, uint32_t count, uint32_t out[2]) {
    out[0] = std::min(2 * index / step, count - 1);
    out[1] = (2 * index + 1) / step;
    return out[1] != out[0] && out[1] < count ? 2 : 1;
}

// One chroma plane of any sampling into 4:2:0 of `width` x `height`: each sample is
// the mean (rounded half up) of the source samples its 2 x 2 luma block covers.
void toQuarter(const uint8_t *in, uint32_t inWidth, uint32_t inHeight, uint32_t across, uint32_t down, uint8_t *out,
               size_t outStep, uint32_t width, uint32_t height) {
    for (uint32_t y = 0; y < height; ++y) {
        uint32_t rows[2];
        int rowCount = sources(y, down, inHeight, rows);
        for (uint32_t x = 0; x < width; ++x) {
            uint32_t columns[2];
            int columnCount = sources(x, across, inWidth, columns);
            uint32_t sum = 0;
            for (int r = 0; r < rowCount; ++r)
                for (int c = 0; c < columnCount; ++c) sum += in[size_t{rows[r]} * inWidth + columns[c]];
            uint32_t count = static_cast<uint32_t>(rowCount * columnCount);
            out[(size_t{y} * width + x) * outStep] = static_cast<uint8_t>((sum + count / 2) / count);
        }
    }
}

void interleaveRows(const uint8_t *first, const uint8_t *second, uint8_t *out, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        out[2 * i] = first[i];
        out[2 * i + 1] = second[i];
    }
}

}  // namespace

uint32_t readJpeg(const uint8_t *data, size_t size, JpegHeader *header) {
    *header = {};
    if (uint32_t status = readMarkers(data, size, header)) return status;
    Handle decoder;
    if (!decoder.handle) return zemeER_RSLT_ERR_NO_MEMORY;
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(decoder.handle, data, size, &width, &height, &subsampling, &colorspace))
        return zemeER_RSLT_ERR_BITSTREAM;
    if (colorspace != TJCS_YCbCr && colorspace != TJCS_GRAY) return zemeER_RSLT_ERR_UNSUPPORTED;
    if (width < 1 || height < 1 || width > ZEME_DEC_JPEG_MAX_WIDTH || height > ZEME_DEC_JPEG_MAX_HEIGHT)
        return zemeER_RSLT_ERR_UNSUPPORTED;
    header->width = static_cast<uint32_t>(width);
    header->height = static_cast<uint32_t>(height);
    header->subsampling = colorspace == TJCS_GRAY ? TJSAMP_GRAY : subsampling;
    return zemeER_SUCCESS;
}

zemePixelFormat jpegPixelFormat(const JpegHeader &header) {
    switch (header.subsampling) {
    case TJSAMP_420: return ZEME_PIX_FMT_YUV420P;
    case TJSAMP_422: return ZEME_PIX_FMT_YUV422P;
    case TJSAMP_444: return ZEME_PIX_FMT_YUV444P;
    case TJSAMP_GRAY: return ZEME_PIX_FMT_GRAY8;
    default: return ZEME_PIX_FMT_NONE;
    }
}

// 4:2:0 pictures decode straight into the output (chroma through scratch rows for
// NV12/NV21); other samplings decode into scratch planes and are brought to 4:2:0.
// Odd sizes: the extra column or row is what the JPEG's padding decodes to where the
// JPEG codes it (4:2:0 and 4:2:2 across), else a copy of the last column or row.
uint32_t decodeJpeg(const uint8_t *data, size_t size, const JpegHeader &header, zemePixelFormat format, uint8_t *out) {
    Handle decoder;
    if (!decoder.handle) return zemeER_RSLT_ERR_NO_MEMORY;
    const int sampling = header.subsampling;
    const int width = static_cast<int>(header.width), height = static_cast<int>(header.height);
    const size_t outWidth = header.outputWidth(), outHeight = header.outputHeight();
    const PictureLayout layout = packedLayout(format, outWidth, outHeight);
    const size_t half = chromaColumns(outWidth), halfRows = chromaRows(outHeight);
    const size_t quarter = half * halfRows;  // samples of one chroma component
    const int planes = sampling == TJSAMP_GRAY ? 1 : 3;
    int planeWidth[3] = {}, planeHeight[3] = {};
    size_t planeBytes[3] = {};
    for (int i = 0; i < planes; ++i) {
        planeWidth[i] = tjPlaneWidth(i, width, sampling);
        planeHeight[i] = tjPlaneHeight(i, height, sampling);
        if (planeWidth[i] < 1 || planeHeight[i] < 1) return zemeER_RSLT_ERR_UNSUPPORTED;
        planeBytes[i] = size_t(planeWidth[i]) * planeHeight[i];
    }
    uint8_t *luma = out, *chroma = out + layout.plane[1].offset;
    const bool direct = sampling == TJSAMP_420;  // planes of exactly the output's size
    std::vector<uint8_t> &buffer = scratch();
    ScratchTrim trim{buffer};
    buffer.resize(direct ? (layout.interleaved ? 2 * quarter : 0) : planeBytes[0] + planeBytes[1] + planeBytes[2]);
    unsigned char *targets[3];
    int strides[3];
    if (direct) {
        targets[0] = luma;
        strides[0] = static_cast<int>(outWidth);
        if (!layout.interleaved) {
            targets[1] = chroma;
            targets[2] = out + layout.plane[2].offset;
        } else {
            targets[1] = buffer.data();
            targets[2] = buffer.data() + quarter;
        }
        strides[1] = strides[2] = static_cast<int>(half);
    } else {
        targets[0] = buffer.data();
        targets[1] = targets[0] + planeBytes[0];
        targets[2] = targets[1] + planeBytes[1];
        for (int i = 0; i < 3; ++i) strides[i] = planeWidth[i];
    }
    if (tjDecompressToYUVPlanes(decoder.handle, data, size, targets, width, strides, height, 0) &&
        tjGetErrorCode(decoder.handle) != TJERR_WARNING)
        return zemeER_RSLT_ERR_BITSTREAM;

    if (!direct) {  // luma: copy, widening to the even size by repeating the edge
        const size_t inWidth = size_t(planeWidth[0]), inHeight = size_t(planeHeight[0]);
        const size_t copied = std::min(inWidth, outWidth);
        for (size_t row = 0; row < outHeight; ++row) {
            uint8_t *line = luma + row * outWidth;
            std::memcpy(line, targets[0] + std::min(row, inHeight - 1) * inWidth, copied);
            if (copied < outWidth) line[copied] = line[copied - 1];
        }
    }
    uint8_t *u = targets[1], *v = targets[2];
    if (sampling == TJSAMP_GRAY) {
        std::memset(chroma, 128, layout.bytes - layout.plane[1].offset);
        return zemeER_SUCCESS;
    }
    if (!direct) {
        uint32_t across = 2, down = 2;
        chromaSteps(sampling, &across, &down);
        uint8_t *first = layout.vFirst ? v : u, *second = layout.vFirst ? u : v;
        const uint32_t inWidth = uint32_t(planeWidth[1]), inHeight = uint32_t(planeHeight[1]);
        const uint32_t w = uint32_t(half), h = uint32_t(halfRows);
        if (!layout.interleaved) {
            toQuarter(u, inWidth, inHeight, across, down, chroma, 1, w, h);
            toQuarter(v, inWidth, inHeight, across, down, out + layout.plane[2].offset, 1, w, h);
        } else {
            toQuarter(first, inWidth, inHeight, across, down, chroma, 2, w, h);
            toQuarter(second, inWidth, inHeight, across, down, chroma + 1, 2, w, h);
        }
        return zemeER_SUCCESS;
    }
    if (!layout.interleaved) return zemeER_SUCCESS;
    if (layout.vFirst) std::swap(u, v);
    for (size_t row = 0; row < halfRows; ++row)
        interleaveRows(u + row * half, v + row * half, chroma + row * layout.plane[1].pitch, half);
    return zemeER_SUCCESS;
}

}  // namespace zeme
