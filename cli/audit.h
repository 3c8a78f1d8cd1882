// The audit trail: one record for every run that made a request, that is, read
// a non-empty body: a signature, a refusal, or any other failure. Usage errors
// and listings of an empty body leave none. A signing's record goes out before
// its listing; if the write then fails, a failure record follows.
//
// Each record is appended to the audit file (util/audit_file.h), the record of
// truth, through the descriptor opened while the run still held the service
// group, with one write(); then the same line goes to the system's
// authentication log (facility authpriv; a signature at info, a refusal at
// notice, any other failure at notice or err), a copy for forwarding, through
// the socket opened right after the privilege drop (util/log_socket.h). A
// record the file can't take (it could not be opened, or the write failed or
// was short), or a line a log that exists refuses, ends the run with status 14
// and no listing: no signature leaves the tool without its record. When the log
// refuses a signing's line, the file, which took its record, takes a failure
// record with status 14 after it (the file only: the log has just refused), so
// it never holds a signature that did not leave. A system with no /dev/log at
// all has only the file.
//
// The lines, one fixed shape per kind:
//   signed for actor=A user=U site=S via=self|autobuild|own-key key=site token=T digest=D
//   signed for actor=A user=U site=S via=self|autobuild|own-key key=own|none digest=D
//   refused actor=A user=U site=S
//   failed [actor=A ]user=U site=S status=N message=M
// S is "default" for the default stanza, or the header "[name]" of a named one.
// T is the site token's identifier (sign/token_id.h). A failed line names the
// actor when the body named one. Every field is escaped as util/log_field.h
// says, the rule zel-site's lines follow too. No token value, property line or
// byte of the body but its actor ever reaches a line.
#ifndef ZEL_CLI_AUDIT_H_
#define ZEL_CLI_AUDIT_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <sys/types.h>

#include "util/log_socket.h"
#include "util/unique_fd.h"

namespace zel {

// What a run has done, as far as the audit trail tells it.
struct AuditFacts {
  bool request = false;                // a non-empty body was read
  std::string user;                    // the invoking user's login name
  std::optional<std::string> actor;    // the actor the body names
  const char* site_name = nullptr;     // null for the default stanza
  bool own_key = false;                // the caller gave its token value with -k or -K
  bool signature = false;              // a signature line was made
  std::string digest;                  // the body's digest, base64
  std::string_view message;            // the message of the failure that ended the run
  std::string token_id;                // the site token's identifier, when it signed
};

// A line of the audit trail and its syslog priority.
struct AuditLine {
  int priority;
  std::string text;
};

// The line for a run that ended with status, or none when it made no request.
std::optional<AuditLine> audit_line(const AuditFacts& facts, int status);

// The message of a run whose record did not go out for error.
std::string unsent_message(int error);

// Where a run's records go.
class AuditTrail {
 public:
  // file: the audit file opened before the drop, or open_error, the errno of
  // its failed open; uid: the real user ID the records name. Opens and
  // connects the system log's socket at log_path (a test's, or /dev/log).
  AuditTrail(UniqueFd file, int open_error, uid_t uid, const char* log_path = kSystemLogPath);

  int file_fd() const { return file_.get(); }  // descriptors the caller may not name
  int log_fd() const { return log_.fd(); }

  // Appends the run's record, if any, and sends its line; 0, or the errno.
  int record(const AuditFacts& facts, int status);

 private:
  int append(const std::string& text);

  UniqueFd file_;
  int open_error_;
  uid_t uid_;
  LogSocket log_;
};

}  // namespace zel

#endif  // ZEL_CLI_AUDIT_H_
