// Resampling of pictures one output row at a time, as the fused ops need it: only
// the source rows and columns that the asked-for output rows read are resampled,
// each once. OpenCV's bilinear and nearest resizes (and its area average for exact
// halves) run on OpenCV's own fixed-point arithmetic and Pillow's filters on
// Pillow's passes (resample.hpp), so their bytes are exact; OpenCV's bicubic and
// Lanczos filters run on floating-point taps (within 1 of its bytes).
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "zece/resample.hpp"

namespace zece {

enum class Mode { Nearest, Linear, Area, Pillow, Taps };

// The mode a resize kind runs in for these sizes; OpenCV turns a bilinear resize by
// exactly one half on both axes into an area average.
ZECE_INTERNAL Mode modeOf(zeceResizeType type, int inWidth, int inHeight, int outWidth, int outHeight);

// One axis of a resample: for each output position the source indices it reads (and
// their weights), the sources already offset into the picture.
struct Axis {
    Mode mode = Mode::Nearest;
    int count = 0;               // output positions
    int taps = 1;                // the most sources one position reads
    std::vector<int> index;      // all modes but Pillow: `taps` sources a position
    std::vector<int> fixed;      // Linear: weights scaled by 2^11, as OpenCV rounds them
    std::vector<float> weights;  // Taps
    Kernel kernel;               // Pillow: each position's window and weights

    // Calls visit(source) for every source index that position i reads.
    template <class Visit> void sources(int i, Visit visit) const {
        if (mode == Mode::Pillow) {
            for (int t = 0; t < kernel.count[i]; ++t) visit(kernel.start[i] + t);
            return;
        }
        for (int k = 0; k < taps; ++k) visit(index[static_cast<size_t>(i) * taps + k]);
    }

    // Replaces every source index s by map(s), for a map under which the consecutive
    // sources of a window stay consecutive.
    template <class Map> void remap(Map map) {
        for (int &source : mode == Mode::Pillow ? kernel.start : index) source = map(source);
    }
};

// Output positions [begin, begin + count) of a resize from `in` to `out` positions,
// whose sources start at `offset` in the picture. `rows`: the vertical axis (OpenCV's
// bilinear resize treats the edges of the two axes apart).
ZECE_INTERNAL Axis makeAxis(Mode mode, zeceResizeType type, int in, int out, int offset, int begin, int count,
                            bool rows);

// Source rows of `channels` bytes per pixel, addressed by their row in the picture.
using RowSource = std::function<const uint8_t *(int row)>;

// A separable resample of source rows into output rows of bytes. Horizontally
// resampled source rows are kept in a ring as long as output rows still need them.
class Resampler {
public:
    Resampler(Axis horizontal, Axis vertical, int channels, RowSource source);

    // Output row y (of the vertical axis) as bytes.
    void row(int y, uint8_t *__restrict out);

private:
    int slot(int row) const { return row % slots_; }
    // Source row `row` through the horizontal pass `pass`, kept in its slot of `ring`.
    template <class T, class Pass> const T *through(std::vector<std::vector<T>> &ring, int row, Pass pass);
    // Source row `row` through the horizontal pass of the mode.
    const int32_t *ints(int row);
    const float *floats(int row);
    const uint8_t *bytes(int row);

    Axis h_, v_;
    int channels_;
    RowSource source_;
    int width_;  // bytes of an output row
    int slots_;
    std::vector<int> keys_;
    std::vector<std::vector<int32_t>> ints_;
    std::vector<std::vector<float>> floats_;
    std::vector<std::vector<uint8_t>> bytes_;
    std::vector<float> sum_;
    std::vector<const uint8_t *> window_;
};

}  // namespace zece
