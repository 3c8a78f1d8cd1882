#include "util/message.h"

#include <cstdarg>
#include <cstdio>

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
  // The caller's bytes come first and exactly as a plain fprintf gives them.
  (void)std::vfprintf(stderr, format, args);
  va_end(args);
  char text[1024];
  const int size = std::vsnprintf(text, sizeof text, format, copy);
  va_end(copy);
  if (current != nullptr) {
    const std::size_t kept = size < 0 ? 0 : static_cast<std::size_t>(size);
    current->end(status, std::string_view(text, kept < sizeof text ? kept : sizeof text - 1));
  }
  return status;
}

}  // namespace zel
