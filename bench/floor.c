/* The library floor: the least a signing run can cost with libcrypto. It reads
 * one line from standard input, takes the SHA-1 digest of it and the HMAC-SHA1
 * of the 20 digest bytes keyed with argv[1], through the same one-shot calls of
 * the current libcrypto interface that zel-auth makes, and prints both in base64
 * as zel-auth's last two lines. No options, no password entry, no site file.
 *
 *   floor KEY < request
 */
#include <openssl/evp.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char *argv[]) {
  static char body[4096];
  unsigned char digest[EVP_MAX_MD_SIZE], mac[EVP_MAX_MD_SIZE];
  unsigned char digest_text[4 * EVP_MAX_MD_SIZE / 3 + 4], mac_text[4 * EVP_MAX_MD_SIZE / 3 + 4];
  size_t digest_size = 0, mac_size = 0;
  const char *key = argc > 1 ? argv[1] : "";

  if (fgets(body, sizeof body, stdin) == NULL) return 1;
  if (!EVP_Q_digest(NULL, "SHA1", NULL, body, strlen(body), digest, &digest_size)) return 2;
  if (EVP_Q_mac(NULL, "HMAC", NULL, "SHA1", NULL, key, strlen(key), digest, digest_size, mac,
                sizeof mac, &mac_size) == NULL) {
    return 2;
  }
  EVP_EncodeBlock(digest_text, digest, (int)digest_size);
  EVP_EncodeBlock(mac_text, mac, (int)mac_size);
  printf("digest.value = %s\nsignature.value = %s\n", digest_text, mac_text);
  return fflush(stdout) == 0 ? 0 : 3;
}
