// Option texts of zecmInitialize: any text initialises the runtime or is refused
// with zecmER_INVALID_CONFIG, and an initialised runtime uninitialises again.
#include "support.hpp"
#include "zecm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);  // ends at the first NUL, as C text does
    const uint32_t status = zecmInitialize(text.c_str());
    FUZZ_CHECK(status == zecmER_SUCCESS || status == zecmER_INVALID_CONFIG);
    if (status == zecmER_SUCCESS) {
        uint32_t device = 7;
        FUZZ_CHECK(zecmGetDevice(&device) == zecmER_NO_DEVICE);
        FUZZ_CHECK(zecmSetDevice(0) == zecmER_SUCCESS);
        FUZZ_CHECK(zecmUninitialize() == zecmER_SUCCESS);
    }
    return 0;
}
