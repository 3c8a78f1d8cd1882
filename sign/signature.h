// The checksum of a request: the SHA-1 digest of the body's bytes, and the
// HMAC-SHA1 of those 20 digest bytes keyed with the token value, each as standard
// padded base64: bytes only; the driver puts them in the listing.
#ifndef ZEL_SIGN_SIGNATURE_H_
#define ZEL_SIGN_SIGNATURE_H_

#include <cstddef>
#include <optional>
#include <string>

#include "util/secret.h"

namespace zel {

struct Libcrypto;

// Reports the library's failure as its own words give it; 11, or 10 when it ran out of memory.
int report_crypto_failure(const Libcrypto& crypto);

// Reports a library that could not be loaded, with the loader's reason; 11, or 10 for lack of memory.
int report_load_failure(const char* reason);

// Standard base64 with padding, a newline after every 64 characters but the last.
std::string base64(const unsigned char* data, std::size_t length);

// Digests body (up to its NUL) and signs the digest with token, if any; 0 or 11.
int compute_signature(const char* body, std::string& digest_text,
                      std::optional<std::string>& signature_text,
                      const std::optional<SecretBytes>& token);

}  // namespace zel

#endif  // ZEL_SIGN_SIGNATURE_H_
