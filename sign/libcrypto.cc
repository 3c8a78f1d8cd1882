#include "sign/libcrypto.h"

#include <dlfcn.h>
#include <openssl/opensslv.h>

#include <cstdint>

namespace zel {

namespace {

constexpr const char* kSoname = "libcrypto.so." OPENSSL_MSTR(OPENSSL_SHLIB_VERSION);

// The texts of the library's errors take a tenth of a signing run to index, and
// a run that signs never shows one. The library indexes them at most once, and
// never once started without them, so a failure puts its code in words with a
// second copy of the same library (see describe_error). This is the start-up
// flag that leaves them out.
constexpr uint64_t kNoErrorTextsFlag = OPENSSL_INIT_NO_LOAD_CRYPTO_STRINGS;

// The library's start-up options. The configuration is loaded as always, and
// with it the providers and properties it names; only work that fetching two
// algorithms by name never uses is left out:
//  - the legacy tables of every cipher and digest, which the first fetch would
//    otherwise build and then copy into the name map; the providers register
//    the names they serve themselves;
//  - the error texts, above;
//  - the tear-down at exit: the process ends right after its one checksum, and
//    the system takes back its memory at once rather than piece by piece.
constexpr uint64_t kInitOptions = OPENSSL_INIT_LOAD_CONFIG | OPENSSL_INIT_NO_ADD_ALL_CIPHERS |
                                  OPENSSL_INIT_NO_ADD_ALL_DIGESTS | kNoErrorTextsFlag |
                                  OPENSSL_INIT_NO_ATEXIT;

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
  void* library = dlopen(kSoname, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr || !bind_call(library, "EVP_Q_digest", calls.q_digest) ||
      !bind_call(library, "EVP_Q_mac", calls.q_mac) ||
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

void describe_error(const Libcrypto& calls, unsigned long code, char* text, std::size_t size) {
  // A copy in a link-map namespace of its own shares nothing with the one that
  // failed but the code, which both number alike. It computes nothing, so it
  // reads no configuration.
  void* texts_library = dlmopen(LM_ID_NEWLM, kSoname, RTLD_NOW | RTLD_LOCAL);
  decltype(&::OPENSSL_init_crypto) init = nullptr;
  decltype(&::ERR_error_string_n) error_string_n = nullptr;
  if (texts_library != nullptr && bind_call(texts_library, "OPENSSL_init_crypto", init) &&
      bind_call(texts_library, "ERR_error_string_n", error_string_n) &&
      init(OPENSSL_INIT_LOAD_CRYPTO_STRINGS | OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_ATEXIT,
           nullptr) == 1) {
    error_string_n(code, text, size);
    return;
  }
  // Without the texts, the library still gives the code, numbered.
  calls.error_string_n(code, text, size);
}

}  // namespace zel
