// Descriptions of every status code the software card returns, for all libraries.
#pragma once
#include <cstdint>
#include <string>

#include "zesim/call.hpp"

namespace zesim {

// The description of a status code; unknown codes get a generic description.
ZESIM_EXPORT std::string describeStatus(uint32_t code);
// The same description as static text; null for a code no library returns.
ZESIM_EXPORT const char *statusText(uint32_t code);

// Why the calling thread's last call that returned `code` refused what it was given
// (a model file, say). Until the thread notes another reason, the description of
// `code` on this thread carries it: "<description>: <reason>." within `kReasonRoom`.
ZESIM_EXPORT void noteReason(uint32_t code, const std::string &reason);
ZESIM_EXPORT void forgetReason();
constexpr size_t kReasonRoom = 250;

}  // namespace zesim
