#include "sign/token_id.h"

#include "sign/libcrypto.h"
#include "sign/signature.h"
#include "util/status.h"

namespace zel {

int token_identifier(std::string_view token, std::string& id) {
  const char* load_failure = nullptr;
  const Libcrypto* crypto = load_libcrypto(&load_failure);
  if (crypto == nullptr) return report_load_failure(load_failure);
  // An empty value is a zero-length key, as in the signature.
  static const unsigned char kNoKeyBytes[1] = {0};
  const unsigned char* key =
      token.empty() ? kNoKeyBytes : reinterpret_cast<const unsigned char*>(token.data());
  unsigned char mac[EVP_MAX_MD_SIZE];
  std::size_t mac_size = 0;
  if (crypto->q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, key, token.size(),
                    reinterpret_cast<const unsigned char*>(kTokenIdLabel.data()),
                    kTokenIdLabel.size(), mac, sizeof mac, &mac_size) == nullptr ||
      mac_size < 4) {
    return report_crypto_failure(*crypto);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  id.clear();
  for (std::size_t i = 0; i < 4; ++i) {
    id += kHex[mac[i] >> 4U];
    id += kHex[mac[i] & 0xfU];
  }
  return kOk;
}

}  // namespace zel
