#include "util/log_field.h"

namespace zel {

std::string audit_field(std::string_view text, std::size_t limit) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string field;
  for (const char c : text.substr(0, limit)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte > ' ' && byte < 0x7f && byte != '\\') {
      field += c;
    } else {
      field += "\\x";
      field += kHex[byte >> 4U];
      field += kHex[byte & 0xfU];
    }
  }
  // A backslash from the caller is always \x5c, so this mark can't be forged.
  if (text.size() > limit) field += "\\...";
  return field;
}

std::string stanza_field(const char* name) {
  // The header of a named stanza can't be mistaken for the default one, even
  // for a stanza that is named "default". Built by appending: g++ 12 takes the
  // concatenation of a literal and a temporary for an overlapping copy
  // (-Werror=restrict, a false positive).
  if (name == nullptr) return "default";
  std::string field = "[";
  field += audit_field(name, kAuditNameLimit);
  field += ']';
  return field;
}

}  // namespace zel
