#include "admin/interrupt.h"

#include <sys/prctl.h>
#include <sys/resource.h>

#include <csignal>
#include <initializer_list>

namespace zel {

namespace {

volatile std::sig_atomic_t recorded = 0;

void record(int sig) { recorded = sig; }

}  // namespace

void catch_interrupts() {
  struct sigaction action {};
  action.sa_handler = record;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: the waiting call must return
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(sig, &action, nullptr);
  (void)std::signal(SIGXFSZ, SIG_IGN);
  // SIGQUIT's default action, raised again at the end, would dump core.
  const rlimit none{0, 0};
  setrlimit(RLIMIT_CORE, &none);
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

int interrupted() { return recorded; }

void end_if_interrupted() {
  const int sig = recorded;
  if (sig == 0) return;
  (void)std::signal(sig, SIG_DFL);
  (void)std::raise(sig);
}

}  // namespace zel
