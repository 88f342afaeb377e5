// State of the common runtime: initialisation, runtime options and the device
// selected by the process.
#pragma once
#include <cstdint>
#include <string>

#include "zecm/describe.hpp"
#include "zesim/inventory.hpp"
#include "zesim/registry.hpp"
#include "zecm.h"

#define ZECM_INTERNAL __attribute__((visibility("default")))

namespace zecm {

struct Options {
    std::string logDir;  // where the logger writes its file
};

// Default log directory: $TMPDIR/zesim-log (or /tmp/zesim-log).
ZECM_INTERNAL std::string defaultLogDir();

ZECM_INTERNAL bool initialized();
ZECM_INTERNAL Options options();
// zecmER_NOT_INITIALIZED before zecmInitialize, else zecmER_SUCCESS.
ZECM_INTERNAL uint32_t checkInitialized();
// As checkInitialized, then zecmER_INVALID_DEVICE for an index without an AI device.
ZECM_INTERNAL uint32_t checkDevice(uint32_t device);
// The selected device; zecmER_NO_DEVICE when none is selected.
ZECM_INTERNAL uint32_t currentDevice(uint32_t *device);
// The device of the calling thread's current context; false when it has none
// (or it was destroyed since).
ZECM_INTERNAL bool currentContextDevice(uint32_t *device);

}  // namespace zecm
