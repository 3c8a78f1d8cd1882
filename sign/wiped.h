// Wiped<T> holds a plain library context that carries key material, as an HMAC
// context keeps the key's inner and outer pads: its bytes are overwritten when it
// goes out of scope, however the scope is left, as SecretBytes does for buffers.
// It is neither copied nor moved, so no copy of the key material is left behind.
#ifndef ZEL_SIGN_WIPED_H_
#define ZEL_SIGN_WIPED_H_

#include <cstring>
#include <type_traits>

namespace zel {

template <class T>
class Wiped {
  static_assert(std::is_trivially_destructible_v<T>, "only plain contexts can be wiped whole");

 public:
  Wiped() = default;
  Wiped(const Wiped&) = delete;
  Wiped& operator=(const Wiped&) = delete;
  ~Wiped() { explicit_bzero(&value_, sizeof value_); }

  T* get() { return &value_; }

 private:
  T value_{};
};

}  // namespace zel

#endif  // ZEL_SIGN_WIPED_H_
