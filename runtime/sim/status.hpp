// Descriptions of every status code the software card returns, for all libraries.
#pragma once
#include <cstdint>
#include <string>

#include "sim/call.hpp"

namespace zesim {

// The description of a status code; unknown codes get a generic description.
ZESIM_EXPORT std::string describeStatus(uint32_t code);
// The same description as static text; null for a code no library returns.
ZESIM_EXPORT const char *statusText(uint32_t code);

}  // namespace zesim
