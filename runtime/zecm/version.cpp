// Version text and error descriptions.
#include <cstring>

#include "zecm/runtime.hpp"
#include "zesim/status.hpp"

namespace {

constexpr uint32_t kMajor = 2, kMinor = 1, kPatch = 1, kBuild = 0;
const char kVersion[] = "zecm 2.1.1 (software card)";

}  // namespace

uint32_t zecmGetVersion(char **version, uint32_t *major, uint32_t *minor, uint32_t *patch, uint32_t *build) {
    ZESIM_CALL(version, major, minor, patch, build) {
        if (!version || !major || !minor || !patch || !build) return zecmER_INVALID_PARAM;
        *version = const_cast<char *>(kVersion);
        *major = kMajor;
        *minor = kMinor;
        *patch = kPatch;
        *build = kBuild;
        return zecmER_SUCCESS;
    };
}

// Describes the codes of every library of the card; the text and its NUL must fit size.
uint32_t zecmGetErrDesc(uint32_t code, char *desc, uint32_t size) {
    ZESIM_CALL(code, desc, size) {
        if (!desc) return zecmER_INVALID_PARAM;
        std::string text = zesim::describeStatus(code);
        if (text.size() + 1 > size) return zecmER_BUFFER_TOO_SMALL;
        std::memcpy(desc, text.c_str(), text.size() + 1);
        return zecmER_SUCCESS;
    };
}
