#include "admin/interrupt.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace zel {
namespace {

// The signals caught, and what the child reports for the first one it finds wrong.
int first_fault() {
  catch_interrupts();
  for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    if (std::raise(sig) != 0 || interrupted() != sig) return sig;
  }
  struct sigaction xfsz {};
  sigaction(SIGXFSZ, nullptr, &xfsz);
  if (xfsz.sa_handler != SIG_IGN) return SIGXFSZ;
  rlimit core{};
  if (getrlimit(RLIMIT_CORE, &core) != 0 || core.rlim_cur != 0) return 100;
  if (prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) != 0) return 101;
  return 0;
}

// Each signal that would end a command with the tokens' copies left behind is
// recorded instead, and the process can't dump its memory. In a child of its
// own: the recorded signal would end this test binary at the next command.
TEST(CatchInterrupts, RecordsEachEndingSignalIgnoresTheFileSizeLimitAndDumpsNoCore) {
  EXPECT_EXIT(
      {
        const int fault = first_fault();
        if (fault != 0) std::fprintf(stderr, "fault %d\n", fault);
        std::_Exit(fault == 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "^$");
}

}  // namespace
}  // namespace zel
