#include "sign/sha256.h"

#include "sign/libcrypto.h"
#include "sign/signature.h"
#include "util/status.h"

namespace zel {

int sha256_hex(std::string_view bytes, std::string& hex) {
  const char* load_failure = nullptr;
  const Libcrypto* crypto = load_libcrypto(&load_failure);
  if (crypto == nullptr) return report_load_failure(load_failure);
  unsigned char hash[EVP_MAX_MD_SIZE];
  std::size_t size = 0;
  if (crypto->q_digest(nullptr, "SHA256", nullptr, bytes.data(), bytes.size(), hash, &size) == 0) {
    return report_crypto_failure(*crypto);
  }
  static constexpr std::string_view kDigits = "0123456789abcdef";
  hex.assign(2 * size, '0');
  for (std::size_t i = 0; i < size; ++i) {
    hex[2 * i] = kDigits[hash[i] >> 4U];
    hex[2 * i + 1] = kDigits[hash[i] & 0xfU];
  }
  return kOk;
}

}  // namespace zel
