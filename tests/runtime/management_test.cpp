// The usage registry (slots, dead processes, reused pids, concurrent writers, corrupt
// contents) and the management library's inventory, handles and telemetry.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <thread>
#include <vector>

#include "zesim/inventory.hpp"
#include "zesim/usage.hpp"
#include "zecm.h"
#include "zeml.h"

namespace {

using namespace zesim::usage;

// Every test process of this binary publishes into a registry of its own.
const std::string kShared = [] {
    std::string path = "/tmp/zesim-registry-test-" + std::to_string(getpid());
    setenv("ZESIM_REGISTRY", path.c_str(), 1);
    std::atexit([] { std::remove(("/tmp/zesim-registry-test-" + std::to_string(getpid())).c_str()); });
    return path;
}();

uint64_t ownStart() {
    uint64_t ticks = 0;
    EXPECT_TRUE(processStart(getpid(), &ticks));
    return ticks;
}

class UsageRegistry : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = "/tmp/zesim-usage-test-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::remove(path_.c_str());
        std::string error;
        registry_ = Registry::open(path_, &error);
        ASSERT_TRUE(registry_) << error;
    }
    void TearDown() override { std::remove(path_.c_str()); }

    std::vector<Process> withPid(int32_t pid) {
        std::vector<Process> found;
        for (Process &p : registry_->processes(now()))
            if (p.pid == pid) found.push_back(p);
        return found;
    }

    std::string path_;
    std::shared_ptr<Registry> registry_;
};

TEST_F(UsageRegistry, ClaimedSlotsAreListedUntilReleased) {
    Slot *slot = registry_->claim(getpid(), ownStart(), std::string(300, 'n'));
    ASSERT_NE(slot, nullptr);
    slot->memory[3].fetch_add(4096);
    auto listed = withPid(getpid());
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].name, std::string(kNameLength - 1, 'n'));
    EXPECT_EQ(listed[0].memory[3], 4096u);
    // A second opening of the file sees the same slot.
    auto again = Registry::open(path_, nullptr);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->processes(now()).size(), 1u);
    registry_->release(slot, getpid() + 1);  // another process's claim: left alone
    EXPECT_EQ(withPid(getpid()).size(), 1u);
    registry_->release(slot, getpid());
    EXPECT_TRUE(withPid(getpid()).empty());
    EXPECT_EQ(slot->owner.load(), 0u);
}

TEST_F(UsageRegistry, SlotsOfExitedProcessesAreFreedWhenFound) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {  // claims a slot and exits without giving it back
        uint64_t start = 0;
        processStart(getpid(), &start);
        auto registry = Registry::open(path_, nullptr);
        bool claimed = registry && registry->claim(getpid(), start, "child");
        char byte = claimed ? 1 : 0;
        (void)!write(ready[1], &byte, 1);
        pause();
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    ASSERT_EQ(byte, 1);
    EXPECT_EQ(withPid(child).size(), 1u);
    kill(child, SIGKILL);
    // Not yet reaped: a zombie is as dead as a reaped process (for a reader that has not
    // just found it alive: a registry rechecks the processes it found alive after a while).
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, child, &info, WEXITED | WNOWAIT), 0);
    registry_ = Registry::open(path_, nullptr);
    EXPECT_TRUE(withPid(child).empty());
    waitpid(child, nullptr, 0);
    for (uint32_t i = 0; i < kSlots; ++i) EXPECT_EQ(registry_->slot(i).owner.load() >> 32, 0u) << i;
    close(ready[0]);
    close(ready[1]);
}

// A slot whose start time is not that of the process now holding its pid belongs to a
// process that died; so does a slot of a pid no process has, or a nonsense owner word.
TEST_F(UsageRegistry, ReusedPidsAndCorruptOwnersAreFreed) {
    const uint64_t start = ownStart();
    ASSERT_NE(registry_->claim(getpid(), start + 1, "old holder of this pid"), nullptr);
    ASSERT_NE(registry_->claim(0x7FFFFFF0, 1, "no such process"), nullptr);
    registry_->slot(100).owner.store(~uint64_t{0});               // pid -1
    registry_->slot(101).owner.store(identity(getpid(), start));  // a live process still writing: kept
    EXPECT_TRUE(registry_->processes(now()).empty());
    for (uint32_t i = 0; i < kSlots; ++i)
        EXPECT_EQ(registry_->slot(i).owner.load(), i == 101 ? identity(getpid(), start) : 0u) << i;
    // With every slot taken, a claim frees one of a dead process.
    for (uint32_t i = 0; i < kSlots; ++i) registry_->slot(i).owner.store(identity(getpid(), start) | 1);
    registry_->slot(kSlots - 1).owner.store(identity(0x7FFFFFF0, 1) | 1);
    EXPECT_EQ(registry_->claim(getpid(), start, "late"), &registry_->slot(kSlots - 1));
    EXPECT_EQ(registry_->claim(getpid(), start, "none left"), nullptr);
}

TEST_F(UsageRegistry, CorruptReadingsAreClampedNeverTrusted) {
    Slot *slot = registry_->claim(getpid(), ownStart(), "corrupt");
    ASSERT_NE(slot, nullptr);
    std::memset(slot->name, 'x', kNameLength);  // no NUL
    slot->memory[0].store(-5);
    Meter &meter = slot->meters[0][0];
    for (auto &bucket : meter.buckets) bucket.store(~uint64_t{0});
    meter.active[0].store(~uint64_t{0});  // a start in the future
    auto listed = withPid(getpid());
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].name.size(), kNameLength - 1);
    EXPECT_EQ(listed[0].memory[0], 0u);
    EXPECT_TRUE(std::isfinite(listed[0].load[0][0]));
    EXPECT_GE(listed[0].load[0][0], 0.0);
}

TEST(UsageRegistryFile, ForeignFilesAreRefused) {
    const std::string path = "/tmp/zesim-usage-test-foreign-" + std::to_string(getpid());
    std::string error;
    const std::string wholeSize(sizeof(Header) + sizeof(Slot) * kSlots, 'x');
    for (const std::string &contents : {std::string("short"), wholeSize}) {
        std::ofstream(path) << contents;
        EXPECT_FALSE(Registry::open(path, &error)) << contents.size();
        EXPECT_NE(error.find("another layout"), std::string::npos) << error;
    }
    std::remove(path.c_str());
    EXPECT_FALSE(Registry::open("/proc/no/such/registry", &error));
    EXPECT_NE(error.find("/proc/no/such/registry"), std::string::npos);
}

TEST(UsageMeter, SpansAreSplitOverBucketsAndOnlyTheLastSecondCounts) {
    Meter meter{};
    const uint64_t base = 1000 * kBucketNs;                        // a bucket boundary
    account(meter, base + kBucketNs / 2, base + 2 * kBucketNs);    // half of one bucket, all of the next
    account(meter, base - 30 * kBucketNs, base - 29 * kBucketNs);  // long before the window
    const uint64_t at = base + 2 * kBucketNs;                      // the window: base - 7 .. base + 2 buckets
    EXPECT_DOUBLE_EQ(load(meter, at), 1.5 * kBucketNs / (kWindowBuckets - 1) / kBucketNs);
    // A span longer than the kept buckets counts only for them; one in progress counts up to now.
    Meter busy{};
    account(busy, base - 100 * kBucketNs, at);
    EXPECT_DOUBLE_EQ(load(busy, at), 1.0);
    Meter running{};
    running.active[2].store(base - 50 * kBucketNs);
    EXPECT_DOUBLE_EQ(load(running, at), 1.0);
    running.active[2].store(base + kBucketNs);
    EXPECT_DOUBLE_EQ(load(running, at), 1.0 / (kWindowBuckets - 1));
}

TEST(UsageMeter, ConcurrentSpansAllCount) {
    Meter meter{};
    const uint64_t base = 2000 * kBucketNs;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&meter, base, t] {
            for (uint64_t i = 0; i < 1000; ++i) account(meter, base + i * 1000 + t, base + i * 1000 + t + 500);
        });
    for (auto &thread : threads) thread.join();
    const uint64_t at = base + kBucketNs;
    const double span = double(at - (base - (kWindowBuckets - 2) * kBucketNs));
    EXPECT_NEAR(load(meter, at) * span, 8 * 1000 * 500.0, 1.0);
}

// ---- The management library ----

class Management : public ::testing::Test {
protected:
    void SetUp() override {
        zemlShutDown();
        ASSERT_EQ(zemlInit(), 0u);
    }
    void TearDown() override { zemlShutDown(); }

    static uint64_t card(uint32_t index) {
        uint64_t handle = 0;
        EXPECT_EQ(zemlGetCardHandleByIndex(index, &handle), 0u);
        return handle;
    }
    static uint64_t die(uint32_t index) {
        uint64_t handle = 0;
        EXPECT_EQ(zemlGetDieHandleByIndex(card(0), index, &handle), 0u);
        return handle;
    }
};

TEST(ManagementLifetime, EveryCallNeedsInitExceptVersionAndErrorText) {
    zemlShutDown();
    uint32_t n = 0;
    uint64_t h = 0;
    char text[64];
    zemlMemUtilizationRate_stuct memory{};
    zemlProcessInfo_struct process{};
    const std::vector<std::function<uint32_t()>> calls = {
        [&] { return zemlShutDown(); },
        [&] { return zemlSetLogLevel(ZEML_LOG_INFO); },
        [&] { return zemlLogMsg(ZEML_LOG_INFO, "s", ZEML_SUCCESS, "t"); },
        [&] { return zemlGetAiDeviceCount(&n); },
        [&] { return zemlGetCardCount(&n); },
        [&] { return zemlGetHandleByUUID("x", &h); },
        [&] { return zemlGetDriverSWVersion(text, sizeof text); },
        [&] { return zemlGetDieHandleByDieIndex(0, &h); },
        [&] { return zemlGetMemUtilizationRate(h, &memory); },
        [&] { return zemlGetRunningProcesses(h, &process, &n, 1); },
    };
    for (size_t i = 0; i < calls.size(); ++i) EXPECT_EQ(calls[i](), uint32_t{ZEML_ERROR_UNINITIALIZED}) << i;
    char *version = nullptr;
    uint32_t major, minor, patch, build;
    EXPECT_EQ(zemlGetVersion(&version, &major, &minor, &patch, &build), 0u);
    EXPECT_STREQ(zemlErrorString(ZEML_ERROR_UNINITIALIZED), "Management: the library is not initialized.");
    EXPECT_STREQ(zemlErrorString(static_cast<zemlOpStatus_enum>(70015)), "Management: unknown status code.");
    ASSERT_EQ(zemlInit(), 0u);
    EXPECT_EQ(zemlInit(), uint32_t{ZEML_ERROR_INITIALIZED});
    EXPECT_EQ(zemlShutDown(), 0u);
    EXPECT_EQ(zemlInit(), 0u);
    EXPECT_EQ(zemlGetCardCount(&n), 0u);
    EXPECT_EQ(zemlShutDown(), 0u);
}

TEST_F(Management, HandlesRoundTripThroughEveryIdentity) {
    uint32_t count = 0;
    ASSERT_EQ(zemlGetCardCount(&count), 0u);
    ASSERT_EQ(count, 1u);
    const uint64_t handle = card(0);
    EXPECT_NE(handle, 0u);
    zemlCardInfo_struct info[2];
    ASSERT_EQ(zemlGetCardInfo(&count, info, 2), 0u);
    ASSERT_EQ(count, 1u);
    char uuid[37];
    ASSERT_EQ(zemlGetUUID(handle, uuid, sizeof uuid), 0u);
    EXPECT_EQ(std::strlen(uuid), 36u);
    EXPECT_EQ(std::string(info[0].uuid), std::string(uuid, 31));
    EXPECT_EQ(zemlGetUUID(handle, uuid, 36), uint32_t{ZEML_USER_BUF_INSUFFICIENT});
    std::string upper(uuid);
    for (char &c : upper) c = static_cast<char>(std::toupper(c));
    uint64_t found = 0;
    for (const std::string &text : {std::string(uuid), std::string(info[0].uuid), upper}) {
        found = 0;
        EXPECT_EQ(zemlGetHandleByUUID(text.c_str(), &found), 0u) << text;
        EXPECT_EQ(found, handle);
    }
    EXPECT_EQ(zemlGetHandleByPciBusId(info[0].pciInfo.busId, &found), 0u);
    EXPECT_EQ(found, handle);
    EXPECT_EQ(zemlGetHandleByPciBusId("0:1:0.0", &found), 0u);
    EXPECT_EQ(zemlGetCardHandleByCardId(info[0].cardId, &found), 0u);
    EXPECT_EQ(found, handle);

    // Dies: by index and by packed index, which agrees with the common library.
    for (uint32_t device = 0; device < 2; ++device) {
        zemlDieIndex index = 0;
        ASSERT_EQ(zemlGetDieIndexByDevIndex(device, &index), 0u);
        uint32_t cardId, dieId, seqNum;
        ASSERT_EQ(zecmGetDeviceIdInfo(device, &cardId, &dieId, &seqNum), 0u);
        EXPECT_EQ(index, ZEML_DIE_INDEX(dieId, cardId, seqNum));
        EXPECT_EQ(info[0].dieInfo[device].dieIndex, index);
        EXPECT_EQ(zemlGetDieHandleByDieIndex(index, &found), 0u);
        EXPECT_EQ(found, die(device));
    }
}

TEST_F(Management, UnknownNamesAndBadArgumentsGetTheirStatus) {
    const uint32_t notFound = ZEML_ERROR_CARD_NOTFOUND, bad = ZEML_ERROR_INPUT_PARAMETER_ERROR,
                   null = ZEML_ERROR_INPUT_PARAMETER_NULL;
    uint64_t h = 0;
    uint32_t n = 0;
    zemlTemperature_struct temperature{};
    zemlDieIndex index = 0;
    const std::vector<std::pair<uint32_t, std::function<uint32_t()>>> cases = {
        {notFound, [&] { return zemlGetCardHandleByIndex(1, &h); }},
        {notFound, [&] { return zemlGetCardHandleByCardId(7, &h); }},
        {notFound, [&] { return zemlGetHandleByUUID("00000000-0000-0000-0000-000000000000", &h); }},
        {notFound, [&] { return zemlGetHandleByPciBusId("0000:02:00.0", &h); }},
        {notFound, [&] { return zemlGetDieCount(0, &n); }},
        {notFound, [&] { return zemlGetDieCount(die(0), &n); }},  // a die handle is no card handle
        {notFound, [&] { return zemlGetDieHandleByIndex(card(0), 2, &h); }},
        {notFound, [&] { return zemlGetDieHandleByDieIndex(ZEML_DIE_INDEX(1, 0, 0), &h); }},
        {notFound, [&] { return zemlGetTemperature(card(0), &temperature); }},
        {notFound, [&] { return zemlGetTemperature(die(1) + 1, &temperature); }},
        {bad, [&] { return zemlGetHandleByUUID("5a450000", &h); }},
        {bad, [&] { return zemlGetHandleByPciBusId("01:00", &h); }},
        {bad, [&] { return zemlGetDieIndexByDevIndex(2, &index); }},
        {bad,
         [&] {
             zemlAiDevInfo_struct devices[3];
             return zemlGetAiDevInfo(devices, 3);
         }},
        {bad, [&] { return zemlSetLogLevel(static_cast<zemlLogLevel_enum>(7)); }},
        {bad, [&] { return zemlLogMsg(ZEML_LOG_NONE, "s", ZEML_SUCCESS, "t"); }},
        {null, [&] { return zemlGetCardCount(nullptr); }},
        {null, [&] { return zemlGetHandleByUUID(nullptr, &h); }},
        {null, [&] { return zemlGetCardInfo(&n, nullptr, 1); }},
        {null, [&] { return zemlGetTemperature(die(0), nullptr); }},
        {null, [&] { return zemlLogMsg(ZEML_LOG_INFO, nullptr, ZEML_SUCCESS, "t"); }},
        {null, [&] { return zemlGetDriverSWVersion(nullptr, 10); }},
        {ZEML_USER_BUF_INSUFFICIENT,
         [&] {
             char text[4];
             return zemlGetDriverSWVersion(text, sizeof text);
         }},
    };
    for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(cases[i].second(), cases[i].first) << "case " << i;
}

TEST_F(Management, ListsStopAtTheirCapacity) {
    uint32_t count = 9;
    EXPECT_EQ(zemlGetCardInfo(&count, nullptr, 0), 0u);
    EXPECT_EQ(count, 0u);
    zemlDieBaseInfo_struct dies[2] = {};
    std::memset(&dies[1], 0x5A, sizeof dies[1]);
    ASSERT_EQ(zemlGetDieInfo(card(0), dies, &count, 1), 0u);
    EXPECT_EQ(count, 1u);
    EXPECT_STREQ(dies[0].zeccBaseInfo.name, "/dev/zecc0");
    EXPECT_EQ(dies[1].dieIndex, 0x5A5A5A5Au);  // untouched
    zemlProcessInfo_struct processes[1];
    EXPECT_EQ(zemlGetNetWorkRunningInfo(die(0), processes, &count, 1), 0u);
    EXPECT_EQ(count, 0u);
}

// A process slot whose meters say every engine of AI device 0 and codec device 0 has
// been busy for the last 5 s and still is, and which holds a quarter of device 0's memory.
class LoadedDie : public Management {
protected:
    void SetUp() override {
        Management::SetUp();
        ASSERT_EQ(shared(&registry_), State::Ready);
        slot_ = registry_->claim(getpid(), ownStart(), "load");
        ASSERT_NE(slot_, nullptr);
        for (auto &engine : slot_->meters) engine[0].active[0].store(now() - 50 * kBucketNs);  // still running
        slot_->memory[0].store(zesim::kDefaultDeviceMemory / 4);
    }
    void TearDown() override {
        registry_->release(slot_, getpid());
        Management::TearDown();
    }
    std::shared_ptr<Registry> registry_;
    Slot *slot_ = nullptr;
};

TEST_F(LoadedDie, TelemetryFollowsTheModel) {
    zemlUtilizationRate_struct rate{};
    ASSERT_EQ(zemlGetUtilizationRate(die(0), &rate), 0u);
    EXPECT_EQ((std::vector<int32_t>{rate.ai, rate.vdsp, rate.vemcu, rate.vdmcu}),
              (std::vector<int32_t>{100, 100, 100, 100}));
    zemlMcuUtilizationRate_struct mcu{};
    ASSERT_EQ(zemlGetMcuUtilizationRate(die(0), &mcu), 0u);
    EXPECT_EQ(mcu.vdsp[0], 100);
    EXPECT_EQ(mcu.vdsp[1], 0);
    zemlMemUtilizationRate_stuct memory{};
    ASSERT_EQ(zemlGetMemUtilizationRate(die(0), &memory), 0u);
    EXPECT_EQ(memory.used, zesim::kDefaultDeviceMemory / 4);
    EXPECT_EQ(memory.free + memory.used, memory.total);
    EXPECT_EQ(memory.utilizationRate, 25);
    zemlTemperature_struct hot{}, idle{};
    ASSERT_EQ(zemlGetTemperature(die(0), &hot), 0u);
    ASSERT_EQ(zemlGetTemperature(die(1), &idle), 0u);
    EXPECT_EQ(hot.unit, 0u);
    for (int i = 0; i < MAX_TEMPERATURE_SUBMODULE; ++i) {
        EXPECT_GE(idle.temperature[i], 40u + i % 3);  // other tests may have worked on die 1 just now
        EXPECT_LT(idle.temperature[i], hot.temperature[i]);
        EXPECT_EQ(hot.temperature[i], 80u + i % 3);
    }
    zemlPower_struct power{};
    zemlPowerVolt_struct volts{};
    zemlPowerCur_struct current{};
    ASSERT_EQ(zemlGetPower(die(0), &power), 0u);
    ASSERT_EQ(zemlGetPowerVolt(die(0), &volts), 0u);
    ASSERT_EQ(zemlGetPowerCur(die(0), &current), 0u);
    EXPECT_EQ((std::vector<uint32_t>(power.power, power.power + 4)), (std::vector<uint32_t>{45750, 36000, 5500, 4250}));
    EXPECT_EQ(volts.powerVolt[0], 850u);
    EXPECT_EQ(current.powerCur[0], 42353u);  // 36000 mW / 850 mV
    zemlFanSpeedInfo_struct fan{};
    ASSERT_EQ(zemlGetFanSpeedInfo(card(0), &fan), 0u);
    EXPECT_EQ(fan.fanSpeedLevel, 100);
    zemlProcessInfo_struct processes[4];
    uint32_t count = 0;
    ASSERT_EQ(zemlGetRunningProcesses(die(0), processes, &count, 4), 0u);
    ASSERT_GE(count, 1u);
    EXPECT_TRUE(std::any_of(processes, processes + count, [](const zemlProcessInfo_struct &p) {
        return p.pid == getpid() && p.memused == 4096 && std::string(p.name) == "load";
    }));
    EXPECT_EQ(zemlGetRunningProcesses(die(1), processes, &count, 4), 0u);
    EXPECT_TRUE(std::none_of(processes, processes + count,
                             [](const zemlProcessInfo_struct &p) { return std::string(p.name) == "load"; }));
}

// A die lists the processes whose memory or work makes up its telemetry (decoder work on
// its codec device included), and its used memory is the sum of their memused, in MiB.
TEST_F(Management, ProcessesOfADieAddUpToItsMemoryAndLoad) {
    std::shared_ptr<Registry> registry;
    ASSERT_EQ(shared(&registry), State::Ready);
    Slot *slots[3] = {registry->claim(getpid(), ownStart(), "a"), registry->claim(getpid(), ownStart(), "b"),
                      registry->claim(getpid(), ownStart(), "decoder")};
    ASSERT_TRUE(slots[0] && slots[1] && slots[2]);
    slots[0]->memory[0].store(3 << 19);                                                     // 1.5 MiB
    slots[1]->memory[0].store(1 << 18);                                                     // 0.25 MiB
    slots[2]->meters[uint32_t(Engine::Decoder)][1].active[0].store(now() - 5 * kBucketNs);  // still decoding
    std::map<std::string, int32_t> listed[2];
    uint64_t sum = 0;
    for (uint32_t d = 0; d < 2; ++d) {
        zemlProcessInfo_struct processes[kSlots];
        uint32_t count = 0;
        ASSERT_EQ(zemlGetRunningProcesses(die(d), processes, &count, kSlots), 0u);
        for (uint32_t i = 0; i < count; ++i) listed[d][processes[i].name] = processes[i].memused;
        for (uint32_t i = 0; d == 0 && i < count; ++i) sum += uint64_t(processes[i].memused) << 20;
    }
    zemlMemUtilizationRate_stuct memory{};
    ASSERT_EQ(zemlGetMemUtilizationRate(die(0), &memory), 0u);
    EXPECT_EQ(memory.used, sum);
    EXPECT_EQ((std::vector<int32_t>{listed[0]["a"], listed[0]["b"]}), (std::vector<int32_t>{2, 1}));
    EXPECT_EQ((std::vector<size_t>{listed[0].count("decoder"), listed[1].count("decoder"), listed[1].count("a")}),
              (std::vector<size_t>{0, 1, 0}));
    for (Slot *slot : slots) registry->release(slot, getpid());
}

// The hooks of the libraries publish into this process's own slot.
TEST_F(Management, AllocationsAndWorkOfThisProcessArePublished) {
    zecmUninitialize();
    ASSERT_EQ(zecmInitialize(nullptr), 0u);
    ASSERT_EQ(zecmSetDevice(1), 0u);
    zemlMemUtilizationRate_stuct before{}, during{}, after{};
    ASSERT_EQ(zemlGetMemUtilizationRate(die(1), &before), 0u);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 200; ++i) {
                void *block = nullptr;
                ASSERT_EQ(zecmMalloc(1000, &block), 0u);
                ASSERT_EQ(zecmFree(block), 0u);
            }
        });
    for (auto &thread : threads) thread.join();
    void *block = nullptr;
    ASSERT_EQ(zecmMalloc(3 << 20, &block), 0u);
    ASSERT_EQ(zemlGetMemUtilizationRate(die(1), &during), 0u);
    EXPECT_EQ(during.used, before.used + (3 << 20));
    {
        Busy busy(Engine::Compute, 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        zemlUtilizationRate_struct rate{};
        ASSERT_EQ(zemlGetUtilizationRate(die(1), &rate), 0u);
        EXPECT_GE(rate.ai, 5);  // at least 50 ms of the last second
    }
    ASSERT_EQ(zecmFree(block), 0u);
    ASSERT_EQ(zemlGetMemUtilizationRate(die(1), &after), 0u);
    EXPECT_EQ(after.used, before.used);
    zecmUninitialize();
}

TEST_F(Management, LogTextsAreWrittenLiterallyAboveTheThreshold) {
    const char *tmp = std::getenv("TMPDIR");
    const std::string file = std::string(tmp && *tmp ? tmp : "/tmp") + "/zesim-log/zeml.log";
    const std::string marker = "marker-" + std::to_string(getpid());
    ASSERT_EQ(zemlSetLogLevel(ZEML_LOG_WARN), 0u);
    EXPECT_EQ(zemlLogMsg(ZEML_LOG_INFO, "tool", ZEML_SUCCESS, (marker + " dropped").c_str()), 0u);
    EXPECT_EQ(zemlLogMsg(ZEML_LOG_ERROR, "to%sol", ZEML_ERROR_CARD_NOTFOUND, (marker + " %s %n %d").c_str()), 0u);
    ASSERT_EQ(zemlSetLogLevel(ZEML_LOG_INFO), 0u);
    std::ifstream log(file);
    std::string line, found;
    while (std::getline(log, line))
        if (line.find(marker) != std::string::npos) found += line.substr(line.find("] [ML]")) + "\n";
    EXPECT_EQ(found, "] [ML] [ERROR] [to%sol] [status 70006] " + marker + " %s %n %d\n");
}

TEST(Inventory, DiesOfACardAreLimitedToFour) {
    auto inventory = zesim::parseInventory(R"({"cards": [{"dies": 4}, {"dies": 5}]})");
    EXPECT_FALSE(inventory.valid);
    EXPECT_EQ(inventory.error, "card 1 has 5 dies; a card has 0 to 4");
    inventory = zesim::parseInventory(R"({"cards": [{"dies": [{}, {}, {}, {}, {"codec": false}]}]})");
    EXPECT_FALSE(inventory.valid);
    EXPECT_TRUE(inventory.cards.empty());
}

TEST(Inventory, IdentitiesMustTellTheCardsApart) {
    const std::pair<const char *, const char *> refused[] = {
        {R"({"cards": [{"id": 1}, {"id": 1}]})", "card 1: id 1 used twice"},
        {R"({"cards": [{"id": 65536}]})", "card 0: id above 65535"},
        {R"({"cards": [{"uuid": "not-a-uuid"}]})", "card 0: uuid must read"},
        {R"({"cards": [{"uuid": "5a455349-4d00-4000-8000-000000000001"},
                       {"uuid": "5A455349-4d00-4000-8000-000000000002"}]})",
         "card 1: uuid equals another"},
        {R"({"cards": [{"busId": "0000:01:00"}]})", "card 0: busId must read"},
        {R"({"cards": [{"busId": "0:3:0.0"}, {"busId": "0000:03:00.0"}]})", "card 1: busId used twice"},
        {R"({"cards": [{"type": "a type name longer than thirty-three"}]})", "card 0: type longer"},
    };
    for (const auto &[text, error] : refused) {
        auto inventory = zesim::parseInventory(text);
        EXPECT_FALSE(inventory.valid) << text;
        EXPECT_EQ(inventory.error.rfind(error, 0), 0u) << inventory.error;
    }
    // Generated identities differ even in the short form of the UUID.
    auto inventory = zesim::parseInventory(R"({"cards": [{}, {}, {"dies": [{"ai": false}]}]})");
    ASSERT_TRUE(inventory.valid) << inventory.error;
    EXPECT_NE(inventory.cards[0].uuid.substr(0, 31), inventory.cards[1].uuid.substr(0, 31));
    EXPECT_EQ(inventory.cards[2].dies[0].aiDevice, -1);
    EXPECT_EQ(inventory.cards[2].dies[0].codecDevice, 4);
}

}  // namespace
