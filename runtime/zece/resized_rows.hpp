// Rows of a fused op's resized picture, in RGB or BGR bytes, made as the output
// rows ask for them: only the source rows and columns that those read are
// converted and resampled, each once.
#pragma once
#include <memory>
#include <vector>
#include <opencv2/core.hpp>

#include "zece/fused_plan.hpp"
#include "zece/row_resampler.hpp"

namespace zece {

// Rows of the resized picture (plan.resized), interleaved RGB or BGR bytes, columns
// [window.x, window.x + window.width) of it (letterbox: all of it).
class ResizedRows {
public:
    // `needed`: the resized rows that will be asked for (a stripe of the output).
    ResizedRows(const Plan &plan, cv::Range needed);

    // Resized row `row`, columns_.size() pixels.
    const uint8_t *row(int row);

private:
    // Source row `row` in RGB, in the gathered columns.
    const uint8_t *convertedRow(int row);
    // Converts the needed row pairs from `first` on, as many as the band holds.
    void convertBand(int first);

    const Plan &plan_;
    cv::Range columns_;
    std::unique_ptr<Resampler> rgb_, y_, uv_;
    std::vector<uint8_t> line_;
    std::vector<int> pairs_;        // the source's chroma columns whose pixels are converted
    std::vector<int> neededPairs_;  // the source's row pairs the taps read, rising
    std::vector<int> band_;         // the row pairs converted now
    std::vector<int> bandOf_;       // per row pair of the picture: its place in the band, or -1
    cv::Mat pairY_, pairUv_, pairRgb_, gatheredY_, gatheredUv_, convertedRgb_;
    int currentPair_ = -1;
};

}  // namespace zece
