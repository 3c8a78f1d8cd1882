// libcrypto, loaded when the first checksum is computed rather than at start-up.
// Mapping the library and binding its symbols (it is linked to bind all of them
// at load) costs several times what the rest of a listing run does, so a run
// that signs nothing, with an empty body or stopping before it signs, never pays
// for it. The library loaded is the one the loader would have linked, loaded the
// way the loader links it: the same soname, found along the same path, its
// symbols searched in the usual order, reading the same configuration as it
// starts. It starts with only what fetching two algorithms by name needs; where
// the time of a run goes, and what each choice here saves, is in bench/README.md.
// Each call keeps the type its header declares.
#ifndef ZEL_SIGN_LIBCRYPTO_H_
#define ZEL_SIGN_LIBCRYPTO_H_

#include <cstddef>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>

namespace zel {

struct Libcrypto {
  decltype(&::EVP_Q_digest) q_digest;
  decltype(&::EVP_Q_mac) q_mac;
  decltype(&::ERR_get_error) get_error;
  decltype(&::ERR_error_string_n) error_string_n;
  decltype(&::OPENSSL_init_crypto) init_crypto;
};

// Loads libcrypto and binds the calls, once; null if it can't, with the loader's
// reason in *reason.
const Libcrypto* load_libcrypto(const char** reason);

// OpenSSL's own words for an error code of this run, as ERR_error_string_n puts them.
void describe_error(const Libcrypto& calls, unsigned long code, char* text, std::size_t size);

}  // namespace zel

#endif  // ZEL_SIGN_LIBCRYPTO_H_
