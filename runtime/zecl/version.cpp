// Version of the compute library.
#include "zesim/call.hpp"
#include "zecl.h"

uint32_t zeclGetVersion(char **version, uint32_t *major, uint32_t *minor, uint32_t *patch, uint32_t *build) {
    ZESIM_CALL(version, major, minor, patch, build) {
        if (!version || !major || !minor || !patch || !build) return zeclER_INVALID_PARAM;
        *version = const_cast<char *>("zecl 2.1.1 (software card)");
        *major = 2;
        *minor = 1;
        *patch = 1;
        *build = 0;
        return zeclER_SUCCESS;
    };
}
