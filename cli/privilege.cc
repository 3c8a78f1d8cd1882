#include "cli/privilege.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "util/message.h"
#include "util/status.h"

namespace zel {

namespace {

int report_drop_failure(int error) {
  report("Unable to drop privileges: %s.\n", std::strerror(error));
  return kPrivilege;
}

}  // namespace

void ensure_standard_descriptors() {
  // A descriptor the caller closed must not be taken by the site file, or the
  // listing could be written into it. Each is opened in the direction it is not
  // used in, as the C library does for set-user-ID programs, so a closed
  // standard output still makes the listing fail rather than vanish.
  static const int kModes[3] = {O_WRONLY, O_RDONLY, O_RDONLY};
  for (int fd = 0; fd < 3; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = open("/dev/null", kModes[fd] | O_NOFOLLOW);
    // Nothing can be reported without the descriptors; stopping is the only safe move.
    if (opened != fd) std::abort();
  }
}

void make_undumpable() {
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  const rlimit none{0, 0};
  setrlimit(RLIMIT_CORE, &none);
}

int drop_privileges() {
  // The real IDs, read with the calls the check below makes anyway: each C
  // library function more costs every run a symbol lookup at start.
  uid_t uid = 0, ignored_uid = 0;
  gid_t gid = 0, ignored_gid = 0;
  if (getresuid(&uid, &ignored_uid, &ignored_uid) != 0 ||
      getresgid(&gid, &ignored_gid, &ignored_gid) != 0) {
    return report_drop_failure(errno);
  }
  // Changing the effective IDs resets dumpability to fs.suid_dumpable, which
  // may allow tracing. While the saved IDs still hold the privilege, the caller
  // may not trace the process anyway, so the real and effective IDs go first,
  // then dumpability is taken away again, then the saved IDs go, which leaves
  // it alone. Group before user: once the user ID is given up, the group can no
  // longer be.
  if (setresgid(gid, gid, static_cast<gid_t>(-1)) != 0 ||
      setresuid(uid, uid, static_cast<uid_t>(-1)) != 0) {
    return report_drop_failure(errno);
  }
  make_undumpable();
  if (setresgid(static_cast<gid_t>(-1), static_cast<gid_t>(-1), gid) != 0 ||
      setresuid(static_cast<uid_t>(-1), static_cast<uid_t>(-1), uid) != 0) {
    return report_drop_failure(errno);
  }
  uid_t ruid = 0, euid = 0, suid = 0;
  gid_t rgid = 0, egid = 0, sgid = 0;
  if (getresuid(&ruid, &euid, &suid) != 0 || getresgid(&rgid, &egid, &sgid) != 0 ||
      ruid != uid || euid != uid || suid != uid || rgid != gid || egid != gid || sgid != gid) {
    return report_drop_failure(EPERM);
  }
  return kOk;
}

}  // namespace zel
