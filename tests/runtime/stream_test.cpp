// The threaded parts of the common and compute libraries driven from several threads at
// once: serial queues, asynchronous copies on the default queue, and op streams with
// report callbacks. (Also what the ThreadSanitizer run checks these parts with.)
#include <gtest/gtest.h>
#include <malloc.h>
#include <onnx/onnx_pb.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <unistd.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "card_test.hpp"
#include "zesim/queue.hpp"
#include "zecl.h"
#include "zecm.h"

namespace {

constexpr uint32_t kForever = 0xFFFFFFFFu;
constexpr int kThreads = 4;

TEST(Queues, SerialQueueRunsEachPushersTasksInOrder) {
    auto queue = std::make_shared<zesim::SerialQueue>();
    std::vector<std::pair<int, int>> ran;  // touched by the queue's worker only
    std::vector<std::thread> pushers;
    for (int t = 0; t < kThreads; ++t)
        pushers.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) queue->push([&ran, t, i] { ran.emplace_back(t, i); });
        });
    for (auto &pusher : pushers) pusher.join();
    queue->drain();
    ASSERT_EQ(ran.size(), size_t{kThreads * 200});
    std::vector<int> next(kThreads, 0);
    for (auto [t, i] : ran) EXPECT_EQ(i, next[t]++) << "pusher " << t;
}

TEST(Queues, DestroyingAQueueRunsWhatIsQueued) {
    std::atomic<int> ran{0};
    {
        zesim::SerialQueue queue;
        for (int i = 0; i < 100; ++i) queue.push([&] { ran.fetch_add(1); });
    }
    EXPECT_EQ(ran.load(), 100);
}

using Card = CardTest;

// Asynchronous copies from several threads on the device's default queue; a
// synchronous copy waits for every one of them.
TEST_F(Card, AsyncCopiesFromSeveralThreadsAllLand) {
    constexpr size_t kSize = 4096;
    void *block = nullptr;
    ASSERT_EQ(zecmMalloc(kSize * kThreads, &block), 0u);
    std::vector<std::vector<uint8_t>> sources(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            sources[t].assign(kSize, static_cast<uint8_t>(t + 1));
            for (size_t offset = 0; offset < kSize; offset += 256)
                EXPECT_EQ(
                    zecmMemcpyAsync(sources[t].data() + offset, static_cast<uint8_t *>(block) + t * kSize + offset, 256,
                                    zecmCT_COPY_TO_DEVICE, nullptr),
                    0u);
        });
    for (auto &thread : threads) thread.join();
    std::vector<uint8_t> back(kSize * kThreads);
    ASSERT_EQ(zecmMemcpy(block, back.data(), back.size(), zecmCT_COPY_FROM_DEVICE), 0u);
    for (size_t i = 0; i < back.size(); ++i) ASSERT_EQ(back[i], i / kSize + 1) << i;
    EXPECT_EQ(zecmFree(block), 0u);
}

// y = relu(x), x and y float32 [1, 4].
std::string writeReluModel() {
    onnx::ModelProto model;
    model.set_ir_version(7);
    auto *opset = model.add_opset_import();
    opset->set_domain("");
    opset->set_version(11);
    auto *graph = model.mutable_graph();
    graph->set_name("relu");
    auto *node = graph->add_node();
    node->set_op_type("Relu");
    node->add_input("x");
    node->add_output("y");
    for (auto [port, name] : {std::pair{graph->add_input(), "x"}, std::pair{graph->add_output(), "y"}}) {
        port->set_name(name);
        auto *tensor = port->mutable_type()->mutable_tensor_type();
        tensor->set_elem_type(onnx::TensorProto::FLOAT);
        for (int dim : {1, 4}) tensor->mutable_shape()->add_dim()->set_dim_value(dim);
    }
    std::string path = ::testing::TempDir() + "stream_test_relu_" + std::to_string(::getpid()) + ".onnx";
    std::ofstream(path, std::ios::binary) << model.SerializeAsString();
    return path;
}

struct Reports {
    std::atomic<int> count{0}, failed{0}, withOutput{0};
};

void onReport(void *, void *, void *output, zeclCallbackStatus *status, void *user) {
    auto *reports = static_cast<Reports *>(user);
    if (status->errorCode) reports->failed.fetch_add(1);
    if (output) reports->withOutput.fetch_add(1);
    reports->count.fetch_add(1);
}

// A model, a graph of one input op feeding one run-model op whose output is kept, and a
// built stream over it with one subscriber.
class Streams : public Card, public ::testing::WithParamInterface<zeclBalanceMode> {
protected:
    void SetUp() override {
        Card::SetUp();
        path_ = writeReluModel();
        ASSERT_EQ(zeclCreateModel(path_.c_str(), "relu", "", nullptr, &model_), 0u);
        ASSERT_EQ(zeclCreateOpGraph(&graph_), 0u);
        ASSERT_EQ(zeclCreateGraphInputOp(graph_, 1, &input_), 0u);
        ASSERT_EQ(zeclCreateRunModelOp(model_, &run_), 0u);
        ASSERT_EQ(zeclConnectOps(input_, run_), 0u);
        ASSERT_EQ(zeclRegisterGetOutput(graph_, run_), 0u);
        ASSERT_EQ(zeclCreateOpStream(graph_, GetParam(), &stream_), 0u);
        ASSERT_EQ(zeclBuildStream(stream_), 0u);
        ASSERT_EQ(zeclSubscribeStreamReport(stream_, onReport, &reports_), 0u);
    }
    void TearDown() override {
        if (stream_) {
            EXPECT_EQ(zeclDestroyOpStream(stream_), 0u);
        }
        EXPECT_EQ(zeclDestroyOpGraph(graph_), 0u);
        EXPECT_EQ(zeclDestroyModel(model_), 0u);
        std::remove(path_.c_str());
        Card::TearDown();
    }

    // A dataset of one buffer over a new device block holding `values`.
    static zecmDataset *inputOf(const std::vector<float> &values) {
        void *block = nullptr;
        EXPECT_EQ(zecmMalloc(values.size() * sizeof(float), &block), 0u);
        EXPECT_EQ(
            zecmMemcpy(const_cast<float *>(values.data()), block, values.size() * sizeof(float), zecmCT_COPY_TO_DEVICE),
            0u);
        zecmDataBuffer *buffer = nullptr;
        EXPECT_EQ(zecmCreateDataBuffer(zecmDeviceInfo{zecmDE_ZECC, 0}, block, values.size() * sizeof(float), &buffer),
                  0u);
        zecmDataset *dataset = nullptr;
        EXPECT_EQ(zecmCreateDataset(zecmDM_BUFFER, &dataset), 0u);
        EXPECT_EQ(zecmAddDatasetBuffer(dataset, buffer), 0u);
        return dataset;
    }

    // Destroys a dataset of `inputOf` and the block under it.
    static void destroyInput(zecmDataset *dataset) {
        zecmDataBuffer *buffer = nullptr;
        void *block = nullptr;
        ASSERT_EQ(zecmGetDatasetBuffer(dataset, 0, &buffer), 0u);
        ASSERT_EQ(zecmGetDataBufferAddr(buffer, &block), 0u);
        EXPECT_EQ(zecmDestroyDatasetAll(dataset), 0u);
        EXPECT_EQ(zecmFree(block), 0u);
    }

    // The four values of an output dataset.
    static std::vector<float> valuesOf(zecmDataset *dataset) {
        zecmDataBuffer *buffer = nullptr;
        void *address = nullptr;
        std::vector<float> values(4);
        EXPECT_EQ(zecmGetDatasetBuffer(dataset, 0, &buffer), 0u);
        EXPECT_EQ(zecmGetDataBufferAddr(buffer, &address), 0u);
        EXPECT_EQ(zecmMemcpy(address, values.data(), sizeof(float) * 4, zecmCT_COPY_FROM_DEVICE), 0u);
        return values;
    }

    std::string path_;
    zeclModel *model_ = nullptr;
    zeclOpGraph *graph_ = nullptr;
    zeclOp *input_ = nullptr, *run_ = nullptr;
    zeclOpStream *stream_ = nullptr;
    Reports reports_;
};

// Runs fed from several threads, synchronous and queued, each report once, each output
// the relu of its input, whatever the order they finish in.
TEST_P(Streams, RunsFromSeveralThreadsReportOnceEach) {
    constexpr int kRuns = 25;
    std::vector<std::vector<zecmDataset *>> inputs(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRuns; ++i) {
                const float k = float(t * kRuns + i + 1);
                zecmDataset *dataset = inputOf({-k, k, -k, k});
                inputs[t].push_back(dataset);
                if (i % 5 == 0)
                    EXPECT_EQ(zeclRunStream(stream_, input_, dataset, kForever), 0u);
                else
                    EXPECT_EQ(zeclRunStreamAsync(stream_, input_, dataset), 0u);
            }
        });
    for (auto &thread : threads) thread.join();
    ASSERT_EQ(zeclSynchronizeStream(stream_, kForever), 0u);
    EXPECT_EQ(reports_.count.load(), kThreads * kRuns);
    EXPECT_EQ(reports_.failed.load(), 0);
    EXPECT_EQ(reports_.withOutput.load(), kThreads * kRuns);
    uint32_t cached = 0;
    ASSERT_EQ(zeclGetStreamCacheNumber(stream_, &cached), 0u);
    ASSERT_EQ(cached, uint32_t{kThreads * kRuns});
    std::vector<bool> seen(kThreads * kRuns + 1, false);
    for (uint32_t i = 0; i < cached; ++i) {
        zecmDataset *output = nullptr;
        ASSERT_EQ(zeclRequestOutputDataset(stream_, &output), 0u);
        std::vector<float> values = valuesOf(output);
        const float k = values[1];
        ASSERT_GE(k, 1.0f);
        ASSERT_LE(k, float(kThreads * kRuns));
        EXPECT_EQ(values, (std::vector<float>{0, k, 0, k}));
        EXPECT_FALSE(seen[size_t(k)]) << k;
        seen[size_t(k)] = true;
        EXPECT_EQ(zecmDestroyDatasetAll(output), 0u);
    }
    for (auto &list : inputs)
        for (zecmDataset *dataset : list) destroyInput(dataset);
}

// A stream destroyed with runs still queued delivers them first, each report still able
// to take its run's outputs.
struct Taker {
    zeclOpStream *stream;
    std::atomic<int> taken{0};
};

void takeOutput(void *, void *, void *, zeclCallbackStatus *status, void *user) {
    auto *taker = static_cast<Taker *>(user);
    zecmDataset *output = nullptr;
    if (status->isStreamEnd && !status->errorCode && zeclRequestOutputDataset(taker->stream, &output) == 0) {
        zecmDestroyDatasetAll(output);
        taker->taken.fetch_add(1);
    }
}

TEST_P(Streams, DestroyedWithRunsQueued) {
    Taker taker{stream_};
    ASSERT_EQ(zeclSubscribeStreamReport(stream_, &takeOutput, &taker), 0u);
    std::vector<zecmDataset *> inputs;
    for (int i = 0; i < 20; ++i) {
        inputs.push_back(inputOf({1, -1, 2, -2}));
        ASSERT_EQ(zeclRunStreamAsync(stream_, input_, inputs.back()), 0u);
    }
    EXPECT_EQ(zeclDestroyOpStream(stream_), 0u);
    EXPECT_EQ(zeclRunStreamAsync(stream_, input_, inputs.back()), static_cast<uint32_t>(zeclER_INVALID_HANDLE));
    stream_ = nullptr;
    EXPECT_EQ(reports_.count.load(), 20);
    EXPECT_EQ(taker.taken.load(), 20);
    for (zecmDataset *dataset : inputs) destroyInput(dataset);
}

// Streams made and destroyed leave nothing on the heap (the library's list of streams
// forgets those that are gone). The sanitizers' allocators report no figures: skipped.
TEST_P(Streams, MadeAndDestroyedLeaveNoHeapBehind) {
    auto cycle = [&] {
        zeclOpStream *stream = nullptr;
        ASSERT_EQ(zeclCreateOpStream(graph_, GetParam(), &stream), 0u);
        ASSERT_EQ(zeclDestroyOpStream(stream), 0u);
    };
    for (int i = 0; i < 100; ++i) cycle();
    const size_t before = mallinfo2().uordblks;
    if (before == 0) GTEST_SKIP() << "no heap figures from this allocator";
    for (int i = 0; i < 2000; ++i) cycle();
    const size_t after = mallinfo2().uordblks;
    EXPECT_LT(after, before + 16 * 1024) << "grew " << (after - before) << " bytes over 2000 streams";
}

INSTANTIATE_TEST_SUITE_P(Modes, Streams, ::testing::Values(zeclBM_ONCE, zeclBM_RUN));

}  // namespace
