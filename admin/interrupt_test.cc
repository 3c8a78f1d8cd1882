#include "admin/interrupt.h"

#include <gtest/gtest.h>

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
  return 0;
}

// Each signal that would end a command with the tokens' copies left behind is
// recorded instead (the file size limit and core dumps: util/hardening_test.cc).
// In a child of its own: the recorded signal would end this test binary at the
// next command.
TEST(CatchInterrupts, RecordsEachEndingSignal) {
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
