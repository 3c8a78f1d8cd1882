#include "util/message.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace zel {

namespace {

Ending* current = nullptr;

}  // namespace

void set_ending(Ending* ending) { current = ending; }

// A printf-style function, so the compiler checks every format against its
// arguments (the format attribute); a parameter pack would lose that check.
int fail(int status, const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
  std::va_list args;
  va_start(args, format);
  std::va_list copy;
  va_copy(copy, args);
  // Formatted on the stack, so the message of a failed allocation needs none;
  // only a longer one is formatted again, whole, for standard error.
  char text[1024];
  const int size = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::string whole;
  if (size >= static_cast<int>(sizeof text)) {
    whole.resize(static_cast<std::size_t>(size) + 1);
    (void)std::vsnprintf(whole.data(), whole.size(), format, copy);
  }
  va_end(copy);
  const std::string_view message(whole.empty() ? text : whole.data(), size < 0 ? 0 : static_cast<std::size_t>(size));
  // The caller's bytes, exactly as a plain fprintf gives them.
  (void)std::fwrite(message.data(), 1, message.size(), stderr);
  if (current != nullptr) current->end(status, message.substr(0, sizeof text - 1));
  return status;
}

}  // namespace zel
