#include "util/hardening.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

namespace zel {

void harden_process() {
  for (int fd = 0; fd < 3; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = fd == 0 ? open("/dev/null", O_WRONLY | O_NOFOLLOW) : open("/dev/null", O_RDONLY | O_NOFOLLOW);
    if (opened != fd) std::abort();
  }
  static_cast<void>(std::signal(SIGXFSZ, SIG_IGN));  // can't fail for this signal
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  const rlimit none{0, 0};
  setrlimit(RLIMIT_CORE, &none);
}

}  // namespace zel
