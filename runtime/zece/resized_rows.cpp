// The resized rows of a fused op's picture, in RGB: NV12 source rows converted in
// bands then resampled, or the Y and UV planes resampled then converted, or RGB rows
// resampled.
#include "zece/resized_rows.hpp"

#include <algorithm>
#include <cstring>

namespace zece {
namespace {

constexpr int kBandPairs = 32;  // row pairs of the source converted by one call

}  // namespace

ResizedRows::ResizedRows(const Plan &plan, cv::Range needed) : plan_(plan) {
    const cv::Rect &s = plan.source;
    const cv::Size &r = plan.resized;
    columns_ = plan.letterbox() ? cv::Range(0, r.width) : cv::Range(plan.window.x, plan.window.x + plan.window.width);
    const Image &image = plan.image;
    if (plan.op.resizesYuv) {
        // Y and UV planes resized apart (whole rows: NV12 pairs columns), then converted.
        Mode luma = modeOf(plan.resize, s.width, s.height, r.width, r.height);
        Mode chroma = modeOf(plan.resize, s.width / 2, s.height / 2, r.width / 2, r.height / 2);
        const Plane y = image.planes[0], uv = image.planes[1];
        y_ = std::make_unique<Resampler>(makeAxis(luma, plan.resize, s.width, r.width, s.x, 0, r.width, false),
                                         makeAxis(luma, plan.resize, s.height, r.height, s.y, 0, r.height, true), 1,
                                         [y](int row) { return y.data + row * y.pitch; });
        uv_ = std::make_unique<Resampler>(
            makeAxis(chroma, plan.resize, s.width / 2, r.width / 2, s.x / 2, 0, r.width / 2, false),
            makeAxis(chroma, plan.resize, s.height / 2, r.height / 2, s.y / 2, 0, r.height / 2, true), 2,
            [uv](int row) { return uv.data + row * uv.pitch; });
        pairY_.create(2, r.width, CV_8UC1);
        pairUv_.create(1, r.width / 2, CV_8UC2);
        pairRgb_.create(2, r.width, CV_8UC3);
        return;
    }
    Mode mode = modeOf(plan.resize, s.width, s.height, r.width, r.height);
    Axis vertical = makeAxis(mode, plan.resize, s.height, r.height, s.y, 0, r.height, true);
    if (plan.op.input != FusedInput::Nv12) {
        const Plane rgb = image.planes[0];
        rgb_ = std::make_unique<Resampler>(
            makeAxis(mode, plan.resize, s.width, r.width, s.x, columns_.start, columns_.size(), false),
            std::move(vertical), 3, [rgb](int row) { return rgb.data + row * rgb.pitch; });
        return;
    }
    // Source rows are converted in bands of row pairs (a pair shares its chroma row),
    // only the rows and columns the taps read: a strong reduction reads a small part
    // of the picture, and one conversion call serves many output rows.
    for (int resized = needed.start; resized < needed.end; ++resized)
        vertical.sources(resized, [&](int row) {
            if (neededPairs_.empty() || neededPairs_.back() != row / 2) neededPairs_.push_back(row / 2);
        });
    // Windows overlap, and need not end in rising order: sorted, each pair once.
    std::sort(neededPairs_.begin(), neededPairs_.end());
    neededPairs_.erase(std::unique(neededPairs_.begin(), neededPairs_.end()), neededPairs_.end());
    bandOf_.assign(plan.image.desc.height / 2, -1);
    Axis horizontal = makeAxis(mode, plan.resize, s.width, r.width, 0, columns_.start, columns_.size(), false);
    std::vector<int> rank(s.width / 2, -1);
    for (int i = 0; i < horizontal.count; ++i) horizontal.sources(i, [&](int column) { rank[column / 2] = 0; });
    for (int pair = 0; pair < s.width / 2; ++pair)
        if (rank[pair] == 0) {
            rank[pair] = static_cast<int>(pairs_.size());
            pairs_.push_back(pair);
        }
    horizontal.remap([&](int column) { return 2 * rank[column / 2] + column % 2; });
    const int used = static_cast<int>(pairs_.size()) * 2;
    const int band = std::min<int>(kBandPairs, static_cast<int>(neededPairs_.size()));
    gatheredY_.create(2 * band, used, CV_8UC1);
    gatheredUv_.create(band, used / 2, CV_8UC2);
    convertedRgb_.create(2 * band, used, CV_8UC3);
    rgb_ = std::make_unique<Resampler>(std::move(horizontal), std::move(vertical), 3,
                                       [this](int row) { return convertedRow(row); });
}

const uint8_t *ResizedRows::row(int row) {
    if (!plan_.op.resizesYuv) {
        line_.resize(static_cast<size_t>(columns_.size()) * 3);
        rgb_->row(row, line_.data());
        return line_.data();
    }
    int pair = row / 2;
    if (pair != currentPair_) {
        y_->row(2 * pair, pairY_.ptr(0));
        y_->row(2 * pair + 1, pairY_.ptr(1));
        uv_->row(pair, pairUv_.ptr(0));
        Plane y{pairY_.data, pairY_.cols, 2, 1, pairY_.step}, uv{pairUv_.data, pairUv_.cols, 1, 2, pairUv_.step};
        Plane rgb{pairRgb_.data, pairRgb_.cols, 2, 3, pairRgb_.step};
        nv12ToRgb(y, uv, rgb, plan_.bgr, plan_.coding);
        currentPair_ = pair;
    }
    return pairRgb_.ptr(row % 2) + columns_.start * 3;
}

// Rows are asked for in rising order, so a row outside the current band starts the next one.
const uint8_t *ResizedRows::convertedRow(int row) {
    const int pair = row / 2;
    if (bandOf_[pair] < 0) convertBand(pair);
    return convertedRgb_.ptr(2 * bandOf_[pair] + row % 2);
}

void ResizedRows::convertBand(int first) {
    for (int pair : band_) bandOf_[pair] = -1;
    band_.clear();
    auto from = std::lower_bound(neededPairs_.begin(), neededPairs_.end(), first);
    const int rows = convertedRgb_.rows / 2;
    for (; from != neededPairs_.end() && static_cast<int>(band_.size()) < rows; ++from) band_.push_back(*from);
    const Plane &y = plan_.image.planes[0], &uv = plan_.image.planes[1];
    const cv::Rect &s = plan_.source;
    for (size_t b = 0; b < band_.size(); ++b) {
        const int pair = band_[b];
        bandOf_[pair] = static_cast<int>(b);
        const uint8_t *y0 = y.data + 2 * pair * y.pitch + s.x, *y1 = y0 + y.pitch;
        const uint8_t *chroma = uv.data + pair * uv.pitch + s.x;  // 2 bytes a chroma pixel, as 2 of Y
        uint8_t *g0 = gatheredY_.ptr(2 * b), *g1 = gatheredY_.ptr(2 * b + 1), *gc = gatheredUv_.ptr(b);
        for (size_t i = 0; i < pairs_.size(); ++i) {
            const int at = 2 * pairs_[i];
            std::memcpy(g0 + 2 * i, y0 + at, 2);
            std::memcpy(g1 + 2 * i, y1 + at, 2);
            std::memcpy(gc + 2 * i, chroma + at, 2);
        }
    }
    const int count = static_cast<int>(band_.size());
    Plane yRows{gatheredY_.data, gatheredY_.cols, 2 * count, 1, gatheredY_.step};
    Plane uvRows{gatheredUv_.data, gatheredUv_.cols, count, 2, gatheredUv_.step};
    Plane rgb{convertedRgb_.data, convertedRgb_.cols, 2 * count, 3, convertedRgb_.step};
    nv12ToRgb(yRows, uvRows, rgb, plan_.bgr, plan_.coding);
}

}  // namespace zece
