// The software card's core: call trace formatting, injections, handle registry,
// inventory parsing, the timed wait.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "zesim/call.hpp"
#include "zesim/inventory.hpp"
#include "zesim/registry.hpp"
#include "zesim/thread_safety.hpp"
#include "zesim.h"

namespace {

struct Pair {
    int32_t a;
    double b;
};

void describe(std::string &out, const Pair &pair) {
    out += '{';
    zesim::putList(out, pair.a, pair.b);
    out += '}';
}

uint32_t sample(int32_t number, uint64_t size, const char *text, void **output, Pair pair, const Pair *input,
                Pair *filled, float ratio) {
    ZESIM_CALL(number, size, text, output, pair, input, filled, ratio) {
        if (output) *output = reinterpret_cast<void *>(0x1234);
        return 7;
    };
}

uint32_t withArray(const int64_t *dims, uint32_t count) {
    ZESIM_CALL(zesim::array(dims, count), count) { return 0; };
}

uint32_t noArguments() {
    ZESIM_CALL() { return 0; };
}

std::string readTrace() {
    size_t length = zesimTraceRead(nullptr, 0);
    std::string text(length + 1, '\0');
    zesimTraceRead(text.data(), text.size());
    text.resize(length);
    return text;
}

class Sim : public ::testing::Test {
protected:
    void SetUp() override {
        zesimReset();
        zesimTrace(1);
    }
    void TearDown() override { zesimReset(); }
};

TEST_F(Sim, TraceFormatsEveryKindOfArgument) {
    void *out = nullptr;
    Pair pair{-3, 0.1};
    EXPECT_EQ(sample(-1, 18446744073709551615ull, "a\"b\n", &out, pair, &pair, nullptr, 0.1f), 7u);
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<void *>(&out));
    EXPECT_EQ(readTrace(), std::string("sample(-1, 18446744073709551615, \"a\\\"b\\n\", ") + address +
                               ", {-3, 0.10000000000000001}, {-3, 0.10000000000000001}, NULL, "
                               "0.100000001) = 7\n");
}

TEST_F(Sim, TraceFormatsArraysNullTextAndEmptyCalls) {
    int64_t dims[] = {1, -2, 3};
    withArray(dims, 3);
    withArray(nullptr, 0);
    noArguments();
    sample(0, 0, nullptr, nullptr, {0, 0}, nullptr, nullptr, 1.5f);
    EXPECT_EQ(readTrace(),
              "withArray([1, -2, 3], 3) = 0\n"
              "withArray(NULL, 0) = 0\n"
              "noArguments() = 0\n"
              "sample(0, 0, NULL, NULL, {0, 0}, NULL, NULL, 1.5) = 7\n");
}

TEST_F(Sim, TraceReadCutsToTheBufferAndReportsTheFullLength) {
    noArguments();
    char small[5];
    EXPECT_EQ(zesimTraceRead(small, sizeof small), std::string("noArguments() = 0\n").size());
    EXPECT_STREQ(small, "noAr");
    zesimTraceClear();
    EXPECT_EQ(zesimTraceRead(nullptr, 0), 0u);
}

TEST_F(Sim, TraceStopsWhenDisabled) {
    zesimTrace(0);
    noArguments();
    EXPECT_EQ(readTrace(), "");
}

TEST_F(Sim, FailNextReturnsTheStatusWithoutRunningTheBody) {
    zesimFailNext("sample", 99, 2);
    void *out = nullptr;
    EXPECT_EQ(sample(0, 0, "", &out, {}, nullptr, nullptr, 0), 99u);
    EXPECT_EQ(sample(0, 0, "", &out, {}, nullptr, nullptr, 0), 99u);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(sample(0, 0, "", &out, {}, nullptr, nullptr, 0), 7u);
    EXPECT_NE(out, nullptr);
    EXPECT_NE(readTrace().find(") = 99\n"), std::string::npos);  // injected calls are traced too
}

TEST_F(Sim, NullNextWritesNullPointerOutputsAndReturnsZero) {
    void *out = reinterpret_cast<void *>(0x99);
    zesimNullNext("sample", 1);
    EXPECT_EQ(sample(0, 0, "", &out, {}, nullptr, nullptr, 0), 0u);
    EXPECT_EQ(out, nullptr);
}

TEST_F(Sim, InjectionsQueueInOrderAndResetForgetsThem) {
    zesimFailNext("noArguments", 1, 1);
    zesimFailNext("noArguments", 2, 1);
    zesimFailNext("other", 3, 1);
    EXPECT_EQ(noArguments(), 1u);
    EXPECT_EQ(noArguments(), 2u);
    EXPECT_EQ(noArguments(), 0u);
    zesimFailNext("noArguments", 4, 5);
    zesimReset();
    EXPECT_EQ(noArguments(), 0u);
}

TEST_F(Sim, ConcurrentLinesNeverInterleave) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 500; ++i) noArguments();
        });
    for (auto &thread : threads) thread.join();
    std::string trace = readTrace();
    size_t lines = 0;
    for (size_t at = 0; at < trace.size(); at = trace.find('\n', at) + 1) {
        EXPECT_EQ(trace.compare(at, 18, "noArguments() = 0\n"), 0);
        ++lines;
    }
    EXPECT_EQ(lines, 2000u);
}

TEST(Registry, HandlesAreFoundOnlyByKindAndUntilRemoved) {
    auto handle = zesim::adopt(std::make_shared<int>(5), zesim::Kind::Tensor, 1);
    EXPECT_EQ(*zesim::find<int>(handle, zesim::Kind::Tensor), 5);
    EXPECT_EQ(zesim::findHandle(handle, zesim::Kind::Dataset), nullptr);
    EXPECT_EQ(zesim::unregisterHandle(handle, zesim::Kind::Dataset), nullptr);
    EXPECT_NE(zesim::unregisterHandle(handle, zesim::Kind::Tensor), nullptr);
    EXPECT_EQ(zesim::findHandle(handle, zesim::Kind::Tensor), nullptr);
    EXPECT_EQ(zesim::unregisterHandle(handle, zesim::Kind::Tensor), nullptr);
    EXPECT_EQ(zesim::findHandle(nullptr, zesim::Kind::Tensor), nullptr);
}

TEST(Registry, HandleCountFollowsRegistrationAndRemoval) {
    const size_t before = zesimHandleCount();
    auto first = zesim::adopt(std::make_shared<int>(1), zesim::Kind::Tensor);
    auto second = zesim::adopt(std::make_shared<int>(2), zesim::Kind::Dataset, 3);
    EXPECT_EQ(zesimHandleCount(), before + 2);
    zesim::unregisterHandle(first, zesim::Kind::Dataset);  // wrong kind: stays
    EXPECT_EQ(zesimHandleCount(), before + 2);
    zesim::unregisterHandle(first, zesim::Kind::Tensor);
    zesim::unregisterDevice(3);
    EXPECT_EQ(zesimHandleCount(), before);
    EXPECT_EQ(zesim::findHandle(second, zesim::Kind::Dataset), nullptr);
}

TEST(Registry, FoundObjectsOutliveTheirHandle) {
    auto handle = zesim::adopt(std::make_shared<std::string>("kept"), zesim::Kind::Model);
    auto held = zesim::find<std::string>(handle, zesim::Kind::Model);
    zesim::unregisterHandle(handle, zesim::Kind::Model);
    EXPECT_EQ(*held, "kept");
}

TEST(Registry, BlocksAreFoundByAnyAddressInsideThem) {
    std::vector<char> memory(64);
    zesim::registerHandle({memory.data(), zesim::Kind::HostMemory, zesim::kNoDevice, 64, nullptr});
    zesim::Entry block;
    EXPECT_TRUE(zesim::findBlock(memory.data() + 63, &block));
    EXPECT_EQ(block.handle, memory.data());
    EXPECT_EQ(block.size, 64u);
    EXPECT_FALSE(zesim::findBlock(memory.data() + 64, &block));
    EXPECT_FALSE(zesim::findBlock(memory.data() - 1, &block));
    zesim::unregisterHandle(memory.data(), zesim::Kind::HostMemory);
    EXPECT_FALSE(zesim::findBlock(memory.data(), &block));
}

TEST(Registry, DeviceResetRemovesOnlyThatDevicesHandles) {
    auto first = zesim::adopt(std::make_shared<int>(1), zesim::Kind::Context, 7);
    auto second = zesim::adopt(std::make_shared<int>(2), zesim::Kind::Context, 8);
    EXPECT_EQ(zesim::unregisterDevice(7).size(), 1u);
    EXPECT_EQ(zesim::findHandle(first, zesim::Kind::Context), nullptr);
    EXPECT_NE(zesim::findHandle(second, zesim::Kind::Context), nullptr);
    zesim::unregisterHandle(second, zesim::Kind::Context);
}

TEST(Inventory, DefaultIsOneCardOfTwoDies) {
    zesim::Inventory inventory = zesim::defaultInventory();
    ASSERT_TRUE(inventory.valid);
    ASSERT_EQ(inventory.cards.size(), 1u);
    EXPECT_EQ(inventory.aiDevices.size(), 2u);
    EXPECT_EQ(inventory.codecDevices.size(), 2u);
    EXPECT_EQ(inventory.aiDevices[1].dieId, 1u);
    EXPECT_EQ(inventory.aiDevices[1].memory, zesim::kDefaultDeviceMemory);
}

TEST(Inventory, ConfigurationNumbersDiesAcrossCards) {
    zesim::Inventory inventory = zesim::parseInventory(
        R"({"cards": [{"id": 4, "dies": 1}, {"id": 9, "dies": [{"memory": 1024}, {"ai": false}]}]})");
    ASSERT_TRUE(inventory.valid) << inventory.error;
    ASSERT_EQ(inventory.aiDevices.size(), 2u);
    EXPECT_EQ(inventory.aiDevices[1].cardId, 9u);
    EXPECT_EQ(inventory.aiDevices[1].seqNum, 1u);
    EXPECT_EQ(inventory.aiDevices[1].memory, 1024u);
    EXPECT_EQ(inventory.codecDevices.size(), 3u);
    EXPECT_EQ(inventory.codecDevices[2].seqNum, 2u);
}

TEST(Inventory, MalformedConfigurationIsRefused) {
    for (const char *text : {"", "{", "[]", R"({"cards": 3})", R"({"cards": [{"dies": "x"}]})"}) {
        zesim::Inventory inventory = zesim::parseInventory(text);
        EXPECT_FALSE(inventory.valid) << text;
        EXPECT_TRUE(inventory.aiDevices.empty());
    }
}

TEST(Inventory, NumbersMustBeWholeAndInRange) {
    // Floats, negative numbers and numbers past the member's range are refused, not
    // converted (a float out of range converts to nothing defined; a negative one wraps).
    const std::pair<const char *, const char *> refused[] = {
        {R"({"cards": [{"dies": [{"memory": 1073741E24}]}]})", "card 0 die 0: memory must be a whole number"},
        {R"({"cards": [{"dies": [{}, {"memory": -1}]}]})", "card 0 die 1: memory must be a whole number"},
        {R"({"cards": [{"dies": [{"memory": 2.5}]}]})", "card 0 die 0: memory must be a whole number"},
        {R"({"cards": [{}, {"id": -1}]})", "card 1: id must be a whole number"},
        {R"({"cards": [{"id": 1e30}]})", "card 0: id must be a whole number"},
        {R"({"cards": [{"id": 4294967296}]})", "card 0: id must be a whole number"},
        {R"({"cards": [{"dies": [7]}]})", "card 0 die 0 must be an object"},
    };
    for (const auto &[text, error] : refused) {
        auto inventory = zesim::parseInventory(text);
        EXPECT_FALSE(inventory.valid) << text;
        EXPECT_EQ(inventory.error.rfind(error, 0), 0u) << inventory.error;
    }
    auto inventory = zesim::parseInventory(R"({"cards": [{"id": 0, "dies": [{"memory": 18446744073709551615}]}]})");
    ASSERT_TRUE(inventory.valid) << inventory.error;
    EXPECT_EQ(inventory.aiDevices[0].memory, UINT64_MAX);
}

// The wait every channel and stream uses: a timeout ends it with the condition false,
// the infinite wait only ends once the condition holds.
TEST(Wait, EndsWhenTheConditionHoldsOrTheTimeoutPasses) {
    struct Case {
        uint32_t timeoutMs;
        bool notified;  // another thread makes the condition hold after 50 ms
        bool result;
    };
    const Case cases[] = {{0, false, false}, {30, false, false}, {5000, true, true}, {zesim::kWaitForever, true, true}};
    for (const Case &c : cases) {
        zesim::Mutex mutex;
        std::condition_variable changed;
        bool ready = false;
        std::thread notifier;
        if (c.notified) {
            notifier = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                zesim::MutexLock lock(mutex);
                ready = true;
                changed.notify_all();
            });
        }
        const auto start = std::chrono::steady_clock::now();
        bool result;
        {
            zesim::MutexLock lock(mutex);
            result = zesim::waitUntil(changed, lock, c.timeoutMs, [&] { return ready; });
            EXPECT_EQ(ready, c.result) << c.timeoutMs;
        }
        const auto waited = std::chrono::steady_clock::now() - start;
        if (notifier.joinable()) notifier.join();
        EXPECT_EQ(result, c.result) << c.timeoutMs;
        if (!c.notified) {
            EXPECT_GE(waited, std::chrono::milliseconds(c.timeoutMs));
        }
    }
}

}  // namespace
