// Placeholder until the resampler lands.
#include "preprocess/resample.hpp"

namespace zece {

bool isPillow(zeceResizeType type) {
    switch (type) {
    case zeceRESIZE_BILINEAR_PILLOW:
    case zeceRESIZE_LANCZOS_PILLOW:
    case zeceRESIZE_BOX_PILLOW:
    case zeceRESIZE_HAMMING_PILLOW:
    case zeceRESIZE_BICUBIC_PILLOW: return true;
    default: return false;
    }
}

Taps makeTaps(zeceResizeType, int, int) { return {}; }

void resamplePlane(const Plane &, const Plane &, const Taps &, const Taps &) {}

}  // namespace zece
