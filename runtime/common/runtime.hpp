// State of the common runtime: initialisation, runtime options and the device
// selected by the process.
#pragma once
#include <cstdint>
#include <string>

#include "common/describe.hpp"
#include "sim/inventory.hpp"
#include "sim/registry.hpp"
#include "zecm.h"

namespace zecm {

struct Options {
    std::string logDir;  // where the logger writes its file
};

// Default log directory: $TMPDIR/zesim-log (or /tmp/zesim-log).
std::string defaultLogDir();

bool initialized();
Options options();
// zecmER_NOT_INITIALIZED before zecmInitialize, else zecmER_SUCCESS.
uint32_t checkInitialized();
// As checkInitialized, then zecmER_INVALID_DEVICE for an index without an AI device.
uint32_t checkDevice(uint32_t device);
// The selected device; zecmER_NO_DEVICE when none is selected.
uint32_t currentDevice(uint32_t *device);
// The device of the calling thread's current context; false when it has none
// (or it was destroyed since).
bool currentContextDevice(uint32_t *device);

}  // namespace zecm
