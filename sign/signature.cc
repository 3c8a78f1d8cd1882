#include "sign/signature.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "sign/libcrypto.h"
#include "util/message.h"
#include "util/status.h"

namespace zel {

namespace {

constexpr std::size_t kSha1Size = 20;

// Whether the process is out of memory now: a failure inside the library then
// owes to that, whatever code the library gave it. A megabyte is less than
// any step of a run takes from the system.
bool memory_exhausted() {
  void* probe = std::malloc(std::size_t{1} << 20U);
  std::free(probe);
  return probe == nullptr;
}

}  // namespace

int report_load_failure(const char* reason) {
  // The loader's words when it could not map the library or make room for it.
  const std::string_view text = reason;
  if (memory_exhausted() || text.find("failed to map segment") != std::string_view::npos ||
      text.find("annot allocate memory") != std::string_view::npos ||
      text.find("cannot map zero-fill pages") != std::string_view::npos) {
    return fail(kOutOfMemory, "Out of memory.\n");
  }
  return fail(kCryptoFailed, "Unable to compute the checksum: %s.\n", reason);
}

int report_crypto_failure(const Libcrypto& crypto) {
  // The library queues one error per level it passed through; a failed
  // allocation anywhere in the queue is the machine's lack of memory, not a
  // fault of the checksum, and has the status of every other allocation.
  unsigned long first = 0;
  bool out_of_memory = false;
  for (unsigned long code; (code = crypto.get_error()) != 0;) {
    if (first == 0) first = code;
    if (ERR_GET_REASON(code) == ERR_R_MALLOC_FAILURE) out_of_memory = true;
  }
  if (out_of_memory || memory_exhausted()) {
    return fail(kOutOfMemory, "Out of memory.\n");
  }
  // A libcrypto failure must not pass for a checksum: report OpenSSL's own words.
  char reason[256] = "unknown error";
  if (first != 0) describe_error(crypto, first, reason, sizeof reason);
  return fail(kCryptoFailed, "Unable to compute the checksum: %s.\n", reason);
}

std::string base64(const unsigned char* data, std::size_t length) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (std::size_t done = 0; done < length; done += 3) {
    // Lines of 64 characters encode 48 bytes each, as the library's base64 filter
    // writes them; its final newline is not part of the text.
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

int compute_signature(const char* body, std::string& digest_text,
                      std::optional<std::string>& signature_text,
                      const std::optional<SecretBytes>& token) {
  const char* load_failure = nullptr;
  const Libcrypto* crypto = load_libcrypto(&load_failure);
  if (crypto == nullptr) return report_load_failure(load_failure);
  unsigned char digest[EVP_MAX_MD_SIZE];
  std::size_t digest_size = 0;
  if (!crypto->q_digest(nullptr, "SHA1", nullptr, body, std::strlen(body), digest, &digest_size) ||
      digest_size != kSha1Size) {
    return report_crypto_failure(*crypto);
  }
  digest_text = base64(digest, digest_size);
  if (!token) return kOk;

  // The key is every byte of the token value, trailing spaces included; an empty
  // value is a zero-length key, which is still a key.
  static const unsigned char kNoKeyBytes[1] = {0};
  const unsigned char* key =
      token->empty() ? kNoKeyBytes : reinterpret_cast<const unsigned char*>(token->data());
  unsigned char mac[EVP_MAX_MD_SIZE];
  std::size_t mac_size = 0;
  if (crypto->q_mac(nullptr, "HMAC", nullptr, "SHA1", nullptr, key, token->size(), digest,
                    digest_size, mac, sizeof mac, &mac_size) == nullptr) {
    return report_crypto_failure(*crypto);
  }
  signature_text = base64(mac, mac_size);
  return kOk;
}

}  // namespace zel
