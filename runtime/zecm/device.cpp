// Initialisation, runtime options and device selection.
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <nlohmann/json.hpp>

#include "zecm/runtime.hpp"
#include "zesim/queue.hpp"

namespace zecm {
namespace {

constexpr int64_t kNone = -1;

// Initialisation and the selected device are read on every call: atomics keep
// those reads cheap; the mutex orders initialise/uninitialise and the options.
std::mutex mutex;
std::atomic<bool> isInitialized{false};
std::atomic<int64_t> selectedDevice{kNone};
Options runtimeOptions;

bool parseOptions(const char *config, Options *parsed) {
    parsed->logDir = defaultLogDir();
    if (!config) return true;
    try {
        nlohmann::json json = nlohmann::json::parse(config);
        if (!json.is_object()) return false;
        parsed->logDir = json.value("logDir", parsed->logDir);
        return true;
    } catch (const std::exception &) {
        return false;
    }
}

}  // namespace

std::string defaultLogDir() {
    const char *tmp = std::getenv("TMPDIR");
    return std::string(tmp && *tmp ? tmp : "/tmp") + "/zesim-log";
}

bool initialized() { return isInitialized.load(std::memory_order_acquire); }

Options options() {
    std::lock_guard<std::mutex> lock(mutex);
    return runtimeOptions;
}

uint32_t checkInitialized() { return initialized() ? zecmER_SUCCESS : zecmER_NOT_INITIALIZED; }

uint32_t checkDevice(uint32_t device) {
    if (uint32_t status = checkInitialized()) return status;
    return device < zesim::inventory().aiDevices.size() ? zecmER_SUCCESS : zecmER_INVALID_DEVICE;
}

uint32_t currentDevice(uint32_t *device) {
    if (!initialized()) return zecmER_NOT_INITIALIZED;
    int64_t selected = selectedDevice.load(std::memory_order_acquire);
    if (selected == kNone) return zecmER_NO_DEVICE;
    *device = static_cast<uint32_t>(selected);
    return zecmER_SUCCESS;
}

}  // namespace zecm

using namespace zecm;

uint32_t zecmInitialize(const char *config) {
    ZESIM_CALL(config) {
        if (!zesim::inventory().valid) return zecmER_INVALID_CONFIG;
        Options parsed;
        if (!parseOptions(config, &parsed)) return zecmER_INVALID_CONFIG;
        std::lock_guard<std::mutex> lock(mutex);
        if (isInitialized) return zecmER_ALREADY_INITIALIZED;
        isInitialized = true;
        selectedDevice = kNone;
        runtimeOptions = parsed;
        return zecmER_SUCCESS;
    };
}

uint32_t zecmUninitialize(void) {
    ZESIM_CALL() {
        if (!initialized()) return zecmER_NOT_INITIALIZED;
        // The runs queued so far finish and are delivered while the runtime still stands,
        // so that their reports can take their outputs; then everything goes.
        zesim::drainAllQueues();
        zesim::drainHandleQueues(zesim::kNoDevice);
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!isInitialized) return zecmER_NOT_INITIALIZED;
            isInitialized = false;
            selectedDevice = kNone;
        }
        zesim::drainAllQueues();
        zesim::unregisterDevice(zesim::kNoDevice);  // every object of every library
        return zecmER_SUCCESS;
    };
}

uint32_t zecmSetDevice(uint32_t device) {
    ZESIM_CALL(device) {
        if (uint32_t status = checkDevice(device)) return status;
        selectedDevice.store(device, std::memory_order_release);
        return zecmER_SUCCESS;
    };
}

uint32_t zecmGetDevice(uint32_t *device) {
    ZESIM_CALL(device) {
        if (!device) return zecmER_INVALID_PARAM;
        return currentDevice(device);
    };
}

uint32_t zecmResetDevice(uint32_t device) {
    ZESIM_CALL(device) {
        if (uint32_t status = checkDevice(device)) return status;
        zesim::drainAllQueues();
        zesim::drainHandleQueues(static_cast<int32_t>(device));  // the device's op streams deliver their runs
        zesim::unregisterDevice(static_cast<int32_t>(device));
        return zecmER_SUCCESS;
    };
}

uint32_t zecmGetDeviceIdInfo(uint32_t device, uint32_t *cardId, uint32_t *dieId, uint32_t *seqNum) {
    ZESIM_CALL(device, cardId, dieId, seqNum) {
        if (!cardId || !dieId || !seqNum) return zecmER_INVALID_PARAM;
        const auto &devices = zesim::inventory().aiDevices;
        if (device >= devices.size()) return zecmER_INVALID_DEVICE;
        *cardId = devices[device].cardId;
        *dieId = devices[device].dieId;
        *seqNum = devices[device].seqNum;
        return zecmER_SUCCESS;
    };
}
