// Die telemetry: memory, load and processes from the usage registry (every process
// using the card publishes there), and sensors from a model driven by that load.
//
// Loads are busy seconds per second over the last second, summed over processes:
//   ai = compute runs and vdsp = preprocess ops on the die's AI device,
//   vdmcu = decoder and vemcu = encoder channel work on the die's codec device.
// A die's processes are those whose memory or work makes up its memory and load.
// Memory has one accounting: each process's memory on the die's AI device counts in
// whole MiB, rounded up (any memory counts 1); the die's used memory is the sum of those
// (capped at its total), so that it equals the sum of its processes' memused.
// A die's rate is that load in percent, capped at 100. The microcontroller lists
// spread a load L over their N entries as if filling them in order: entry i is
// clamp(L - i, 0, 1) in percent (two runs at once all the time: 100, 100, 0, 0).
//
// The sensor model, with u = drive() (0 idle, 1 every engine busy) and the engine
// shares a, p, d, e (ai, vdsp, vdmcu, vemcu capped at 1), m the memory share:
//   unit codes: 0 degrees Celsius, 1 milliwatts, 2 milliamperes, 3 millivolts, 4 MHz
//   temperature[i] = 40 + i mod 3 + 40u                          (degC)
//   tempThreshold  = 85 warning, 95 throttle, 105 shutdown         (degC)
//   power          = [total, cores 4000 + 26000a + 6000p,
//                     video 1500 + 2000d + 2000e, memory 3000 + 5000m]  (mW)
//   powerVolt      = [cores 750 + 100u, video 800, memory 1100]   (mV)
//   powerCur[k]    = power[k + 1] / powerVolt[k]                   (mA)
//   pinVolt        = [12000, 3300, 1800, 1200, 900, 750] less 0.5% at u = 1 (mV)
//   clocks         = AI cores 4 x (600 + 400a), vdsp 4 x (500 + 300p), decoder 400 + 200d,
//                    encoder 400 + 200e, memory 1600, bus 800      (MHz)
//   fan            = 30 + 70 x the highest u of the card's dies    (percent)
// Values are rounded to whole units.
#include <algorithm>
#include <cmath>

#include "zeml/management.hpp"

namespace zeml {
namespace {

enum Unit : uint32_t { kCelsius = 0, kMilliwatt = 1, kMilliampere = 2, kMillivolt = 3, kMegahertz = 4 };

constexpr uint32_t kThresholds[MAX_TEMP_THRESHOLD_SUBMODULE] = {85, 95, 105};
constexpr uint32_t kPins[MAX_PIN_VOLT_SUMMODULE] = {12000, 3300, 1800, 1200, 900, 750};
constexpr uint64_t kMiB = 1 << 20;

double capped(double load) { return std::clamp(load, 0.0, 1.0); }
uint32_t whole(double value) { return static_cast<uint32_t>(std::lround(std::max(0.0, value))); }

uint32_t bit(int32_t device) {
    return device >= 0 && device < static_cast<int32_t>(zesim::usage::kDevices) ? 1u << device : 0u;
}

// The processes of the registry this process uses, with the loads of the AI and codec
// devices of the dies given; FETCH_API when the registry cannot be read.
template <class Dies> uint32_t liveProcesses(const Dies &dies, std::vector<zesim::usage::Process> *processes) {
    std::shared_ptr<zesim::usage::Registry> registry;
    switch (zesim::usage::shared(&registry)) {
    case zesim::usage::State::Off: return ZEML_SUCCESS;  // an idle card
    case zesim::usage::State::Unusable: return ZEML_ERROR_FETCH_API;
    case zesim::usage::State::Ready: break;
    }
    uint32_t ai = 0, codec = 0;
    for (const zesim::Die &die : dies) {
        ai |= bit(die.aiDevice);
        codec |= bit(die.codecDevice);
    }
    *processes = registry->processes(zesim::usage::now(), ai, codec);
    return ZEML_SUCCESS;
}

bool tracked(int32_t device) { return device >= 0 && device < static_cast<int32_t>(zesim::usage::kDevices); }

// A process's memory on a device as the die's used memory and the process list count it:
// whole MiB, rounded up.
uint64_t accountedMiB(uint64_t bytes) { return bytes / kMiB + (bytes % kMiB != 0); }

double engineLoad(const std::vector<zesim::usage::Process> &processes, zesim::usage::Engine engine, int32_t device) {
    if (!tracked(device)) return 0;
    double sum = 0;
    for (const auto &process : processes) sum += process.load[static_cast<uint32_t>(engine)][device];
    return sum;
}

DieLoad loadOf(const zesim::Die &die, const std::vector<zesim::usage::Process> &processes) {
    using zesim::usage::Engine;
    DieLoad load;
    load.ai = engineLoad(processes, Engine::Compute, die.aiDevice);
    load.vdsp = engineLoad(processes, Engine::Preprocess, die.aiDevice);
    load.vdmcu = engineLoad(processes, Engine::Decoder, die.codecDevice);
    load.vemcu = engineLoad(processes, Engine::Encoder, die.codecDevice);
    if (die.aiDevice >= 0) {
        load.memoryTotal = die.memory;
        if (tracked(die.aiDevice)) {
            for (const auto &process : processes) {
                const uint64_t held = std::min(load.memoryTotal, accountedMiB(process.memory[die.aiDevice]) * kMiB);
                load.memoryUsed = std::min(load.memoryTotal, load.memoryUsed + held);
            }
        }
    }
    return load;
}

// Spreads a load over `count` entries, filling them in order.
void spread(double load, int32_t *entries, size_t count) {
    for (size_t i = 0; i < count; ++i) entries[i] = percent(load - static_cast<double>(i));
}

// Runs `fill(load, record)` for the die a handle names.
template <class Record, class Fill> uint32_t withLoad(uint64_t handle, Record *record, Fill fill) {
    if (uint32_t status = checkInitialized()) return status;
    if (!record) return ZEML_ERROR_INPUT_PARAMETER_NULL;
    const zesim::Die *die = findDie(handle);
    if (!die) return ZEML_ERROR_CARD_NOTFOUND;
    return guarded([&]() -> uint32_t {
        DieLoad load;
        if (uint32_t status = readLoad(*die, &load)) return status;
        Record result{};
        fill(load, result);
        *record = result;
        return ZEML_SUCCESS;
    });
}

// The processes on a die: with device memory on its AI device, or work on one of its
// devices over the last second (compute runs or preprocess ops on its AI device, decoder
// or encoder work on its codec device); in pid order.
uint32_t processList(uint64_t handle, zemlProcessInfo_struct *records, uint32_t *count, uint32_t capacity,
                     bool network) {
    if (uint32_t status = checkInitialized()) return status;
    if (!count || (!records && capacity)) return ZEML_ERROR_INPUT_PARAMETER_NULL;
    const zesim::Die *die = findDie(handle);
    if (!die) return ZEML_ERROR_CARD_NOTFOUND;
    return guarded([&]() -> uint32_t {
        using zesim::usage::Engine;
        *count = 0;
        const bool ai = tracked(die->aiDevice), codec = tracked(die->codecDevice);
        if (network || (!ai && !codec)) return ZEML_SUCCESS;  // the card has no network engine
        std::vector<zesim::usage::Process> processes;
        if (uint32_t status = liveProcesses(std::vector<zesim::Die>{*die}, &processes)) return status;
        std::sort(processes.begin(), processes.end(), [](const auto &a, const auto &b) { return a.pid < b.pid; });
        auto busy = [](const zesim::usage::Process &process, Engine engine, int32_t device) {
            return process.load[static_cast<uint32_t>(engine)][device] > 0;
        };
        uint32_t written = 0;
        for (const auto &process : processes) {
            const uint64_t memory = ai ? accountedMiB(process.memory[die->aiDevice]) : 0;
            const bool working = (ai && (busy(process, Engine::Compute, die->aiDevice) ||
                                         busy(process, Engine::Preprocess, die->aiDevice))) ||
                                 (codec && (busy(process, Engine::Decoder, die->codecDevice) ||
                                            busy(process, Engine::Encoder, die->codecDevice)));
            if (!memory && !working) continue;
            if (written == capacity) break;
            zemlProcessInfo_struct &record = records[written++];
            record = zemlProcessInfo_struct{};
            record.pid = process.pid;
            record.memused = static_cast<int32_t>(std::min<uint64_t>(INT32_MAX, memory));
            putText(record.name, sizeof record.name, process.name);
        }
        *count = written;
        return ZEML_SUCCESS;
    });
}

}  // namespace

double DieLoad::drive() const {
    return capped(0.6 * capped(ai) + 0.2 * capped(vdsp) + 0.1 * capped(vdmcu) + 0.1 * capped(vemcu));
}

int32_t percent(double share) { return static_cast<int32_t>(std::lround(100.0 * capped(share))); }

uint32_t readLoad(const zesim::Die &die, DieLoad *load) {
    std::vector<zesim::usage::Process> processes;
    if (uint32_t status = liveProcesses(std::vector<zesim::Die>{die}, &processes)) return status;
    *load = loadOf(die, processes);
    return ZEML_SUCCESS;
}

}  // namespace zeml

using namespace zeml;

uint32_t zemlGetMemUtilizationRate(uint64_t dieHandle, zemlMemUtilizationRate_stuct *rate) {
    ZESIM_CALL(dieHandle, rate) {
        return withLoad(dieHandle, rate, [](const DieLoad &load, zemlMemUtilizationRate_stuct &record) {
            record.total = load.memoryTotal;
            record.used = load.memoryUsed;
            record.free = load.memoryTotal - load.memoryUsed;
            record.utilizationRate = percent(load.memoryShare());
        });
    };
}

uint32_t zemlGetUtilizationRate(uint64_t dieHandle, zemlUtilizationRate_struct *rate) {
    ZESIM_CALL(dieHandle, rate) {
        return withLoad(dieHandle, rate, [](const DieLoad &load, zemlUtilizationRate_struct &record) {
            record.ai = percent(load.ai);
            record.vdsp = percent(load.vdsp);
            record.vemcu = percent(load.vemcu);
            record.vdmcu = percent(load.vdmcu);
        });
    };
}

uint32_t zemlGetMcuUtilizationRate(uint64_t dieHandle, zemlMcuUtilizationRate_struct *rate) {
    ZESIM_CALL(dieHandle, rate) {
        return withLoad(dieHandle, rate, [](const DieLoad &load, zemlMcuUtilizationRate_struct &record) {
            record.ai = percent(load.ai);
            spread(load.vdsp, record.vdsp, MAX_DIE_VDSP_NUM);
            spread(load.vemcu, record.vemcu, MAX_DIE_VEMCU_NUM);
            spread(load.vdmcu, record.vdmcu, MAX_DIE_VDMCU_NUM);
        });
    };
}

uint32_t zemlGetTemperature(uint64_t dieHandle, zemlTemperature_struct *temperature) {
    ZESIM_CALL(dieHandle, temperature) {
        return withLoad(dieHandle, temperature, [](const DieLoad &load, zemlTemperature_struct &record) {
            record.unit = kCelsius;
            for (uint32_t i = 0; i < MAX_TEMPERATURE_SUBMODULE; ++i)
                record.temperature[i] = 40 + i % 3 + whole(40 * load.drive());
        });
    };
}

uint32_t zemlGetTempThreshold(uint64_t dieHandle, zemlTempThreshold_struct *threshold) {
    ZESIM_CALL(dieHandle, threshold) {
        return withLoad(dieHandle, threshold, [](const DieLoad &, zemlTempThreshold_struct &record) {
            record.unit = kCelsius;
            std::copy(std::begin(kThresholds), std::end(kThresholds), record.tempThreshold);
        });
    };
}

namespace {

// Rail power in mW: cores, video, memory.
void railPower(const DieLoad &load, double rails[3]) {
    rails[0] = 4000 + 26000 * capped(load.ai) + 6000 * capped(load.vdsp);
    rails[1] = 1500 + 2000 * capped(load.vdmcu) + 2000 * capped(load.vemcu);
    rails[2] = 3000 + 5000 * load.memoryShare();
}

// Rail voltages in mV: cores, video, memory.
void railVoltage(const DieLoad &load, double rails[3]) {
    rails[0] = 750 + 100 * load.drive();
    rails[1] = 800;
    rails[2] = 1100;
}

}  // namespace

uint32_t zemlGetPower(uint64_t dieHandle, zemlPower_struct *power) {
    ZESIM_CALL(dieHandle, power) {
        return withLoad(dieHandle, power, [](const DieLoad &load, zemlPower_struct &record) {
            double rails[3];
            railPower(load, rails);
            record.unit = kMilliwatt;
            for (int i = 0; i < 3; ++i) record.power[i + 1] = whole(rails[i]);
            record.power[0] = record.power[1] + record.power[2] + record.power[3];
        });
    };
}

uint32_t zemlGetPowerVolt(uint64_t dieHandle, zemlPowerVolt_struct *powerVolt) {
    ZESIM_CALL(dieHandle, powerVolt) {
        return withLoad(dieHandle, powerVolt, [](const DieLoad &load, zemlPowerVolt_struct &record) {
            double rails[3];
            railVoltage(load, rails);
            record.unit = kMillivolt;
            for (int i = 0; i < 3; ++i) record.powerVolt[i] = whole(rails[i]);
        });
    };
}

uint32_t zemlGetPowerCur(uint64_t dieHandle, zemlPowerCur_struct *powerCur) {
    ZESIM_CALL(dieHandle, powerCur) {
        return withLoad(dieHandle, powerCur, [](const DieLoad &load, zemlPowerCur_struct &record) {
            double power[3], volts[3];
            railPower(load, power);
            railVoltage(load, volts);
            record.unit = kMilliampere;
            for (int i = 0; i < 3; ++i) record.powerCur[i] = whole(1000 * power[i] / volts[i]);
        });
    };
}

uint32_t zemlGetPinVolt(uint64_t dieHandle, zemlPinVolt_struct *pinVolt) {
    ZESIM_CALL(dieHandle, pinVolt) {
        return withLoad(dieHandle, pinVolt, [](const DieLoad &load, zemlPinVolt_struct &record) {
            record.unit = kMillivolt;
            for (int i = 0; i < MAX_PIN_VOLT_SUMMODULE; ++i)
                record.pinVolt[i] = whole(kPins[i] * (1 - 0.005 * load.drive()));
        });
    };
}

uint32_t zemlGetPllClocks(uint64_t dieHandle, zemlPllClock_struct *clocks) {
    ZESIM_CALL(dieHandle, clocks) {
        return withLoad(dieHandle, clocks, [](const DieLoad &load, zemlPllClock_struct &record) {
            record.unit = kMegahertz;
            for (int i = 0; i < 4; ++i) record.clockArray[i] = whole(600 + 400 * capped(load.ai));
            for (int i = 4; i < 8; ++i) record.clockArray[i] = whole(500 + 300 * capped(load.vdsp));
            record.clockArray[8] = whole(400 + 200 * capped(load.vdmcu));
            record.clockArray[9] = whole(400 + 200 * capped(load.vemcu));
            record.clockArray[10] = 1600;
            record.clockArray[11] = 800;
        });
    };
}

uint32_t zemlGetFanSpeedInfo(uint64_t cardHandle, zemlFanSpeedInfo_struct *fanSpeed) {
    ZESIM_CALL(cardHandle, fanSpeed) {
        if (uint32_t status = checkInitialized()) return status;
        if (!fanSpeed) return ZEML_ERROR_INPUT_PARAMETER_NULL;
        const zesim::Card *card = findCard(cardHandle);
        if (!card) return ZEML_ERROR_CARD_NOTFOUND;
        return guarded([&]() -> uint32_t {
            std::vector<zesim::usage::Process> processes;
            if (uint32_t status = liveProcesses(card->dies, &processes)) return status;
            double hottest = 0;
            for (const zesim::Die &die : card->dies) hottest = std::max(hottest, loadOf(die, processes).drive());
            fanSpeed->fanSpeedLevel = static_cast<int32_t>(whole(30 + 70 * hottest));
            return ZEML_SUCCESS;
        });
    };
}

uint32_t zemlGetRunningProcesses(uint64_t dieHandle, zemlProcessInfo_struct *processes, uint32_t *count,
                                 uint32_t capacity) {
    ZESIM_CALL(dieHandle, processes, count, capacity) {
        return processList(dieHandle, processes, count, capacity, false);
    };
}

// The card has no network engine: the list is always empty.
uint32_t zemlGetNetWorkRunningInfo(uint64_t dieHandle, zemlProcessInfo_struct *processes, uint32_t *count,
                                   uint32_t capacity) {
    ZESIM_CALL(dieHandle, processes, count, capacity) {
        return processList(dieHandle, processes, count, capacity, true);
    };
}
