// The SHA-256 of a byte string as 64 lowercase hexadecimal digits: how
// zel-site names a whole site file in the audit file, before and after each
// change it makes, and in its record of the file it last put in force. The
// hash names a file's text without giving it; only root reads either place.
#ifndef ZEL_SIGN_SHA256_H_
#define ZEL_SIGN_SHA256_H_

#include <string>
#include <string_view>

namespace zel {

// The SHA-256 of bytes.
std::string sha256_hex(std::string_view bytes);

}  // namespace zel

#endif  // ZEL_SIGN_SHA256_H_
