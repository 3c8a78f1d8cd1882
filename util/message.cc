#include "util/message.h"

#include <array>
#include <cstdarg>
#include <cstddef>
#include <cstdio>

namespace zel {

namespace {

// One run at a time in one thread: a single slot holds the last message.
std::array<char, 1024> last_text{};
std::size_t last_size = 0;

}  // namespace

// A printf-style function, so the compiler checks every format against its
// arguments (the format attribute); a parameter pack would lose that check.
void report(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
  std::va_list args;
  va_start(args, format);
  std::va_list copy;
  va_copy(copy, args);
  // The caller's bytes come first and exactly as a plain fprintf gives them.
  (void)std::vfprintf(stderr, format, args);
  va_end(args);
  const int size = std::vsnprintf(last_text.data(), last_text.size(), format, copy);
  va_end(copy);
  last_size = size < 0 ? 0 : static_cast<std::size_t>(size);
  if (last_size >= last_text.size()) last_size = last_text.size() - 1;
}

std::string_view last_report() { return {last_text.data(), last_size}; }

void forget_reports() { last_size = 0; }

}  // namespace zel
