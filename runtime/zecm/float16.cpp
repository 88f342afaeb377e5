// Conversions between 32-bit floats and IEEE binary16 bits.
#include "zecm/float16.hpp"

#include <cpuid.h>
#include <immintrin.h>

#include <cstring>

#include "zecm/runtime.hpp"

namespace zecm::half {
namespace {

uint32_t bitsOf(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

float floatOf(uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// F16C and AVX, with the system saving the AVX registers (read from CPUID and XCR0:
// clang's __builtin_cpu_supports knows no "f16c").
bool detectHardware() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    if (!(c & bit_F16C) || !(c & bit_AVX) || !(c & bit_OSXSAVE)) return false;
    unsigned low = 0, high = 0;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (low & 6) == 6;  // XMM and YMM state
}

}  // namespace

bool hardware() {
    static const bool present = detectHardware();
    return present;
}

float toFloat32Portable(uint16_t bits) {
    const uint32_t sign = static_cast<uint32_t>(bits & 0x8000u) << 16;
    uint32_t exponent = (bits >> 10) & 0x1fu;
    uint32_t mantissa = bits & 0x3ffu;
    if (exponent == 0x1f) {
        // Infinity, or a NaN made quiet with its payload kept.
        return floatOf(sign | 0x7f800000u | (mantissa << 13) | (mantissa ? 0x400000u : 0u));
    }
    if (exponent == 0) {
        if (mantissa == 0) return floatOf(sign);
        // Subnormal: mantissa * 2^-24, normalised so that bit 10 is the implicit one.
        const int shift = __builtin_clz(mantissa) - 21;
        mantissa = (mantissa << shift) & 0x3ffu;
        return floatOf(sign | static_cast<uint32_t>(113 - shift) << 23 | mantissa << 13);
    }
    return floatOf(sign | (exponent + 112) << 23 | mantissa << 13);
}

uint16_t toFloat16Portable(float value) {
    const uint32_t bits = bitsOf(value);
    const uint16_t sign = static_cast<uint16_t>((bits >> 16) & 0x8000u);
    const uint32_t magnitude = bits & 0x7fffffffu;
    if (magnitude > 0x7f800000u)  // NaN: quiet, top ten payload bits kept
        return static_cast<uint16_t>(sign | 0x7e00u | ((magnitude >> 13) & 0x3ffu));
    if (magnitude >= 0x47800000u)  // 65536 and above, infinity
        return static_cast<uint16_t>(sign | 0x7c00u);
    if (magnitude >= 0x38800000u) {
        // Normal half: rebias the exponent (127 -> 15) and round away the low 13
        // bits to nearest even. A carry runs into the exponent, up to infinity.
        const uint32_t rebiased = magnitude - 0x38000000u;
        const uint32_t rounded = rebiased + 0xfffu + ((rebiased >> 13) & 1u);
        return static_cast<uint16_t>(sign | (rounded >> 13));
    }
    if (magnitude < 0x33000000u)  // below half the smallest subnormal: zero
        return sign;
    // Subnormal half, in units of 2^-24: the significand shifted right, rounded
    // to nearest even. Rounding up from the largest subnormal gives the smallest
    // normal, whose encoding is the next integer.
    const uint32_t exponent = magnitude >> 23;  // 102 .. 112
    const uint32_t significand = (magnitude & 0x7fffffu) | 0x800000u;
    const uint32_t shift = 126 - exponent;  // 14 .. 24
    uint32_t quotient = significand >> shift;
    const uint32_t remainder = significand & ((1u << shift) - 1);
    const uint32_t halfway = 1u << (shift - 1);
    if (remainder > halfway || (remainder == halfway && (quotient & 1u))) ++quotient;
    return static_cast<uint16_t>(sign | quotient);
}

void toFloat32Portable(const uint16_t *bits, size_t count, float *values) {
    for (size_t i = 0; i < count; ++i) values[i] = toFloat32Portable(bits[i]);
}

void toFloat16Portable(const float *values, size_t count, uint16_t *bits) {
    for (size_t i = 0; i < count; ++i) bits[i] = toFloat16Portable(values[i]);
}

__attribute__((target("f16c,avx"))) void toFloat32Hardware(const uint16_t *bits, size_t count, float *values) {
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i half = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bits + i));
        _mm256_storeu_ps(values + i, _mm256_cvtph_ps(half));
    }
    if (i < count) {
        // The tail goes through the same instruction on a zero-padded copy.
        uint16_t in[8] = {};
        float out[8];
        std::memcpy(in, bits + i, (count - i) * sizeof *bits);
        _mm256_storeu_ps(out, _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i *>(in))));
        std::memcpy(values + i, out, (count - i) * sizeof *values);
    }
}

__attribute__((target("f16c,avx"))) void toFloat16Hardware(const float *values, size_t count, uint16_t *bits) {
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i half = _mm256_cvtps_ph(_mm256_loadu_ps(values + i), _MM_FROUND_TO_NEAREST_INT);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(bits + i), half);
    }
    if (i < count) {
        float in[8] = {};
        uint16_t out[8];
        std::memcpy(in, values + i, (count - i) * sizeof *values);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out),
                         _mm256_cvtps_ph(_mm256_loadu_ps(in), _MM_FROUND_TO_NEAREST_INT));
        std::memcpy(bits + i, out, (count - i) * sizeof *bits);
    }
}

void toFloat32(const uint16_t *bits, size_t count, float *values) {
    if (hardware())
        toFloat32Hardware(bits, count, values);
    else
        toFloat32Portable(bits, count, values);
}

void toFloat16(const float *values, size_t count, uint16_t *bits) {
    if (hardware())
        toFloat16Hardware(values, count, bits);
    else
        toFloat16Portable(values, count, bits);
}

}  // namespace zecm::half

using namespace zecm;

uint32_t zecmFloat16ToFloat32(uint16_t value, float *result) {
    ZESIM_CALL(value, result) {
        if (!result) return zecmER_INVALID_PARAM;
        half::toFloat32(&value, 1, result);
        return zecmER_SUCCESS;
    };
}

uint32_t zecmFloat32ToFloat16(float value, uint16_t *result) {
    ZESIM_CALL(value, result) {
        if (!result) return zecmER_INVALID_PARAM;
        half::toFloat16(&value, 1, result);
        return zecmER_SUCCESS;
    };
}

// A count of 0 converts nothing and accepts null arrays.
uint32_t zecmFloat16ToFloat32Array(const uint16_t *values, uint32_t count, float *results) {
    ZESIM_CALL(zesim::array(values, count), count, results) {
        if (count && (!values || !results)) return zecmER_INVALID_PARAM;
        half::toFloat32(values, count, results);
        return zecmER_SUCCESS;
    };
}

uint32_t zecmFloat32ToFloat16Array(const float *values, uint32_t count, uint16_t *results) {
    ZESIM_CALL(zesim::array(values, count), count, results) {
        if (count && (!values || !results)) return zecmER_INVALID_PARAM;
        half::toFloat16(values, count, results);
        return zecmER_SUCCESS;
    };
}
