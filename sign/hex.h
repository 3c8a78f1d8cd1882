// Bytes as lowercase hexadecimal digits, two a byte: how the token identifier
// and a site file's SHA-256 are written in the trail.
#ifndef ZEL_SIGN_HEX_H_
#define ZEL_SIGN_HEX_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace zel {

inline std::string lower_hex(const std::uint8_t* bytes, std::size_t size) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (std::size_t i = 0; i < size; ++i) {
    hex += kHex[bytes[i] >> 4U];
    hex += kHex[bytes[i] & 0xfU];
  }
  return hex;
}

}  // namespace zel

#endif  // ZEL_SIGN_HEX_H_
