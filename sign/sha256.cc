#include "sign/sha256.h"

#include <nettle/sha2.h>

#include <cstdint>

#include "sign/hex.h"

namespace zel {

std::string sha256_hex(std::string_view bytes) {
  sha256_ctx context;
  sha256_init(&context);
  sha256_update(&context, bytes.size(), reinterpret_cast<const std::uint8_t*>(bytes.data()));
  std::uint8_t hash[SHA256_DIGEST_SIZE];
  sha256_digest(&context, sizeof hash, hash);
  return lower_hex(hash, sizeof hash);
}

}  // namespace zel
