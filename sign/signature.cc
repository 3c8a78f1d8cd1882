#include "sign/signature.h"

#include <nettle/hmac.h>
#include <nettle/sha1.h>

#include <cstdint>
#include <cstring>

#include "sign/wiped.h"

namespace zel {

std::string base64(const unsigned char* data, std::size_t length) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (std::size_t done = 0; done < length; done += 3) {
    // Lines of 64 characters encode 48 bytes each, as `openssl base64` writes
    // them; its final newline is not part of the text.
    if (done > 0 && done % 48 == 0) text += '\n';
    const std::size_t left = length - done;
    unsigned bits = static_cast<unsigned>(data[done]) << 16U;
    if (left > 1) bits |= static_cast<unsigned>(data[done + 1]) << 8U;
    if (left > 2) bits |= data[done + 2];
    text += kAlphabet[(bits >> 18U) & 63U];
    text += kAlphabet[(bits >> 12U) & 63U];
    text += left > 1 ? kAlphabet[(bits >> 6U) & 63U] : '=';
    text += left > 2 ? kAlphabet[bits & 63U] : '=';
  }
  return text;
}

void compute_signature(const char* body, std::string& digest_text,
                      std::optional<std::string>& signature_text,
                      const std::optional<SecretBytes>& token) {
  sha1_ctx sha1;
  sha1_init(&sha1);
  sha1_update(&sha1, std::strlen(body), reinterpret_cast<const std::uint8_t*>(body));
  std::uint8_t digest[SHA1_DIGEST_SIZE];
  sha1_digest(&sha1, sizeof digest, digest);
  digest_text = base64(digest, sizeof digest);
  if (!token) return;

  // The key is every byte of the token value, trailing spaces included; an empty
  // value is a zero-length key, which is still a key.
  std::uint8_t mac[SHA1_DIGEST_SIZE];
  {
    Wiped<hmac_sha1_ctx> hmac;
    const auto* key = reinterpret_cast<const std::uint8_t*>(token->data());
    hmac_sha1_set_key(hmac.get(), token->size(), key);
    hmac_sha1_update(hmac.get(), sizeof digest, digest);
    hmac_sha1_digest(hmac.get(), sizeof mac, mac);
  }
  signature_text = base64(mac, sizeof mac);
}

}  // namespace zel
