/* MD5 digest of a byte range; exported by the common runtime (libzecm). */
#pragma once
#ifndef __cplusplus
#error "md5.h is a C++ header"
#endif

#include <stddef.h>
#include <stdint.h>

#include <string>

#ifndef ZE_API
#define ZE_API __attribute__((visibility("default")))
#endif

namespace md5 {

/* The MD5 digest of the length bytes at data, as 32 lower-case hexadecimal digits.
 * data may be null only when length is 0. */
ZE_API std::string digestString(const void *data, uint32_t length);

} // namespace md5
