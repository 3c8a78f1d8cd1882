#include "sign/libcrypto.h"

#include <dlfcn.h>
#include <openssl/opensslv.h>

#include <cstdint>

namespace zel {

namespace {

constexpr const char* kSoname = "libcrypto.so." OPENSSL_MSTR(OPENSSL_SHLIB_VERSION);

// Most of the library's symbol references are to its own functions. Searched
// from the library outward, each is found in the first object looked at rather
// than after this binary and the C library; the objects, and so the code bound,
// are the same. AddressSanitizer's run-time refuses such a load, so the
// instrumented build searches in the usual order.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kLoadFlags = RTLD_NOW | RTLD_LOCAL;
#else
constexpr int kLoadFlags = RTLD_NOW | RTLD_LOCAL | RTLD_DEEPBIND;
#endif

// The library's start-up options. The configuration is loaded as always, and
// with it the providers and properties it names; only work that fetching two
// algorithms by name never uses is left out:
//  - the legacy tables of every cipher and digest, which the first fetch would
//    otherwise build and then copy into the name map; the providers register
//    the names they serve themselves;
//  - the tear-down at exit: the process ends right after its one checksum, and
//    the system takes back its memory at once rather than piece by piece.
constexpr uint64_t kInitOptions = OPENSSL_INIT_LOAD_CONFIG | OPENSSL_INIT_NO_ADD_ALL_CIPHERS |
                                  OPENSSL_INIT_NO_ADD_ALL_DIGESTS | OPENSSL_INIT_NO_ATEXIT;

template <class Fn>
bool bind_call(void* library, const char* name, Fn& call) {
  call = reinterpret_cast<Fn>(dlsym(library, name));
  return call != nullptr;
}

}  // namespace

const Libcrypto* load_libcrypto(const char** reason) {
  static Libcrypto calls{};
  static bool bound = false;
  if (bound) return &calls;
  // Every symbol is bound before the first call, as the loader does at start-up
  // for this binary; the library stays loaded until the process ends.
  void* library = dlopen(kSoname, kLoadFlags);
  if (library == nullptr || !bind_call(library, "EVP_Q_digest", calls.q_digest) ||
      !bind_call(library, "EVP_Q_mac", calls.q_mac) ||
      !bind_call(library, "EVP_EncodeBlock", calls.encode_block) ||
      !bind_call(library, "ERR_get_error", calls.get_error) ||
      !bind_call(library, "ERR_error_string_n", calls.error_string_n) ||
      !bind_call(library, "OPENSSL_init_crypto", calls.init_crypto)) {
    const char* why = dlerror();
    *reason = why != nullptr ? why : "libcrypto could not be loaded";
    return nullptr;
  }
  // A configuration that can't be applied shows as the fetch's failure, in the
  // library's own words, as it would without these options.
  calls.init_crypto(kInitOptions, nullptr);
  bound = true;
  return &calls;
}

}  // namespace zel
