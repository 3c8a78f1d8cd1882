// SecretBytes holds bytes that must not outlive their use: the token value and the
// site text that carries token lines. Its allocator overwrites every buffer before
// giving it back, so a vector that grows, shrinks or dies leaves no copy behind.
// It has no small-buffer storage, unlike std::string, so no byte of it ever lives
// outside memory that the allocator wipes.
#ifndef ZEL_UTIL_SECRET_H_
#define ZEL_UTIL_SECRET_H_

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace zel {

// Base is where the memory comes from; only a test gives another.
template <class T, class Base = std::allocator<T>>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() = default;
  template <class U, class B>
  explicit WipingAllocator(const WipingAllocator<U, B>& /*other*/) {}
  T* allocate(std::size_t n) { return Base().allocate(n); }
  void deallocate(T* p, std::size_t n) {
    explicit_bzero(p, n * sizeof(T));
    Base().deallocate(p, n);
  }
  // Growing leaves the new bytes as they are instead of zero-filling them: every
  // byte is written (by read(), or by a copy) before it is used, and for a site
  // file that spares a whole pass over it.
  // (Any other construction is std::allocator_traits' own, with the arguments.)
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class B>
  bool operator==(const WipingAllocator<U, B>& /*other*/) const { return true; }
};

using SecretBytes = std::vector<char, WipingAllocator<char>>;

inline SecretBytes make_secret(std::string_view text) { return {text.begin(), text.end()}; }
inline std::string_view view_of(const SecretBytes& bytes) { return {bytes.data(), bytes.size()}; }

}  // namespace zel

#endif  // ZEL_UTIL_SECRET_H_
