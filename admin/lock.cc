#include "admin/lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace zel {

SiteLock::SiteLock(SiteLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

SiteLock& SiteLock::operator=(SiteLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

SiteLock::~SiteLock() {
  if (fd_ >= 0) close(fd_);
}

bool SiteLock::acquire(const std::string& site_path, std::string& error) {
  const std::string path = site_path + ".lock";
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
  if (fd < 0) {
    error = "can't open the lock " + path + ": " + std::strerror(errno);
    return false;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int lock_errno = errno;
    close(fd);
    error = lock_errno == EWOULDBLOCK
                ? site_path + " is being changed by another zel-site (edit, install or set-token): "
                              "try again once it is done"
                : "can't lock " + path + ": " + std::strerror(lock_errno);
    return false;
  }
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
  return true;
}

}  // namespace zel
