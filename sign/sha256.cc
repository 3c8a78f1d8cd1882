#include "sign/sha256.h"

#include <nettle/sha2.h>

#include <cstdint>

namespace zel {

std::string sha256_hex(std::string_view bytes) {
  sha256_ctx context;
  sha256_init(&context);
  sha256_update(&context, bytes.size(), reinterpret_cast<const std::uint8_t*>(bytes.data()));
  std::uint8_t hash[SHA256_DIGEST_SIZE];
  sha256_digest(&context, sizeof hash, hash);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (const std::uint8_t byte : hash) {
    hex += kHex[byte >> 4U];
    hex += kHex[byte & 0xfU];
  }
  return hex;
}

}  // namespace zel
