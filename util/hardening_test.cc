#include "util/hardening.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>

namespace zel {
namespace {

// Runs the set-up in a child that closed the descriptors given; the child's
// status is the first thing it found wrong (0: none).
int harden_with_closed(std::initializer_list<int> closed) {
  const pid_t child = fork();
  if (child == 0) {
    for (const int fd : closed) close(fd);
    harden_process();
    for (const int fd : {0, 1, 2}) {
      const int flags = fcntl(fd, F_GETFL);
      if (flags == -1) _exit(10 + fd);
      const bool closed_here = std::find(closed.begin(), closed.end(), fd) != closed.end();
      // Each refilled descriptor is unusable in its own direction.
      if (closed_here && (flags & O_ACCMODE) != (fd == 0 ? O_WRONLY : O_RDONLY)) _exit(20 + fd);
    }
    struct sigaction action {};
    sigaction(SIGXFSZ, nullptr, &action);
    if (action.sa_handler != SIG_IGN) _exit(30);
    if (prctl(PR_GET_DUMPABLE) != 0) _exit(31);
    rlimit core{};
    if (getrlimit(RLIMIT_CORE, &core) != 0 || core.rlim_cur != 0 || core.rlim_max != 0) _exit(32);
    _exit(0);
  }
  int status = -1;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(HardenProcess, RefillsEachClosedStandardDescriptorAndShutsDumpsAndSizeKills) {
  EXPECT_EQ(harden_with_closed({}), 0);
  EXPECT_EQ(harden_with_closed({0}), 0);
  EXPECT_EQ(harden_with_closed({1}), 0);
  EXPECT_EQ(harden_with_closed({2}), 0);
  EXPECT_EQ(harden_with_closed({0, 1, 2}), 0);
}

}  // namespace
}  // namespace zel
