// Version of the management library.
#include "zesim/call.hpp"
#include "zeml.h"

uint32_t zemlGetVersion(char **version, uint32_t *major, uint32_t *minor, uint32_t *patch, uint32_t *build) {
    ZESIM_CALL(version, major, minor, patch, build) {
        if (!version || !major || !minor || !patch || !build) return ZEML_ERROR_INPUT_PARAMETER_NULL;
        *version = const_cast<char *>("zeml 2.1.1 (software card)");
        *major = 2;
        *minor = 1;
        *patch = 1;
        *build = 0;
        return ZEML_SUCCESS;
    };
}
