// Colour conversions. YUV is limited (video) range unless the coding says full range.
// Limited BT.601 uses OpenCV's own NV12 and I420 conversions; limited BT.709 applies
// the BT.709 matrices with cv::transform:
//   R = 1.164384 (Y - 16)                        + 1.792741 (V - 128)
//   G = 1.164384 (Y - 16) - 0.213249 (U - 128) - 0.532909 (V - 128)
//   B = 1.164384 (Y - 16) + 2.112402 (U - 128)
//   Y =  16 + 0.182586 R + 0.614231 G + 0.062007 B
//   U = 128 - 0.100644 R - 0.338572 G + 0.439216 B
//   V = 128 + 0.439216 R - 0.398942 G - 0.040274 B
// Full range (JPEG/JFIF) applies the matrices of the luma weights Kr, Kb of the space
// (BT.601 0.299, 0.114; BT.709 0.2126, 0.0722) without scaling or offsets of Y:
//   R = Y + 2 (1 - Kr) (V - 128), B = Y + 2 (1 - Kb) (U - 128), G = (Y - Kr R - Kb B) / Kg
//   Y = Kr R + Kg G + Kb B, U = 128 + (B - Y) / (2 (1 - Kb)), V = 128 + (R - Y) / (2 (1 - Kr))
// Chroma is taken from the 2 x 2 block it covers: repeated when read (or interpolated,
// when the coding asks for it), averaged (cv::INTER_AREA) when written.
#include <opencv2/imgproc.hpp>

#include "zece/color.hpp"
#include "zece/operations.hpp"

namespace zece {
namespace {

// Rows of a YUV -> RGB matrix with offsets, for cv::transform on interleaved Y, U, V.
cv::Matx34f toRgb709() {
    const float k = 1.164384f;
    return cv::Matx34f(k, 0.0f, 1.792741f, -16 * k - 128 * 1.792741f, k, -0.213249f, -0.532909f,
                       -16 * k + 128 * (0.213249f + 0.532909f), k, 2.112402f, 0.0f, -16 * k - 128 * 2.112402f);
}

// RGB -> Y, U, V with offsets.
cv::Matx34f toYuv709() {
    return cv::Matx34f(0.182586f, 0.614231f, 0.062007f, 16.0f, -0.100644f, -0.338572f, 0.439216f, 128.0f, 0.439216f,
                       -0.398942f, -0.040274f, 128.0f);
}

// Limited BT.601 YUV -> RGB with OpenCV's own coefficients (its NV12 conversions use
// them in fixed point, scaled by 2^20), for the conversions OpenCV has no call for.
cv::Matx34f toRgb601() {
    const double s = 1.0 / (1 << 20), k = 1220542 * s, vr = 1673527 * s, vg = 852492 * s, ug = 409993 * s,
                 ub = 2116026 * s;
    return cv::Matx34f(float(k), 0.0f, float(vr), float(-16 * k - 128 * vr), float(k), float(-ug), float(-vg),
                       float(-16 * k + 128 * (ug + vg)), float(k), float(ub), 0.0f, float(-16 * k - 128 * ub));
}

void lumaWeights(zeceColorSpace space, double *kr, double *kb) {
    *kr = space == zeceCOLOR_SPACE_BT709 ? 0.2126 : 0.299;
    *kb = space == zeceCOLOR_SPACE_BT709 ? 0.0722 : 0.114;
}

// Full-range YUV -> RGB.
cv::Matx34f toRgbFull(zeceColorSpace space) {
    double kr, kb;
    lumaWeights(space, &kr, &kb);
    const double kg = 1 - kr - kb, vr = 2 * (1 - kr), ub = 2 * (1 - kb), ug = ub * kb / kg, vg = vr * kr / kg;
    return cv::Matx34f(1.0f, 0.0f, float(vr), float(-128 * vr), 1.0f, float(-ug), float(-vg), float(128 * (ug + vg)),
                       1.0f, float(ub), 0.0f, float(-128 * ub));
}

// RGB -> full-range Y, U, V.
cv::Matx34f toYuvFull(zeceColorSpace space) {
    double kr, kb;
    lumaWeights(space, &kr, &kb);
    const double kg = 1 - kr - kb, u = 0.5 / (1 - kb), v = 0.5 / (1 - kr);
    return cv::Matx34f(float(kr), float(kg), float(kb), 0.0f, float(-kr * u), float(-kg * u), 0.5f, 128.0f, 0.5f,
                       float(-kg * v), float(-kb * v), 128.0f);
}

cv::Matx34f toRgb(const YuvCoding &coding) {
    if (coding.fullRange) return toRgbFull(coding.space);
    return coding.space == zeceCOLOR_SPACE_BT709 ? toRgb709() : toRgb601();
}

// The same matrix for pixels whose first and third channels are swapped (BGR).
cv::Matx34f swapped(cv::Matx34f m, bool columns, bool rows) {
    cv::Matx34f result = m;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) {
            int rr = rows ? 2 - r : r;
            int cc = columns && c < 3 ? 2 - c : c;
            result(rr, cc) = m(r, c);
        }
    return result;
}

bool interleaved(zeceImageType format) { return format == zeceIMG_RGB888 || format == zeceIMG_BGR888; }

// The three channels of an interleaved or planar RGB picture as one interleaved
// matrix (planar pictures are merged into a new one).
cv::Mat interleavedPixels(const Image &image) {
    if (image.planeCount == 1) return image.planes[0].mat();
    cv::Mat merged;
    cv::merge(std::vector<cv::Mat>{image.planes[0].mat(), image.planes[1].mat(), image.planes[2].mat()}, merged);
    return merged;
}

void copyPlanes(const Image &in, const Image &out) {
    for (int i = 0; i < in.planeCount; ++i) {
        cv::Mat target = out.planes[i].mat();
        in.planes[i].mat().copyTo(target);
    }
}

// Interleaved pixels (RGB order when `bgr` is false) into an NV12 picture.
void rgbToNv12(const cv::Mat &pixels, bool bgr, const YuvCoding &coding, const Image &out) {
    const int w = out.desc.width, h = out.desc.height;
    cv::Mat y = out.planes[0].mat(), uv = out.planes[1].mat();
    cv::Mat u, v;
    if (coding.space == zeceCOLOR_SPACE_BT601 && !coding.fullRange) {
        cv::Mat i420;
        cv::cvtColor(pixels, i420, bgr ? cv::COLOR_BGR2YUV_I420 : cv::COLOR_RGB2YUV_I420);
        i420.rowRange(0, h).copyTo(y);
        u = cv::Mat(h / 2, w / 2, CV_8UC1, i420.ptr(h));
        v = cv::Mat(h / 2, w / 2, CV_8UC1, i420.ptr(h) + (w / 2) * (h / 2));
    } else {
        cv::Mat yuv;
        cv::transform(pixels, yuv, swapped(coding.fullRange ? toYuvFull(coding.space) : toYuv709(), bgr, false));
        cv::Mat channels[3];
        cv::split(yuv, channels);
        channels[0].copyTo(y);
        cv::resize(channels[1], u, cv::Size(w / 2, h / 2), 0, 0, cv::INTER_AREA);
        cv::resize(channels[2], v, cv::Size(w / 2, h / 2), 0, 0, cv::INTER_AREA);
    }
    cv::merge(std::vector<cv::Mat>{u, v}, uv);
}

// Whether the conversion takes this input format and writes this output format.
bool formatsFit(zeceColorCvtCode code, zeceImageType in, zeceImageType out) {
    switch (code) {
    case zeceCOLOR_YUV2RGB_NV12:
    case zeceCOLOR_YUV2BGR_NV12: return in == zeceIMG_YUV_NV12 && interleaved(out);
    case zeceCOLOR_NO_CHANGE: return in == out;
    case zeceCOLOR_BGR2RGB: return interleaved(in) && interleaved(out);
    case zeceCOLOR_BGR2RGB_INTERLEAVE2PLANAR:
    case zeceCOLOR_RGB2BGR_INTERLEAVE2PLANAR:
    case zeceCOLOR_BGR2BGR_INTERLEAVE2PLANAR:
    case zeceCOLOR_RGB2RGB_INTERLEAVE2PLANAR: return interleaved(in) && out == zeceIMG_RGB_PLANAR;
    case zeceCOLOR_YUV2GRAY_NV12: return in == zeceIMG_YUV_NV12 && out == zeceIMG_GRAY;
    case zeceCOLOR_BGR2GRAY_INTERLEAVE:
    case zeceCOLOR_RGB2GRAY_INTERLEAVE: return interleaved(in) && out == zeceIMG_GRAY;
    case zeceCOLOR_BGR2GRAY_PLANAR:
    case zeceCOLOR_RGB2GRAY_PLANAR: return in == zeceIMG_RGB_PLANAR && out == zeceIMG_GRAY;
    case zeceCOLOR_RGB2YUV_NV12_PLANAR:
    case zeceCOLOR_BGR2YUV_NV12_PLANAR: return (interleaved(in) || in == zeceIMG_RGB_PLANAR) && out == zeceIMG_YUV_NV12;
    default: return false;
    }
}

}  // namespace

void nv12ToRgb(const Plane &y, const Plane &uv, const Plane &rgb, bool bgr, const YuvCoding &coding) {
    cv::Mat target = rgb.mat();
    const cv::Size size(y.width, y.height);
    if (coding.interpolate) {
        // In 32-bit floats, rounded once at the end: libjpeg rounds its upsampled chroma
        // and its RGB, so the two stay within about 1.5 of each other.
        cv::Mat chroma, luma, yuv, pixels;
        uv.mat().convertTo(chroma, CV_32F);
        cv::resize(chroma, chroma, size, 0, 0, cv::INTER_LINEAR);
        y.mat().convertTo(luma, CV_32F);
        cv::Mat planes[2];
        cv::split(chroma, planes);
        cv::merge(std::vector<cv::Mat>{luma, planes[0], planes[1]}, yuv);
        cv::transform(yuv, pixels, swapped(toRgb(coding), false, bgr));
        pixels.convertTo(target, CV_8U);
        return;
    }
    if (coding.space == zeceCOLOR_SPACE_BT601 && !coding.fullRange) {
        cv::cvtColorTwoPlane(y.mat(), uv.mat(), target, bgr ? cv::COLOR_YUV2BGR_NV12 : cv::COLOR_YUV2RGB_NV12);
        return;
    }
    cv::Mat chroma, yuv;
    cv::resize(uv.mat(), chroma, size, 0, 0, cv::INTER_NEAREST);
    cv::Mat planes[2];
    cv::split(chroma, planes);
    cv::merge(std::vector<cv::Mat>{y.mat(), planes[0], planes[1]}, yuv);
    cv::transform(yuv, target, swapped(toRgb(coding), false, bgr));
}

uint32_t convertImage(zeceColorCvtCode code, const YuvCoding &coding, const Image &in, const Image &out) {
    if (coding.space != zeceCOLOR_SPACE_BT601 && coding.space != zeceCOLOR_SPACE_BT709) return zeceER_INVALID_PARAM;
    if (code < zeceCOLOR_YUV2RGB_NV12 || code >= zeceCOLOR_CVT_CODE_BUTT) return zeceER_INVALID_PARAM;
    if (!formatsFit(code, in.desc.format, out.desc.format)) return zeceER_INVALID_IMAGE;
    if (in.desc.width != out.desc.width || in.desc.height != out.desc.height) return zeceER_INVALID_IMAGE;
    cv::Mat target = out.planes[0].mat();
    switch (code) {
    case zeceCOLOR_YUV2RGB_NV12:
    case zeceCOLOR_YUV2BGR_NV12:
        nv12ToRgb(in.planes[0], in.planes[1], out.planes[0], code == zeceCOLOR_YUV2BGR_NV12, coding);
        break;
    case zeceCOLOR_NO_CHANGE: copyPlanes(in, out); break;
    case zeceCOLOR_BGR2RGB: cv::cvtColor(in.planes[0].mat(), target, cv::COLOR_BGR2RGB); break;
    case zeceCOLOR_BGR2RGB_INTERLEAVE2PLANAR:
    case zeceCOLOR_RGB2BGR_INTERLEAVE2PLANAR:
    case zeceCOLOR_BGR2BGR_INTERLEAVE2PLANAR:
    case zeceCOLOR_RGB2RGB_INTERLEAVE2PLANAR: {
        bool swap = code == zeceCOLOR_BGR2RGB_INTERLEAVE2PLANAR || code == zeceCOLOR_RGB2BGR_INTERLEAVE2PLANAR;
        std::vector<cv::Mat> planes{out.planes[0].mat(), out.planes[1].mat(), out.planes[2].mat()};
        if (swap) std::swap(planes[0], planes[2]);
        cv::split(in.planes[0].mat(), planes.data());
        break;
    }
    case zeceCOLOR_YUV2GRAY_NV12: in.planes[0].mat().copyTo(target); break;
    case zeceCOLOR_BGR2GRAY_INTERLEAVE:
    case zeceCOLOR_BGR2GRAY_PLANAR: cv::cvtColor(interleavedPixels(in), target, cv::COLOR_BGR2GRAY); break;
    case zeceCOLOR_RGB2GRAY_INTERLEAVE:
    case zeceCOLOR_RGB2GRAY_PLANAR: cv::cvtColor(interleavedPixels(in), target, cv::COLOR_RGB2GRAY); break;
    default:  // zeceCOLOR_RGB2YUV_NV12_PLANAR, zeceCOLOR_BGR2YUV_NV12_PLANAR
        rgbToNv12(interleavedPixels(in), code == zeceCOLOR_BGR2YUV_NV12_PLANAR, coding, out);
        break;
    }
    return zeceER_SUCCESS;
}

}  // namespace zece
