// Resampling taps and the plane resampler of the preprocess library.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>
#include <opencv2/imgproc.hpp>

#include "zece/resample.hpp"

namespace {

using zece::makeTaps;
using zece::Taps;

const zeceResizeType kKinds[] = {zeceRESIZE_BILINEAR,       zeceRESIZE_NEAREST,         zeceRESIZE_BICUBIC,
                                 zeceRESIZE_LANCZOS,        zeceRESIZE_BILINEAR_PILLOW, zeceRESIZE_BILINEAR_CV,
                                 zeceRESIZE_LANCZOS_PILLOW, zeceRESIZE_LANCZOS_CV,      zeceRESIZE_BOX_PILLOW,
                                 zeceRESIZE_HAMMING_PILLOW, zeceRESIZE_BICUBIC_PILLOW,  zeceRESIZE_NEAREST_CV};
const std::pair<int, int> kSizes[] = {{1, 1},       {1, 7},      {7, 1},      {2, 3},     {5, 5},     {17, 6},
                                      {1920, 1280}, {1080, 224}, {224, 1080}, {16384, 1}, {1, 16384}, {16384, 16383}};

zece::Plane planeOf(cv::Mat &mat) { return {mat.data, mat.cols, mat.rows, mat.channels(), mat.step}; }

TEST(ResampleTaps, WeightsSumToOneInsideTheSource) {
    for (zeceResizeType kind : kKinds)
        for (auto [in, out] : kSizes) {
            SCOPED_TRACE(testing::Message() << kind << ": " << in << " -> " << out);
            Taps taps = makeTaps(kind, in, out);
            ASSERT_GE(taps.width, 1);
            ASSERT_LE(taps.width, in);
            ASSERT_EQ(taps.first.size(), size_t(out));
            ASSERT_EQ(taps.weights.size(), size_t(out) * taps.width);
            ASSERT_EQ(taps.fixed.size(), zece::isPillow(kind) ? taps.weights.size() : 0);
            for (int i = 0; i < out; ++i) {
                ASSERT_GE(taps.first[i], 0);
                ASSERT_LE(taps.first[i] + taps.width, in);
                double sum = 0;
                for (int t = 0; t < taps.width; ++t) sum += taps.weights[size_t(i) * taps.width + t];
                ASSERT_NEAR(sum, 1.0, 1e-5) << "position " << i;
            }
        }
}

TEST(ResampleTaps, EmptyForOtherKindsAndSizes) {
    EXPECT_EQ(makeTaps(zeceRESIZE_NO_RESIZE, 4, 2).width, 0);
    EXPECT_EQ(makeTaps(zeceRESIZE_BUTT, 4, 2).width, 0);
    EXPECT_EQ(makeTaps(zeceRESIZE_BILINEAR, 0, 2).width, 0);
    EXPECT_EQ(makeTaps(zeceRESIZE_BOX_PILLOW, 4, zece::kMaxSide + 1).width, 0);
}

// The source index each output position takes, by resizing a row of indices.
std::vector<int> cvIndices(int in, int out, int interpolation) {
    cv::Mat row(1, in, CV_16U), result;
    for (int i = 0; i < in; ++i) row.at<uint16_t>(i) = i;
    cv::resize(row, result, cv::Size(out, 1), 0, 0, interpolation);
    return std::vector<int>(result.begin<uint16_t>(), result.end<uint16_t>());
}

TEST(ResampleTaps, NearestPicksThePixelOfCvResize) {
    for (auto [in, out] : kSizes) {
        Taps taps = makeTaps(zeceRESIZE_NEAREST_CV, in, out);
        std::vector<int> expected = cvIndices(in, out, cv::INTER_NEAREST);
        for (int i = 0; i < out; ++i) ASSERT_EQ(taps.first[i], expected[i]) << in << " -> " << out << " at " << i;
    }
}

// Bilinear taps applied in doubles, both ways, rounded once: within 1 of cv::resize.
TEST(ResampleTaps, BilinearWithinOneOfCvResize) {
    const cv::Size pairs[][2] = {{{64, 48}, {32, 24}}, {{37, 29}, {81, 50}}, {{100, 7}, {33, 19}}, {{5, 3}, {1, 1}}};
    cv::RNG rng(7);
    for (auto &pair : pairs) {
        cv::Mat in(pair[0], CV_8U), expected;
        rng.fill(in, cv::RNG::UNIFORM, 0, 256);
        cv::resize(in, expected, pair[1], 0, 0, cv::INTER_LINEAR);
        Taps across = makeTaps(zeceRESIZE_BILINEAR, in.cols, pair[1].width);
        Taps down = makeTaps(zeceRESIZE_BILINEAR, in.rows, pair[1].height);
        for (int y = 0; y < pair[1].height; ++y)
            for (int x = 0; x < pair[1].width; ++x) {
                double sum = 0;
                for (int v = 0; v < down.width; ++v)
                    for (int u = 0; u < across.width; ++u)
                        sum += down.weights[size_t(y) * down.width + v] * across.weights[size_t(x) * across.width + u] *
                               in.at<uint8_t>(down.first[y] + v, across.first[x] + u);
                ASSERT_LE(std::abs(std::lround(sum) - expected.at<uint8_t>(y, x)), 1)
                    << pair[0] << " at " << x << "," << y;
            }
    }
}

TEST(ResamplePlane, ConstantPlanesStayConstant) {
    const std::pair<cv::Size, cv::Size> pairs[] = {
        {{16384, 1}, {1, 3}}, {{1, 2}, {16384, 1}}, {{3, 4000}, {2, 1}}, {{9, 7}, {9, 7}}, {{40, 30}, {17, 61}}};
    for (zeceResizeType kind : kKinds)
        for (auto [from, to] : pairs) {
            cv::Mat in(from, CV_8UC3, cv::Scalar(0, 200, 255)), out(to, CV_8UC3, cv::Scalar::all(1));
            zece::resamplePlane(planeOf(in), planeOf(out), makeTaps(kind, from.width, to.width),
                                makeTaps(kind, from.height, to.height));
            cv::Mat difference;
            cv::absdiff(out, cv::Scalar(0, 200, 255), difference);
            EXPECT_EQ(cv::countNonZero(difference.reshape(1)), 0) << kind << " " << from << " -> " << to;
        }
}

TEST(ResamplePlane, TapsThatDoNotFitLeaveTheOutputAlone) {
    cv::Mat in(6, 8, CV_8U, cv::Scalar(9)), out(3, 4, CV_8U, cv::Scalar(1));
    Taps across = makeTaps(zeceRESIZE_BILINEAR_PILLOW, 8, 4), down = makeTaps(zeceRESIZE_BILINEAR_PILLOW, 6, 3);
    Taps wrongSize = makeTaps(zeceRESIZE_BILINEAR_PILLOW, 8, 5), outside = across, huge = down;
    outside.first[3] = 8 - outside.width + 1;
    huge.fixed.clear();
    huge.weights[0] = 1e30f;
    const std::pair<Taps, Taps> cases[] = {{wrongSize, down}, {outside, down}, {across, huge}, {Taps{}, down}};
    for (const auto &[horizontal, vertical] : cases) {
        zece::resamplePlane(planeOf(in), planeOf(out), horizontal, vertical);
        EXPECT_EQ(cv::countNonZero(out != 1), 0);
    }
    zece::resamplePlane(planeOf(in), planeOf(out), across, down);
    EXPECT_EQ(cv::countNonZero(out != 9), 0);
}

}  // namespace
