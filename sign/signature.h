// The checksum of a request: the SHA-1 digest of the body's bytes, and the
// HMAC-SHA1 of those 20 digest bytes keyed with the token value, each as standard
// padded base64: bytes only; the driver puts them in the listing. Nettle
// computes both, linked into the program: it reads no configuration and
// nothing of the environment but at start-up (see CMakeLists.txt), and a
// computation of it can't fail.
#ifndef ZEL_SIGN_SIGNATURE_H_
#define ZEL_SIGN_SIGNATURE_H_

#include <cstddef>
#include <optional>
#include <string>

#include "util/secret.h"

namespace zel {

// Standard base64 with padding, a newline after every 64 characters but the last.
std::string base64(const unsigned char* data, std::size_t length);

// Digests body (up to its NUL) and signs the digest with token, if any (the
// texts' allocation throws std::bad_alloc, status 10, as every other does).
void compute_signature(const char* body, std::string& digest_text,
                      std::optional<std::string>& signature_text,
                      const std::optional<SecretBytes>& token);

}  // namespace zel

#endif  // ZEL_SIGN_SIGNATURE_H_
