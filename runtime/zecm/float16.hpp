// IEEE 754 binary16 conversions of the common runtime. The exported functions
// pick the CPU's conversion instructions (F16C) when the processor has them and
// a bit-exact portable implementation otherwise; both round to nearest, ties to
// even, keep infinities and subnormals, and turn every NaN into a quiet NaN of
// the same sign with the top payload bits kept.
#pragma once
#include <cstddef>
#include <cstdint>

#ifndef ZECM_INTERNAL
#define ZECM_INTERNAL __attribute__((visibility("default")))
#endif

namespace zecm::half {

// True when the F16C path is used (the processor and the OS support F16C and AVX).
ZECM_INTERNAL bool hardware();

// Portable conversions.
ZECM_INTERNAL float toFloat32Portable(uint16_t bits);
ZECM_INTERNAL uint16_t toFloat16Portable(float value);
ZECM_INTERNAL void toFloat32Portable(const uint16_t *bits, size_t count, float *values);
ZECM_INTERNAL void toFloat16Portable(const float *values, size_t count, uint16_t *bits);

// F16C conversions; call only when hardware() is true.
ZECM_INTERNAL void toFloat32Hardware(const uint16_t *bits, size_t count, float *values);
ZECM_INTERNAL void toFloat16Hardware(const float *values, size_t count, uint16_t *bits);

// The conversions the runtime uses: hardware when present, portable otherwise.
ZECM_INTERNAL void toFloat32(const uint16_t *bits, size_t count, float *values);
ZECM_INTERNAL void toFloat16(const float *values, size_t count, uint16_t *bits);

}  // namespace zecm::half
