// The findings of `zel-site check`: what zel-auth would do wrong, or
// surprisingly, with a site text, each on the line where it happens. A finding
// never holds a byte of a token value. The deployment's own findings (owners,
// modes, the service group) come from admin/deployment.h in the same form.
#ifndef ZEL_ADMIN_CHECK_H_
#define ZEL_ADMIN_CHECK_H_

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "admin/stanzas.h"

namespace zel {

// Token values shorter than this are warned about, and set-token refuses them unless told: tokens
// must be long and random.
inline constexpr std::size_t kShortestToken = 16;

enum class Severity { kError, kWarning };

struct Finding {
  std::string path;   // empty: the site file being checked
  std::size_t line;   // 0: the whole path, no line
  Severity severity;
  std::string text;
};

// Collects findings, about a site text by line or about a path as a whole.
class Findings {
 public:
  void error(std::size_t line, std::string text) { add({}, line, Severity::kError, std::move(text)); }
  void warning(std::size_t line, std::string text) { add({}, line, Severity::kWarning, std::move(text)); }
  void error(const std::string& path, std::string text) { add(path, 0, Severity::kError, std::move(text)); }
  void warning(const std::string& path, std::string text) {
    add(path, 0, Severity::kWarning, std::move(text));
  }
  std::vector<Finding> done();  // by line, each once; a path's in the order they were found

 private:
  void add(std::string path, std::size_t line, Severity severity, std::string text) {
    findings_.push_back({std::move(path), line, severity, std::move(text)});
  }
  std::vector<Finding> findings_;
};

// Why value can't be a token value as zel-auth takes it (after_header: it follows a header's "]" on
// its line), as a finding says it; empty when it can be. Brackets are refused where a header could
// be read into the token: a "[" with a "]" after it, or, after a header, any "]".
std::string token_value_fault(std::string_view value, bool after_header);

// Whether a reader would take a listed line for a token line (and its value for a token).
bool looks_like_token_line(std::string_view line);

// The token line (its number) a listed line of the stanza may hold the rest of: it
// comes right after it, blank lines aside, with no "=" but base64 padding; else 0.
std::size_t token_rest_of(const Stanza& stanza, const StanzaLine& listed);

// The findings of a whole site text (NUL and all), sorted by line.
std::vector<Finding> check_site_text(std::string_view whole_text);

// Whether any finding is an error (or, when strict, any finding at all).
bool has_errors(const std::vector<Finding>& findings, bool strict);

// Bytes from a site file as a terminal may show them: control bytes, DEL, bytes
// that are not UTF-8, and invisible or direction-changing characters become \xHH.
std::string terminal_text(std::string_view bytes);

// Writes "PATH:LINE: error: TEXT" lines (PATH alone for a path without a line).
void print_findings(std::FILE* out, const char* site_path, const std::vector<Finding>& findings);

// Writes the one-line summary "PATH: N errors, M warnings".
void print_summary(std::FILE* out, const char* site_path, const std::vector<Finding>& findings);

}  // namespace zel

#endif  // ZEL_ADMIN_CHECK_H_
