// Data buffers, tensors and datasets of the common runtime: the internal object
// API the other libraries use, and the public calls under concurrent use.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "card_test.hpp"
#include "zecm/objects.hpp"
#include "zecm.h"

namespace {

class Objects : public CardTest {
protected:
    static zecmShape shape(std::initializer_list<int64_t> dims) {
        zecmShape result{};
        for (int64_t dim : dims) result.dims[result.ndims++] = dim;
        return result;
    }

    static bool liveBlock(void *block) { return zesim::findHandle(block, zesim::Kind::DeviceMemory) != nullptr; }

    zecmDeviceInfo device0{zecmDE_ZECC, 0};
};

TEST(DataTypes, ElementSizes) {
    // Kept as the numbers a C caller passes: values outside the enumeration are not
    // values of the C++ type, and are only made one at the call, as the C ABI does.
    const std::pair<int32_t, uint32_t> sizes[] = {{zecmDT_UINT8, 1},
                                                  {zecmDT_INT8, 1},
                                                  {zecmDT_UINT16, 2},
                                                  {zecmDT_INT16, 2},
                                                  {zecmDT_UINT32, 4},
                                                  {zecmDT_INT32, 4},
                                                  {zecmDT_FLOAT16, 2},
                                                  {zecmDT_FLOAT32, 4},
                                                  {zecmDT_BFLOAT, 2},
                                                  {zecmDT_ANY, 0},
                                                  {9, 0},
                                                  {-1, 0}};
    for (auto [type, size] : sizes) EXPECT_EQ(zecm::dataTypeSize(static_cast<zecmDType>(type)), size) << type;
}

TEST(DataTypes, TensorBytes) {
    uint64_t bytes = 7;
    zecmShape shape{3, {2, 3, 4}};
    ASSERT_TRUE(zecm::tensorBytes(shape, zecmDT_FLOAT16, &bytes));
    EXPECT_EQ(bytes, 48u);
    shape.dims[1] = 0;
    ASSERT_TRUE(zecm::tensorBytes(shape, zecmDT_INT8, &bytes));
    EXPECT_EQ(bytes, 0u);
    zecmShape huge{2, {INT64_MAX, 3}};
    EXPECT_FALSE(zecm::tensorBytes(huge, zecmDT_UINT8, &bytes));
    zecmShape big{2, {int64_t{1} << 30, int64_t{1} << 30}};
    ASSERT_TRUE(zecm::tensorBytes(big, zecmDT_FLOAT32, &bytes));
    EXPECT_EQ(bytes, uint64_t{1} << 62);
    big.dims[0] <<= 2;  // 2^64 bytes
    EXPECT_FALSE(zecm::tensorBytes(big, zecmDT_FLOAT32, &bytes));
    EXPECT_FALSE(zecm::tensorBytes(zecmShape{1, {-1}}, zecmDT_UINT8, &bytes));
    EXPECT_FALSE(zecm::tensorBytes(zecmShape{7, {1, 1, 1, 1, 1, 1}}, zecmDT_UINT8, &bytes));
    EXPECT_FALSE(zecm::tensorBytes(zecmShape{1, {4}}, zecmDT_ANY, &bytes));
    // Entries past the dimension count do not count.
    EXPECT_TRUE(zecm::tensorBytes(zecmShape{1, {4, -1, -1}}, zecmDT_UINT8, &bytes));
    EXPECT_EQ(bytes, 4u);
}

TEST_F(Objects, DestroyAllFreesOwnedMemoryOnly) {
    void *owned = nullptr, *wrapped = nullptr;
    ASSERT_EQ(zecm::allocateBlock(zesim::Kind::DeviceMemory, 64, 0, &owned), 0u);
    ASSERT_EQ(zecmMalloc(64, &wrapped), 0u);
    void *dataset = zecm::newDataset(zecmDM_BUFFER);
    void *first = zecm::newDataBuffer(device0, owned, 64,
                                      std::make_unique<zecm::OwnedBlock>(owned, zesim::Kind::DeviceMemory));
    void *second = zecm::newDataBuffer(device0, wrapped, 64, nullptr);
    ASSERT_EQ(zecm::addDatasetMember(dataset, first), 0u);
    ASSERT_EQ(zecm::addDatasetMember(dataset, second), 0u);
    EXPECT_EQ(zecm::destroyDatasetAll(dataset), 0u);
    EXPECT_FALSE(zecm::findDataBuffer(first));
    EXPECT_FALSE(zecm::findDataBuffer(second));
    EXPECT_FALSE(zecm::findDataset(dataset));
    EXPECT_FALSE(liveBlock(owned));
    EXPECT_TRUE(liveBlock(wrapped));
    EXPECT_EQ(zecm::destroyDatasetAll(dataset), static_cast<uint32_t>(zecmER_INVALID_HANDLE));
}

TEST_F(Objects, MembersAppendedDirectlyAreDestroyedByHandle) {
    void *dataset = zecm::newDataset(zecmDM_TENSOR);
    zecmTensor *listed = nullptr, *added = nullptr;
    ASSERT_EQ(zecmCreateTensor(device0, zecmDT_UINT8, &listed, shape({8})), 0u);
    ASSERT_EQ(zecmCreateTensor(device0, zecmDT_UINT8, &added, shape({8})), 0u);
    zecm::findDataset(dataset)->members.push_back(listed);  // no identity recorded
    ASSERT_EQ(zecm::addDatasetMember(dataset, added), 0u);
    EXPECT_EQ(zecm::destroyDatasetAll(dataset), 0u);
    EXPECT_FALSE(zecm::findTensor(listed));
    EXPECT_FALSE(zecm::findTensor(added));
}

TEST_F(Objects, OnlyOneTensorTakesOverABlock) {
    void *block = nullptr;
    ASSERT_EQ(zecmMalloc(16, &block), 0u);
    std::atomic<int> owners{0};
    std::vector<std::thread> threads;
    std::vector<zecmTensor *> tensors(8, nullptr);
    for (size_t i = 0; i < tensors.size(); ++i)
        threads.emplace_back([&, i] {
            if (zecmCreateTensorWithDataHandle(device0, zecmDT_UINT8, block, 1, &tensors[i], shape({16})) == 0)
                ++owners;
        });
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(owners.load(), 1);
    for (zecmTensor *tensor : tensors)
        if (tensor) {
            EXPECT_EQ(zecmDestroyTensor(tensor), 0u);
        }
    EXPECT_FALSE(liveBlock(block));
}

TEST_F(Objects, ConcurrentUseNeverCrashes) {
    zecmDataset *dataset = nullptr;
    ASSERT_EQ(zecmCreateDataset(zecmDM_TENSOR, &dataset), 0u);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int round = 0; round < 300; ++round) {
                zecmTensor *tensor = nullptr;
                ASSERT_EQ(zecmCreateTensor(device0, zecmDT_INT16, &tensor, shape({4, 4})), 0u);
                ASSERT_EQ(zecmAddDatasetTensor(dataset, tensor), 0u);
                zecmShape smaller = shape({2, 4});
                uint32_t reshaped = zecmSetTensorShape(tensor, &smaller);  // others may destroy it first
                EXPECT_TRUE(reshaped == zecmER_SUCCESS || reshaped == zecmER_INVALID_HANDLE) << reshaped;
                uint32_t count = 0;
                EXPECT_EQ(zecmGetDatasetTensorCount(dataset, &count), 0u);
                zecmTensor *other = nullptr;
                if (zecmGetDatasetTensor(dataset, static_cast<int32_t>(count / 2), &other) == 0) {
                    uint64_t size = 0;
                    zecmGetTensorSize(other, &size);  // may have been destroyed meanwhile
                    zecmDestroyTensor(other);
                }
            }
        });
    for (auto &thread : threads) thread.join();
    uint32_t count = 0;
    ASSERT_EQ(zecmGetDatasetTensorCount(dataset, &count), 0u);
    EXPECT_EQ(count, 1200u);
    EXPECT_EQ(zecmDestroyDatasetAll(dataset), 0u);
}

}  // namespace
