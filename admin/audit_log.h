// `zel-site log`: the audit file read back, alone, to answer who changed which
// stanza's token and when, and which signatures each token identifier made, for
// whom, by which user. Every line must be a record exactly as
// util/audit_file.h writes it: its time, program (zel-auth or zel-site),
// process ID and uid= as the writer renders them, one of that program's
// command words, and the fields "key=value" of that kind of record (zel-site's
// word "forced" aside), all of them, in their order, each value one its writer
// gives (cli/audit.h, admin/trail.h): a word such as via's, a stanza, a token
// identifier, a digest or a SHA-256 of its length, a status zel-auth ends a
// failed run with, a name; empty only where the writer may leave it so (an
// actor, a message, the record zel-site found). Each value is escaped as
// util/log_field.h says and read back exactly: \xHH is the byte, and a final
// "\..." (before a stanza's "]") marks a value cut there. A line that is
// anything else, a record written in part among them, is reported by its
// number: only root writes the file, so it means tampering or a fault.
// The records selected are written as they stand (printable ASCII alone).
#ifndef ZEL_ADMIN_AUDIT_LOG_H_
#define ZEL_ADMIN_AUDIT_LOG_H_

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace zel {

// What `zel-site log` selects; each one set must match. An outside change is selected by any
// stanza and any token, since it may have changed any.
struct LogFilter {
  std::optional<std::string> stanza = {};  // as the records read back: "default" or "[NAME]"
  std::optional<std::string> token = {};   // a token identifier
  std::optional<std::string> since = {};   // a time, or its start ("2026-12-09", "2026-12-09T10:11")
};

// Whether text is a time --since takes: the date, or more of a record's time.
bool valid_since(std::string_view text);

// Writes each record of the file's text that filter selects to out, and "PATH:N: error: ..." for
// each line that is no record; false if there was one.
bool read_audit_log(std::string_view text, const char* path, const LogFilter& filter, std::FILE* out);

}  // namespace zel

#endif  // ZEL_ADMIN_AUDIT_LOG_H_
