#include "admin/interrupt.h"

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
  // SIGXFSZ and core dumps (SIGQUIT's default action, raised again at the
  // end, would dump one) are main's set-up, util/hardening.h.
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(sig, &action, nullptr);
}

int interrupted() { return recorded; }

void end_if_interrupted() {
  const int sig = recorded;
  if (sig == 0) return;
  (void)std::signal(sig, SIG_DFL);
  (void)std::raise(sig);
}

}  // namespace zel
