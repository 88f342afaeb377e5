// The JPEG file loader's scan for the end of the image.
#include <gtest/gtest.h>

#include <vector>

#include "bindings/zeme/jpeg_file.hpp"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes operator+(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Bytes kStart = {0xFF, 0xD8};
const Bytes kEnd = {0xFF, 0xD9};

// A segment: marker, big-endian length (counting itself) and payload.
Bytes segment(uint8_t marker, const Bytes &payload) {
    size_t length = payload.size() + 2;
    return Bytes{0xFF, marker, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)} + payload;
}

bool missing = false;  // whether the last scan printed its missing-end line

// The scan over exactly these bytes (a read past them is caught by the sanitizers).
uint32_t imageLength(const Bytes &bytes) {
    testing::internal::CaptureStdout();
    uint32_t length = halvora::zeme::jpegImageLength(bytes.data(), static_cast<uint32_t>(bytes.size()));
    missing = testing::internal::GetCapturedStdout() == "EOI missing from end of file!\n";
    return length;
}

const Bytes kScan = {0x12, 0x34, 0x56, 0xFF, 0x00, 0x78};  // entropy-coded bytes with a stuffed 0xFF

TEST(JpegFile, BaselineEndsAtItsMarkerWhateverFollows) {
    Bytes image = kStart + segment(0xE0, {'J', 'F', 'I', 'F', 0}) + segment(0xC0, Bytes(15, 1)) + segment(0xDA, {1}) +
                  kScan + kEnd;
    EXPECT_EQ(imageLength(image + Bytes(100, 0x55)), image.size());
    EXPECT_FALSE(missing);
}

TEST(JpegFile, JfxxThumbnailEndIsSkipped) {
    Bytes thumbnail = kStart + segment(0xC0, Bytes(15, 1)) + kScan + kEnd;
    Bytes jfxx = segment(0xE0, Bytes{'J', 'F', 'X', 'X', 0, 0x10} + thumbnail);
    Bytes image = kStart + jfxx + segment(0xC0, Bytes(15, 1)) + kScan + kEnd;
    EXPECT_EQ(imageLength(image + Bytes{0, 0}), image.size());
}

TEST(JpegFile, App1SegmentsAreSkippedByTheirLength) {
    Bytes exif = segment(0xE1, Bytes{'E', 'x', 'i', 'f', 0, 0} + kStart + kEnd);  // a thumbnail inside
    Bytes image = kStart + exif + segment(0xC0, Bytes(15, 1)) + kScan + kEnd;
    EXPECT_EQ(imageLength(image + Bytes(7, 9)), image.size());
}

TEST(JpegFile, ProgressiveEndsAtTheLastMarkerPair) {
    Bytes image = kStart + segment(0xC2, Bytes(15, 1)) + kScan + kEnd + kScan + kEnd;
    EXPECT_EQ(imageLength(image + Bytes{1, 2, 3}), image.size());
    EXPECT_EQ(imageLength(image), image.size());
}

TEST(JpegFile, MissingEndsFallBackToTheLastEndSeen) {
    EXPECT_EQ(imageLength({}), 0u);
    EXPECT_TRUE(missing);
    EXPECT_EQ(imageLength(kStart + segment(0xC0, Bytes(15, 1)) + kScan), 0u);
    EXPECT_TRUE(missing);
    // An APP1 segment that runs to the end of the data, and one that runs past it.
    EXPECT_EQ(imageLength(kStart + segment(0xE1, {1, 2, 3})), 0u);
    Bytes cut = kStart + segment(0xE1, {1, 2, 3});
    cut.pop_back();
    EXPECT_EQ(imageLength(cut), 0u);
}

TEST(JpegFile, SegmentLengthsAtTheEdgeAreNotReadPastTheData) {
    // The length's first byte is the last byte held: its second byte is not read.
    for (uint8_t marker : {0xE1, 0xC2}) {
        EXPECT_EQ(imageLength(kStart + Bytes{0xFF, marker, 0x00}), 0u);
        EXPECT_TRUE(missing);
        EXPECT_EQ(imageLength(Bytes{0xFF, marker}), 0u);
    }
}

}  // namespace
