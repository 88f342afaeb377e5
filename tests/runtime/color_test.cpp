// Full-range YUV on the preprocess ops: the colorRange and chromaUpsampling attributes of
// CVT_COLOR and colorRange of the fused NV12 ops, against OpenCV's full-range (JPEG) YCrCb
// conversions.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>
#include <vector>

#include "card_test.hpp"
#include "zece.h"

namespace {

// A device block holding a copy of `bytes`, in a dataset of one buffer; both freed on destruction.
class DeviceSet {
public:
    explicit DeviceSet(size_t size, const void *bytes = nullptr) : size_(size) {
        EXPECT_EQ(zecmMalloc(size, &block_), 0u);
        if (bytes) {
            EXPECT_EQ(zecmMemcpy(const_cast<void *>(bytes), block_, size, zecmCT_COPY_TO_DEVICE), 0u);
        }
        zecmDataBuffer *buffer = nullptr;
        EXPECT_EQ(zecmCreateDataBuffer(zecmDeviceInfo{zecmDE_ZECC, 0}, block_, size, &buffer), 0u);
        EXPECT_EQ(zecmCreateDataset(zecmDM_BUFFER, &dataset_), 0u);
        EXPECT_EQ(zecmAddDatasetBuffer(dataset_, buffer), 0u);
    }
    ~DeviceSet() {
        zecmDestroyDatasetAll(dataset_);
        zecmFree(block_);
    }
    zecmDataset *dataset() const { return dataset_; }
    cv::Mat read(int rows, int cols, int type) const {
        cv::Mat out(rows, cols, type);
        EXPECT_EQ(zecmMemcpy(block_, out.data, size_, zecmCT_COPY_FROM_DEVICE), 0u);
        return out;
    }

private:
    size_t size_;
    void *block_ = nullptr;
    zecmDataset *dataset_ = nullptr;
};

struct Op {
    zeceOp *op = nullptr;
    explicit Op(zeceOpType type) { EXPECT_EQ(zeceCreateOp(type, &op), 0u); }
    ~Op() { zeceDestroyOp(op); }
    uint32_t set(const char *name, int value) { return zeceSetOpAttr(op, name, zeceDT_INT, zecePARAM_ELEMENT, value); }
};

constexpr int kWidth = 96, kHeight = 64;

// A picture with smooth regions and sharp colour edges, as full-range YCrCb (OpenCV's JPEG
// conversion) and as the NV12 of it (chroma averaged over each 2 x 2 block).
struct Picture {
    cv::Mat rgb, nv12;
    Picture() {
        cv::Mat noise(kHeight / 8, kWidth / 8, CV_8UC3);
        cv::randu(noise, 0, 256);
        cv::resize(noise, rgb, cv::Size(kWidth, kHeight), 0, 0, cv::INTER_CUBIC);
        cv::rectangle(rgb, cv::Rect(10, 8, 30, 21), cv::Scalar(250, 10, 20), cv::FILLED);
        cv::circle(rgb, cv::Point(64, 40), 15, cv::Scalar(0, 220, 255), cv::FILLED);
        cv::Mat ycrcb, planes[3], u, v;
        cv::cvtColor(rgb, ycrcb, cv::COLOR_RGB2YCrCb);
        cv::split(ycrcb, planes);
        cv::resize(planes[2], u, cv::Size(kWidth / 2, kHeight / 2), 0, 0, cv::INTER_AREA);
        cv::resize(planes[1], v, cv::Size(kWidth / 2, kHeight / 2), 0, 0, cv::INTER_AREA);
        cv::Mat uv;
        cv::merge(std::vector<cv::Mat>{u, v}, uv);
        cv::vconcat(planes[0], uv.reshape(1, kHeight / 2), nv12);
    }
    // OpenCV's full-range conversion of the NV12 picture, chroma brought up by `interpolation`.
    cv::Mat expected(int interpolation) const {
        cv::Mat uv = nv12.rowRange(kHeight, kHeight * 3 / 2).reshape(2, kHeight / 2), up, ycrcb, out;
        uv.convertTo(uv, CV_32F);  // (bilinear in 8 bits rounds a second time)
        cv::resize(uv, up, cv::Size(kWidth, kHeight), 0, 0, interpolation);
        up.convertTo(up, CV_8U);
        cv::Mat chroma[2];
        cv::split(up, chroma);
        cv::merge(std::vector<cv::Mat>{nv12.rowRange(0, kHeight), chroma[1], chroma[0]}, ycrcb);
        cv::cvtColor(ycrcb, out, cv::COLOR_YCrCb2RGB);
        return out;
    }
};

double maxDifference(const cv::Mat &a, const cv::Mat &b) {
    cv::Mat difference;
    cv::absdiff(a, b, difference);
    double most = 0;
    cv::minMaxLoc(difference.reshape(1), nullptr, &most);
    return most;
}

class FullRange : public CardTest {};

TEST_F(FullRange, ConversionsAreOpenCvsJpegOnes) {
    Picture picture;
    DeviceSet nv12(picture.nv12.total(), picture.nv12.data), rgb(kWidth * kHeight * 3);
    for (int upsampling : {0, 1}) {
        SCOPED_TRACE(upsampling);
        Op op(zeceOP_CVT_COLOR);
        ASSERT_EQ(op.set("inputWidth", kWidth) | op.set("inputHeight", kHeight) | op.set("colorRange", 1) |
                      op.set("colorCvtCode", zeceCOLOR_YUV2RGB_NV12) | op.set("chromaUpsampling", upsampling),
                  0u);
        ASSERT_EQ(zeceExecuteOp(op.op, nv12.dataset(), rgb.dataset()), 0u);
        // OpenCV converts in fixed point and rounds its upsampled chroma.
        cv::Mat expected = picture.expected(upsampling ? cv::INTER_LINEAR : cv::INTER_NEAREST);
        EXPECT_LE(maxDifference(rgb.read(kHeight, kWidth, CV_8UC3), expected), 1.0);
    }
    DeviceSet in(picture.rgb.total() * 3, picture.rgb.data), out(picture.nv12.total());
    Op op(zeceOP_CVT_COLOR);
    ASSERT_EQ(op.set("inputWidth", kWidth) | op.set("inputHeight", kHeight) | op.set("inputFormat", zeceIMG_RGB888) |
                  op.set("colorCvtCode", zeceCOLOR_RGB2YUV_NV12_PLANAR) | op.set("colorRange", 1),
              0u);
    ASSERT_EQ(zeceExecuteOp(op.op, in.dataset(), out.dataset()), 0u);
    EXPECT_LE(maxDifference(out.read(kHeight * 3 / 2, kWidth, CV_8UC1), picture.nv12), 1.0);
    for (auto [name, value] : {std::pair{"colorRange", 2}, std::pair{"chromaUpsampling", -1}}) {
        ASSERT_EQ(op.set(name, value), 0u);
        EXPECT_EQ(zeceExecuteOp(op.op, in.dataset(), out.dataset()), uint32_t{zeceER_INVALID_PARAM}) << name;
        ASSERT_EQ(op.set(name, 1), 0u);
    }
}

TEST_F(FullRange, FusedOpEqualsTheConversionThenTheResize) {
    Picture picture;
    DeviceSet in(picture.nv12.total(), picture.nv12.data), rgb(kWidth * kHeight * 3), tensor(40 * 30 * 3);
    for (zeceColorSpace space : {zeceCOLOR_SPACE_BT601, zeceCOLOR_SPACE_BT709}) {
        SCOPED_TRACE(space);
        Op convert(zeceOP_CVT_COLOR), fused(zeceOP_FUSION_OP_YUV_NV12_CVTCOLOR_RESIZE_NORM_TENSOR);
        for (Op *op : {&convert, &fused})
            ASSERT_EQ(op->set("inputWidth", kWidth) | op->set("inputHeight", kHeight) | op->set("colorSpace", space) |
                          op->set("colorRange", 1) | op->set("colorCvtCode", zeceCOLOR_YUV2RGB_NV12),
                      0u);
        ASSERT_EQ(fused.set("outputWidth", 40) | fused.set("outputHeight", 30) |
                      fused.set("tensorizationType", zeceTENSORIZATION_UINT8_INTERLEAVE),
                  0u);
        ASSERT_EQ(zeceExecuteOp(convert.op, in.dataset(), rgb.dataset()), 0u);
        ASSERT_EQ(zeceExecuteOp(fused.op, in.dataset(), tensor.dataset()), 0u);
        cv::Mat resized;
        cv::resize(rgb.read(kHeight, kWidth, CV_8UC3), resized, cv::Size(40, 30), 0, 0, cv::INTER_LINEAR);
        EXPECT_EQ(maxDifference(tensor.read(30, 40, CV_8UC3), resized), 0.0);
    }
    Op fused(zeceOP_FUSION_OP_YUV_NV12_CVTCOLOR_RESIZE_NORM_TENSOR);
    EXPECT_EQ(fused.set("chromaUpsampling", 1), uint32_t{zeceER_UNKNOWN_ATTR});  // the fused ops convert in bands
}

}  // namespace
