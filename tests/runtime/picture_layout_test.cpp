// The media runtime's picture layouts against sizes worked out by hand: a 7 x 5 picture
// (odd both ways: chroma of 4 x 3 samples) with rows 10 bytes apart.
#include <gtest/gtest.h>

#include "zeme/picture_layout.hpp"

namespace {

struct Expected {
    zemePixelFormat format;
    int planes;
    uint64_t offset[3], size[3], width[3], height[3], pitch[3];
    bool vFirst;
};

class PictureLayoutTest : public testing::TestWithParam<Expected> {};

TEST_P(PictureLayoutTest, OddSizePaddedPitch) {
    const Expected &e = GetParam();
    const zeme::PictureLayout layout = zeme::pictureLayout(e.format, 7, 5, 10);
    ASSERT_EQ(layout.planes, e.planes);
    EXPECT_EQ(layout.vFirst, e.vFirst);
    EXPECT_EQ(layout.interleaved, e.planes == 2);
    EXPECT_EQ(layout.bytes, 80u);  // 10 x 5 luma, then 30 bytes of chroma either way
    for (int i = 0; i < e.planes; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(layout.plane[i].offset, e.offset[i]);
        EXPECT_EQ(layout.plane[i].size, e.size[i]);
        EXPECT_EQ(layout.plane[i].width, e.width[i]);
        EXPECT_EQ(layout.plane[i].height, e.height[i]);
        EXPECT_EQ(layout.plane[i].pitch, e.pitch[i]);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, PictureLayoutTest,
    testing::Values(Expected{ZEME_PIX_FMT_NV12, 2, {0, 50}, {50, 30}, {7, 8}, {5, 3}, {10, 10}, false},
                    Expected{ZEME_PIX_FMT_NV21, 2, {0, 50}, {50, 30}, {7, 8}, {5, 3}, {10, 10}, true},
                    Expected{
                        ZEME_PIX_FMT_YUV420P, 3, {0, 50, 65}, {50, 15, 15}, {7, 4, 4}, {5, 3, 3}, {10, 5, 5}, false}));

TEST(PictureLayout, FormatsAndPitchRules) {
    EXPECT_TRUE(zeme::pictureFormat(ZEME_PIX_FMT_NV21));
    EXPECT_FALSE(zeme::pictureFormat(ZEME_PIX_FMT_GRAY8));
    EXPECT_FALSE(zeme::pictureFormat(static_cast<uint32_t>(ZEME_PIX_FMT_NONE)));
    EXPECT_EQ(zeme::planeCount(ZEME_PIX_FMT_RGB24), 0);
    // Interleaved chroma rows of an odd width hold a whole last pair.
    EXPECT_EQ(zeme::minimumPitch(ZEME_PIX_FMT_NV12, 7), 8u);
    EXPECT_EQ(zeme::minimumPitch(ZEME_PIX_FMT_YUV420P, 7), 7u);
    // A chroma stride of 0 is the plane before's, except U's, which never takes the luma's.
    const uint32_t one[ZEME_MAX_VIDEO_PLANE] = {10, 0, 0}, two[ZEME_MAX_VIDEO_PLANE] = {10, 6, 0};
    EXPECT_EQ(zeme::planeStride(ZEME_PIX_FMT_NV12, one, 1), 10u);
    EXPECT_EQ(zeme::planeStride(ZEME_PIX_FMT_YUV420P, one, 1), 0u);
    EXPECT_EQ(zeme::planeStride(ZEME_PIX_FMT_YUV420P, two, 2), 6u);
    // Tightly packed even pictures: the decoders' outputs.
    EXPECT_EQ(zeme::pictureBytes(8, 6), 72u);
    EXPECT_EQ(zeme::packedLayout(ZEME_PIX_FMT_YUV420P, 8, 6).plane[2].offset, 60u);
    EXPECT_EQ(zeme::sampleOffset(ZEME_PIX_FMT_NV12, 1, 4, 2, 10), 14u);
    EXPECT_EQ(zeme::sampleOffset(ZEME_PIX_FMT_YUV420P, 2, 4, 2, 5), 7u);
}

}  // namespace
