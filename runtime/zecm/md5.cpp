// MD5 digests, computed with OpenSSL's EVP interface.
#include "md5.h"

#include <openssl/evp.h>

#include <memory>

namespace md5 {

// An empty string when the digest cannot be computed (null data with a length,
// or an OpenSSL failure).
std::string digestString(const void *data, uint32_t length) {
    if (!data && length) return std::string();
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1 ||
        (length && EVP_DigestUpdate(context.get(), data, length) != 1) ||
        EVP_DigestFinal_ex(context.get(), digest, &size) != 1)
        return std::string();
    static const char hex[] = "0123456789abcdef";
    std::string text(size * 2, '0');
    for (unsigned int i = 0; i < size; ++i) {
        text[2 * i] = hex[digest[i] >> 4];
        text[2 * i + 1] = hex[digest[i] & 0x0f];
    }
    return text;
}

}  // namespace md5
