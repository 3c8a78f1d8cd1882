// The messages of a run. Every step tells the caller what went wrong through
// report(), which writes the message to standard error as before and keeps a
// copy of the last one, so that the audit trail records the very text the
// caller was given, without a second source of the texts. The copy is bounded:
// a message may quote a site name of any length.
#ifndef ZEL_UTIL_MESSAGE_H_
#define ZEL_UTIL_MESSAGE_H_

#include <string_view>

namespace zel {

// Writes the message to standard error, as printf formats it, and keeps a copy.
void report(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The last message reported since forget_reports(), newline and all, cut at 1023 bytes.
std::string_view last_report();

// Forgets the last message, at the start of a run.
void forget_reports();

}  // namespace zel

#endif  // ZEL_UTIL_MESSAGE_H_
