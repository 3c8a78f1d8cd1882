#include "sign/libcrypto.h"

#include <dlfcn.h>
#include <openssl/opensslv.h>

namespace zel {

namespace {

constexpr const char* kSoname = "libcrypto.so." OPENSSL_MSTR(OPENSSL_SHLIB_VERSION);

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
      !bind_call(library, "EVP_EncodeBlock", calls.encode_block) ||
      !bind_call(library, "ERR_get_error", calls.get_error) ||
      !bind_call(library, "ERR_error_string_n", calls.error_string_n) ||
      !bind_call(library, "OPENSSL_init_crypto", calls.init_crypto)) {
    const char* why = dlerror();
    *reason = why != nullptr ? why : "libcrypto could not be loaded";
    return nullptr;
  }
  // The process ends right after its one checksum, and the system takes back its
  // memory: the library's own tear-down at exit would only free it piece by piece.
  // Everything else the library sets up on first use, its configuration first,
  // is set up as usual.
  calls.init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
  bound = true;
  return &calls;
}

}  // namespace zel
