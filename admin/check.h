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
#include <vector>

namespace zel {

enum class Severity { kError, kWarning };

struct Finding {
  std::string path;   // empty: the site file being checked
  std::size_t line;   // 0: the whole path, no line
  Severity severity;
  std::string text;
};

// The findings of a whole site text (NUL and all), sorted by line.
std::vector<Finding> check_site_text(std::string_view whole_text);

// Whether any finding is an error (or, when strict, any finding at all).
bool has_errors(const std::vector<Finding>& findings, bool strict);

// Writes "PATH:LINE: error: TEXT" lines (PATH alone for a path without a line).
void print_findings(std::FILE* out, const char* site_path, const std::vector<Finding>& findings);

// Writes the one-line summary "PATH: N errors, M warnings".
void print_summary(std::FILE* out, const char* site_path, const std::vector<Finding>& findings);

}  // namespace zel

#endif  // ZEL_ADMIN_CHECK_H_
