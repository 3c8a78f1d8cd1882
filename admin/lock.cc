#include "admin/lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace zel {

bool SiteLock::acquire(const std::string& site_path, std::string& error) {
  const std::string path = site_path + ".lock";
  UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600));
  if (!fd) {
    error = "can't open the lock " + path + ": " + std::strerror(errno);
    return false;
  }
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    const int lock_errno = errno;
    error = lock_errno == EWOULDBLOCK
                ? site_path + " is being changed by another zel-site (edit, install or set-token): "
                              "try again once it is done"
                : "can't lock " + path + ": " + std::strerror(lock_errno);
    return false;
  }
  fd_ = std::move(fd);
  return true;
}

}  // namespace zel
