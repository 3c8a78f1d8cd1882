// The identifier of a token: a short public name that tells two tokens apart in
// the audit trail without giving their values. It is the HMAC-SHA-256 of the
// fixed label "zel-auth token identifier", keyed with every byte of the token
// value, its first 4 bytes as 8 lowercase hexadecimal digits. Whoever can sign
// already holds a better test of a guessed token (a digest and its signature),
// so the identifier gives a log reader nothing more; tokens must be long and
// random either way. zel-auth's signed lines and zel-site's change lines carry it.
#ifndef ZEL_SIGN_TOKEN_ID_H_
#define ZEL_SIGN_TOKEN_ID_H_

#include <string>
#include <string_view>

namespace zel {

inline constexpr std::string_view kTokenIdLabel = "zel-auth token identifier";

// The token's identifier (a failed allocation throws std::bad_alloc, status 10,
// as every other does).
std::string token_identifier(std::string_view token);

}  // namespace zel

#endif  // ZEL_SIGN_TOKEN_ID_H_
