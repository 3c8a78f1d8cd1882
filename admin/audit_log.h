// `zel-site log`: the audit file read back, alone, to answer who changed which
// stanza's token and when, and which signatures each token identifier made, for
// whom, by which user. Every line must be a record exactly as
// util/audit_file.h writes it: its time, program (zel-auth or zel-site),
// process ID and uid= as the writer renders them, one of that program's
// command words, and fields "key=value" (zel-site's word "forced" aside), each
// value escaped as util/log_field.h says and read back exactly: \xHH is the
// byte, and a final "\..." (before a stanza's "]") marks a value cut there. A
// line that is anything else, a record written in part among them, is reported
// by its number: only root writes the file, so it means tampering or a fault.
// The records selected are written as they stand (printable ASCII alone).
#ifndef ZEL_ADMIN_AUDIT_LOG_H_
#define ZEL_ADMIN_AUDIT_LOG_H_

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zel {

struct AuditField {
  std::string key;
  std::string value;  // read back; for a cut one, the bytes kept
  bool cut = false;
};

struct AuditRecord {
  std::string time;  // as written: "2026-12-09T10:11:12.123456Z"
  std::string program;
  std::string command;  // "signed", "refused", "failed"; "set-token", "edit", "install", "outside-change"
  std::vector<AuditField> fields;
};

// Reads an escaped value back; false if it is no value the writer makes.
bool unescape_field(std::string_view text, std::string& value, bool& cut);

// Parses one line, its newline taken off; false if it is no record.
bool parse_record(std::string_view line, AuditRecord& record);

// What `zel-site log` selects; each set one must match. An outside change is selected by any
// stanza and any token, since it may have changed either.
struct LogFilter {
  std::optional<std::string> stanza = {};  // as the records read back: "default" or "[NAME]"
  std::optional<std::string> token = {};   // a token identifier
  std::optional<std::string> since = {};   // a time, or its start ("2026-12-09", "2026-12-09T10:11")
};

bool selected(const AuditRecord& record, const LogFilter& filter);

// Whether text is a time --since takes: the date, or more of a record's time.
bool valid_since(std::string_view text);

// Writes each record of text that filter selects to out; the numbers of the lines that are no record.
std::vector<std::size_t> read_audit_log(std::string_view text, const LogFilter& filter, std::FILE* out);

}  // namespace zel

#endif  // ZEL_ADMIN_AUDIT_LOG_H_
