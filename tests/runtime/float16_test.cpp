// Half-precision conversions of the common runtime and MD5 digests.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "zecm/float16.hpp"
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

TEST(Float16, NaNsStayNaNsWithSignAndBecomeQuiet) {
    // Signalling float NaN with payload bits in the kept range.
    EXPECT_EQ(half::toFloat16Portable(floatOf(0x7f802000u)), 0x7e01);
    EXPECT_EQ(half::toFloat16Portable(floatOf(0xff800001u)), 0xfe00);  // payload only in dropped bits
    EXPECT_EQ(half::toFloat16Portable(floatOf(0x7fc00000u)), 0x7e00);
    EXPECT_EQ(bitsOf(half::toFloat32Portable(0x7c01)), 0x7fc02000u);
    EXPECT_EQ(bitsOf(half::toFloat32Portable(0xfe00)), 0xffc00000u);
}

TEST(Float16, PortableAndHardwareAgreeOnEveryHalf) {
    if (!half::hardware()) GTEST_SKIP() << "no F16C";
    const std::vector<uint16_t> halves = allHalves();
    std::vector<float> portable(halves.size()), hardware(halves.size());
    half::toFloat32Portable(halves.data(), halves.size(), portable.data());
    half::toFloat32Hardware(halves.data(), halves.size(), hardware.data());
    for (size_t i = 0; i < halves.size(); ++i) ASSERT_EQ(bitsOf(portable[i]), bitsOf(hardware[i])) << "half " << i;
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

TEST(Md5, DigestsAsLowerCaseHex) {
    EXPECT_EQ(md5::digestString("abc", 3), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5::digestString("", 0), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5::digestString(nullptr, 0), "d41d8cd98f00b204e9800998ecf8427e");
    const std::string million(1000000, 'a');
    EXPECT_EQ(md5::digestString(million.data(), million.size()), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(Md5, NullDataWithALengthGivesAnEmptyDigest) { EXPECT_EQ(md5::digestString(nullptr, 16), ""); }

}  // namespace
