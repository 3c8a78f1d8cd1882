// Signals while zel-site holds a copy of the tokens. SIGINT, SIGTERM, SIGHUP and
// SIGQUIT are only recorded, and the blocking call they interrupt (waiting for
// the editor, reading an answer or a token value) returns, so that every owner
// removes its files and restores the terminal on its way out; then the signal
// is raised again with its default action, and the process ends by it.
#ifndef ZEL_ADMIN_INTERRUPT_H_
#define ZEL_ADMIN_INTERRUPT_H_

namespace zel {

// Records the four signals from now on, without restarting interrupted calls.
void catch_interrupts();

// The signal recorded, or 0.
int interrupted();

// Ends the process by the recorded signal, if any; call once every owner is gone.
void end_if_interrupted();

}  // namespace zel

#endif  // ZEL_ADMIN_INTERRUPT_H_
