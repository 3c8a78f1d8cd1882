// The messages of a run, and how a failure ends it. A step that can't go on
// calls fail(), which writes the message to standard error and hands the failure
// to the program's ending, if it set one: zel-auth's run (cli/driver.h) records
// it and ends there, so fail() does not return to the step. Without an ending
// (zel-site, which shares the signing code, and tests of a single step) fail()
// returns the status, and the caller passes it up as before.
#ifndef ZEL_UTIL_MESSAGE_H_
#define ZEL_UTIL_MESSAGE_H_

#include <string_view>

namespace zel {

// Where a failure goes once its message is written; end() must not return.
class Ending {
 public:
  [[noreturn]] virtual void end(int status, std::string_view message) = 0;

 protected:
  ~Ending() = default;
};

// Makes ending take every failure from now on; null for none.
void set_ending(Ending* ending);

// Writes the message, as printf formats it, to standard error, then hands it
// (cut at 1023 bytes) with status to the ending; without one, returns status.
int fail(int status, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace zel

#endif  // ZEL_UTIL_MESSAGE_H_
