// The interpreter must be of the minor version the module was built for.
#pragma once
#include <cstring>

namespace halvora {

// True when `interpreter` (the interpreter's version string) begins with
// `built` ("3.11") and the character after it is not a decimal digit, so that
// "3.11.2 (main...)" passes and "3.110" or "3.7.1" do not.
inline bool versionMatches(const char *built, const char *interpreter) {
    size_t length = std::strlen(built);
    if (std::strncmp(interpreter, built, length) != 0) return false;
    char next = interpreter[length];
    return !(next >= '0' && next <= '9');
}

}  // namespace halvora
