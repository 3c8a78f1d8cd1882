// UniqueFd owns one open descriptor: it closes it when it goes, and a move hands
// it on, so no descriptor either program opens can leak on an early return or
// be closed twice. It is the only descriptor owner in the tree; a type that
// keeps a descriptor (the site file, the log socket, the lock) holds one.
#ifndef ZEL_UTIL_UNIQUE_FD_H_
#define ZEL_UTIL_UNIQUE_FD_H_

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace zel {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

  // Closes the descriptor held, if any, and holds fd instead.
  void reset(int fd = -1) {
    if (fd_ >= 0) static_cast<void>(::close(fd_));
    fd_ = fd;
  }

  // Closes the descriptor now, for a caller that must know it closed (a file
  // whose last write is only reported at close); 0, or the errno.
  int close() {
    if (fd_ < 0) return 0;
    return ::close(std::exchange(fd_, -1)) == 0 ? 0 : errno;
  }

 private:
  int fd_ = -1;
};

}  // namespace zel

#endif  // ZEL_UTIL_UNIQUE_FD_H_
