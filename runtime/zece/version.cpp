// Version of the library.
#include "zesim/call.hpp"
#include "zece.h"

uint32_t zeceGetVersion(char **version, uint32_t *major, uint32_t *minor, uint32_t *patch, uint32_t *build) {
    ZESIM_CALL(version, major, minor, patch, build) {
        if (!version || !major || !minor || !patch || !build) return zeceER_INVALID_PARAM;
        *version = const_cast<char *>("zece 2.1.1 (software card)");
        *major = 2;
        *minor = 1;
        *patch = 1;
        *build = 20101;  // the card's version as one number: 2.1.1
        return zeceER_SUCCESS;
    };
}
