// The lock that keeps two changes of the live site file apart: `edit`,
// `install` and `set-token` each hold it from the moment they read the file
// until the new one is in place. It is flock(2) on "SITE.lock", a root-only
// empty file beside the site file, so a process that dies lets it go.
#ifndef ZEL_ADMIN_LOCK_H_
#define ZEL_ADMIN_LOCK_H_

#include <string>

#include "util/unique_fd.h"

namespace zel {

class SiteLock {
 public:
  // Takes the lock at once or not at all; false with the reason.
  bool acquire(const std::string& site_path, std::string& error);

 private:
  UniqueFd fd_;
};

}  // namespace zel

#endif  // ZEL_ADMIN_LOCK_H_
