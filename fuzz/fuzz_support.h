// What the fuzzing harnesses share: a property check that stops the process the
// way a sanitizer does (so libFuzzer keeps the input, and a replayed corpus
// fails its test), in-memory streams for a run's standard streams, and the
// shape that every listed property line must have.
#ifndef ZEL_FUZZ_FUZZ_SUPPORT_H_
#define ZEL_FUZZ_FUZZ_SUPPORT_H_

#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#define ZEL_FUZZ_CHECK(condition)                                         \
  do {                                                                    \
    if (!(condition)) ::zel_fuzz::fail(#condition, __FILE__, __LINE__);   \
  } while (false)

namespace zel_fuzz {

// A token value that no input holds by chance. It holds a "[name]", as real
// tokens may: a header read inside a token line would list the text after it,
// so no listing or message may ever hold that tail, kCanaryTail, either.
inline constexpr std::string_view kCanary = "\x7fzel-canary:[5b1e]0c9a\x01";
inline constexpr std::string_view kCanaryTail = "0c9a\x01";
inline constexpr std::string_view kTokenKey = "token.value";

[[noreturn]] inline void fail(const char* what, const char* file, int line) {
  // Straight to descriptor 2: stderr may be pointing at a capture right now. No
  // value from the input is written, so no token ever reaches the report.
  dprintf(STDERR_FILENO, "%s:%d: property violated: %s\n", file, line, what);
  std::abort();
}

// A stream whose bytes land in memory; text() closes it and returns them.
class MemoryStream {
 public:
  MemoryStream() : file_(open_memstream(&data_, &size_)) { ZEL_FUZZ_CHECK(file_ != nullptr); }
  MemoryStream(const MemoryStream&) = delete;
  MemoryStream& operator=(const MemoryStream&) = delete;
  ~MemoryStream() {
    close();
    std::free(data_);  // open_memstream's buffer is malloc'd
  }

  std::FILE* file() const { return file_; }
  std::string_view text() {
    close();
    return {data_, size_};
  }

 private:
  void close() {
    if (file_ != nullptr) ZEL_FUZZ_CHECK(std::fclose(file_) == 0);
    file_ = nullptr;
  }

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::FILE* file_;
};

// Points the C library's stderr at another stream for one scope. The messages of
// the code under test (and getopt's diagnostics) go there; the sanitizers and
// libFuzzer write to descriptor 2 directly and are not affected.
class StderrTo {
 public:
  explicit StderrTo(std::FILE* file) : saved_(stderr) { stderr = file; }
  StderrTo(const StderrTo&) = delete;
  StderrTo& operator=(const StderrTo&) = delete;
  ~StderrTo() { stderr = saved_; }

 private:
  std::FILE* saved_;
};

inline bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// Finds line in text[from, to) as a whole property line at or after `after`: a
// stretch that ends at a newline or at `to`, and that starts a line (after
// spaces only) at `from`, after a newline, or, when bracket_starts_line, after
// a "]" that may close a header on the same line. Returns its position or npos.
inline std::size_t find_whole_line(std::string_view text, std::size_t from, std::size_t to,
                                   std::size_t after, std::string_view line,
                                   bool bracket_starts_line) {
  const std::string_view region = text.substr(0, to);
  for (std::size_t pos = region.find(line, after); pos != std::string_view::npos;
       pos = region.find(line, pos + 1)) {
    if (pos < from) continue;
    const std::size_t end = pos + line.size();
    if (end != to && region[end] != '\n') continue;
    std::size_t start = pos;
    while (start > from && region[start - 1] == ' ') --start;
    if (start == from || region[start - 1] == '\n' ||
        (bracket_starts_line && region[start - 1] == ']')) {
      return pos;
    }
  }
  return std::string_view::npos;
}

// The shape of any listed property line: not empty, not starting with a blank,
// on one line, and no token line.
inline bool is_property_line_shape(std::string_view line) {
  return !line.empty() && line.front() != ' ' && !contains(line, "\n") &&
         !line.starts_with(kTokenKey);
}

}  // namespace zel_fuzz

#endif  // ZEL_FUZZ_FUZZ_SUPPORT_H_
