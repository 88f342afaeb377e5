// Version of the library.
#include "zesim/call.hpp"
#include "zeme.h"

uint32_t zemeGetVersion(char **version, uint32_t *major, uint32_t *minor, uint32_t *patch, uint32_t *build) {
    ZESIM_CALL(version, major, minor, patch, build) {
        if (!version || !major || !minor || !patch || !build) return zemeER_RSLT_ERR_INVALID_PARAM;
        *version = const_cast<char *>("zeme 2.1.1 (software card)");
        *major = 2;
        *minor = 1;
        *patch = 1;
        *build = 0;
        return zemeER_SUCCESS;
    };
}
