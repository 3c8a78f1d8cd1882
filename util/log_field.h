// The fields of an audit line, shared by zel-auth's lines and zel-site's, so
// that a reader parses both with one rule: bytes outside printable ASCII, the
// backslash and the space become \xHH, so each field is one word and no field
// can hold the text of another line; a field longer than its limit is cut
// there and "\..." marks the cut.
#ifndef ZEL_UTIL_LOG_FIELD_H_
#define ZEL_UTIL_LOG_FIELD_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace zel {

// Bytes of the caller's text kept of a name (actor, user, site, administrator) and of a message.
inline constexpr std::size_t kAuditNameLimit = 128;
inline constexpr std::size_t kAuditMessageLimit = 512;

// Escapes text for a line (the space too) and cuts it after limit bytes.
std::string audit_field(std::string_view text, std::size_t limit);

// A name (actor, user, administrator, digest) as a field: audit_field cut at kAuditNameLimit.
inline std::string name_field(std::string_view name) { return audit_field(name, kAuditNameLimit); }

// A stanza as a field: "default", or "[NAME]" with NAME escaped, for a named one (null: the default).
std::string stanza_field(const char* name);

}  // namespace zel

#endif  // ZEL_UTIL_LOG_FIELD_H_
