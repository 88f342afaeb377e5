// Half-precision conversions of the common runtime, data type sizes and MD5.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/float16.hpp"
#include "md5.h"
#include "zecm.h"

namespace {

namespace half = zecm::half;

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

std::vector<uint16_t> allHalves() {
    std::vector<uint16_t> halves(65536);
    for (uint32_t i = 0; i < halves.size(); ++i) halves[i] = static_cast<uint16_t>(i);
    return halves;
}

// Float32 bit patterns that cover every half result and every rounding case:
// each combination of sign, exponent and the top 11 mantissa bits (the kept
// bits plus the rounding bit), with the low 12 bits empty, minimal, at half and
// full; plus random patterns.
std::vector<float> roundingCases() {
    std::vector<float> values;
    for (uint32_t top = 0; top < (1u << 20); ++top)
        for (uint32_t low : {0x000u, 0x001u, 0x800u, 0xfffu}) values.push_back(floatOf(top << 12 | low));
    std::mt19937 random(12345);
    for (int i = 0; i < 1 << 20; ++i) values.push_back(floatOf(random()));
    return values;
}

struct Known {
    uint16_t bits;
    float value;
};

// Exact pairs, both directions.
const Known kExact[] = {
    {0x0000, 0.0f},          {0x8000, -0.0f},          {0x3c00, 1.0f},
    {0xc000, -2.0f},         {0x3555, 0.333251953125f}, {0x7bff, 65504.0f},
    {0x0001, 0x1p-24f},      {0x03ff, 0x3ffp-24f},     {0x0400, 0x1p-14f},
    {0x8001, -0x1p-24f},     {0x7c00, INFINITY},        {0xfc00, -INFINITY},
};

TEST(Float16, ExactValuesConvertBothWays) {
    for (const Known &known : kExact) {
        EXPECT_EQ(bitsOf(half::toFloat32Portable(known.bits)), bitsOf(known.value)) << known.bits;
        EXPECT_EQ(half::toFloat16Portable(known.value), known.bits) << known.value;
    }
}

TEST(Float16, RoundsToNearestEven) {
    const std::pair<float, uint16_t> cases[] = {
        {2049.0f, 0x6800},           // tie between 2048 and 2050: even 2048
        {2051.0f, 0x6802},           // tie between 2050 and 2052: even 2052
        {2049.0005f, 0x6801},        // above the tie
        {65519.996f, 0x7bff},        // just below the overflow tie
        {65520.0f, 0x7c00},          // tie between 65504 and 65536: overflows
        {1e10f, 0x7c00},             {-1e10f, 0xfc00},
        {0x1p-25f, 0x0000},          // half the smallest subnormal: tie to zero
        {0x1.000002p-25f, 0x0001},   // just above: the smallest subnormal
        {0x3p-25f, 0x0002},          // 1.5 units: tie to even 2
        {0x5p-25f, 0x0002},          // 2.5 units: tie to even 2
        {0x7ffp-25f, 0x0400},        // rounds up out of the subnormals
        {0x1p-30f, 0x0000},          {-0x1p-30f, 0x8000},
    };
    for (const auto &[value, bits] : cases) EXPECT_EQ(half::toFloat16Portable(value), bits) << value;
}

TEST(Float16, NaNsStayNaNsWithSignAndBecomeQuiet) {
    // Signalling float NaN with payload bits in the kept range.
    EXPECT_EQ(half::toFloat16Portable(floatOf(0x7f802000u)), 0x7e01);
    EXPECT_EQ(half::toFloat16Portable(floatOf(0xff800001u)), 0xfe00);  // payload only in dropped bits
    EXPECT_EQ(half::toFloat16Portable(floatOf(0x7fc00000u)), 0x7e00);
    EXPECT_EQ(bitsOf(half::toFloat32Portable(0x7c01)), 0x7fc02000u);
    EXPECT_EQ(bitsOf(half::toFloat32Portable(0xfe00)), 0xffc00000u);
}

TEST(Float16, EveryHalfSurvivesTheRoundTrip) {
    for (uint32_t bits = 0; bits < 65536; ++bits) {
        const float value = half::toFloat32Portable(static_cast<uint16_t>(bits));
        if (std::isnan(value)) continue;
        EXPECT_EQ(half::toFloat16Portable(value), bits);
    }
}

TEST(Float16, PortableAndHardwareAgreeOnEveryHalf) {
    if (!half::hardware()) GTEST_SKIP() << "no F16C";
    const std::vector<uint16_t> halves = allHalves();
    std::vector<float> portable(halves.size()), hardware(halves.size());
    half::toFloat32Portable(halves.data(), halves.size(), portable.data());
    half::toFloat32Hardware(halves.data(), halves.size(), hardware.data());
    for (size_t i = 0; i < halves.size(); ++i)
        ASSERT_EQ(bitsOf(portable[i]), bitsOf(hardware[i])) << "half " << i;
}

TEST(Float16, PortableAndHardwareAgreeOnRounding) {
    if (!half::hardware()) GTEST_SKIP() << "no F16C";
    const std::vector<float> values = roundingCases();
    std::vector<uint16_t> portable(values.size()), hardware(values.size());
    half::toFloat16Portable(values.data(), values.size(), portable.data());
    half::toFloat16Hardware(values.data(), values.size(), hardware.data());
    for (size_t i = 0; i < values.size(); ++i)
        ASSERT_EQ(portable[i], hardware[i]) << std::hex << "float bits 0x" << bitsOf(values[i]);
}

TEST(Float16, ArraysOfEveryTailLengthMatchSingleValues) {
    std::mt19937 random(7);
    for (uint32_t count = 0; count <= 19; ++count) {
        std::vector<float> values(count);
        for (float &value : values) value = std::ldexp(float(random()) / 4294967296.0f, 16) - 32768.0f;
        std::vector<uint16_t> bits(count, 0xdead);
        ASSERT_EQ(zecmFloat32ToFloat16Array(values.data(), count, bits.data()), 0u);
        std::vector<float> back(count, -1.0f);
        ASSERT_EQ(zecmFloat16ToFloat32Array(bits.data(), count, back.data()), 0u);
        for (uint32_t i = 0; i < count; ++i) {
            uint16_t one = 0;
            float oneBack = 0;
            ASSERT_EQ(zecmFloat32ToFloat16(values[i], &one), 0u);
            ASSERT_EQ(zecmFloat16ToFloat32(one, &oneBack), 0u);
            EXPECT_EQ(bits[i], one);
            EXPECT_EQ(bits[i], half::toFloat16Portable(values[i]));
            EXPECT_EQ(bitsOf(back[i]), bitsOf(oneBack));
        }
    }
}

TEST(Float16, RuntimeRefusesNullArraysUnlessEmpty) {
    float value = 0;
    uint16_t bits = 0;
    EXPECT_EQ(zecmFloat16ToFloat32(0x3c00, nullptr), zecmER_INVALID_PARAM);
    EXPECT_EQ(zecmFloat32ToFloat16(1.0f, nullptr), zecmER_INVALID_PARAM);
    EXPECT_EQ(zecmFloat16ToFloat32Array(nullptr, 1, &value), zecmER_INVALID_PARAM);
    EXPECT_EQ(zecmFloat16ToFloat32Array(&bits, 1, nullptr), zecmER_INVALID_PARAM);
    EXPECT_EQ(zecmFloat32ToFloat16Array(nullptr, 1, &bits), zecmER_INVALID_PARAM);
    EXPECT_EQ(zecmFloat32ToFloat16Array(&value, 1, nullptr), zecmER_INVALID_PARAM);
    EXPECT_EQ(zecmFloat16ToFloat32Array(nullptr, 0, nullptr), zecmER_SUCCESS);
    EXPECT_EQ(zecmFloat32ToFloat16Array(nullptr, 0, nullptr), zecmER_SUCCESS);
}

TEST(DataType, SizesAndTypesWithoutOne) {
    const std::pair<zecmDType, uint32_t> sizes[] = {
        {zecmDT_UINT8, 1},  {zecmDT_INT8, 1},  {zecmDT_UINT16, 2},  {zecmDT_INT16, 2},
        {zecmDT_UINT32, 4}, {zecmDT_INT32, 4}, {zecmDT_FLOAT16, 2}, {zecmDT_FLOAT32, 4},
        {zecmDT_BFLOAT, 2},
    };
    for (const auto &[type, expected] : sizes) {
        uint32_t size = 0;
        EXPECT_EQ(zecmGetDataTypeSize(type, &size), 0u);
        EXPECT_EQ(size, expected) << type;
    }
    uint32_t size = 123;
    EXPECT_EQ(zecmGetDataTypeSize(zecmDT_ANY, &size), zecmER_INVALID_DATATYPE);
    EXPECT_EQ(zecmGetDataTypeSize(static_cast<zecmDType>(9), &size), zecmER_INVALID_DATATYPE);
    EXPECT_EQ(size, 123u);
    EXPECT_EQ(zecmGetDataTypeSize(zecmDT_INT8, nullptr), zecmER_INVALID_PARAM);
}

TEST(Md5, DigestsAsLowerCaseHex) {
    EXPECT_EQ(md5::digestString("abc", 3), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5::digestString("", 0), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5::digestString(nullptr, 0), "d41d8cd98f00b204e9800998ecf8427e");
    const std::string million(1000000, 'a');
    EXPECT_EQ(md5::digestString(million.data(), million.size()), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(Md5, NullDataWithALengthGivesAnEmptyDigest) {
    EXPECT_EQ(md5::digestString(nullptr, 16), "");
}

}  // namespace
