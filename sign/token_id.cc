#include "sign/token_id.h"

#include <nettle/hmac.h>

#include <cstdint>

#include "sign/wiped.h"

namespace zel {

std::string token_identifier(std::string_view token) {
  // An empty value is a zero-length key, as in the signature.
  std::uint8_t mac[4];
  {
    Wiped<hmac_sha256_ctx> hmac;
    const auto* key = reinterpret_cast<const std::uint8_t*>(token.data());
    hmac_sha256_set_key(hmac.get(), token.size(), key);
    hmac_sha256_update(hmac.get(), kTokenIdLabel.size(),
                       reinterpret_cast<const std::uint8_t*>(kTokenIdLabel.data()));
    hmac_sha256_digest(hmac.get(), sizeof mac, mac);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string id;
  for (const std::uint8_t byte : mac) {
    id += kHex[byte >> 4U];
    id += kHex[byte & 0xfU];
  }
  return id;
}

}  // namespace zel
