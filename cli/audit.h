// The audit trail: one line in the system's authentication log (facility
// authpriv) for every run that made a request, that is, read a non-empty body:
// a signature at info, a refusal at notice, any other failure at notice or err.
// A signing is logged before its listing is written; if the write then fails,
// a failure line follows. Usage errors and listings of an empty body leave no
// line.
//
// The log's socket is opened and connected once, right after the privilege
// drop, and each line is sent with a checked send (util/log_socket.h). A line
// that can't be handed to the log ends the run with status 14, before any byte
// of a listing is written: no signature leaves the tool without its line. With
// no /dev/log at all the system has no log, and the run goes on without one.
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

#include "util/log_field.h"

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
  std::string_view message;            // the last message written to standard error
  bool signing_logged = false;         // the signed line went out before the listing
  std::string token_id;                // the site token's identifier, when it signed
};

// A line of the audit trail and its syslog priority.
struct AuditLine {
  int priority;
  std::string text;
};

// The line for a run that ended with status, or none when it made no request.
std::optional<AuditLine> audit_line(const AuditFacts& facts, int status);

// Opens and connects the system log's socket (a test's, by path); until then audit_run sends nothing.
void open_audit_log(const char* path = nullptr);

// The log socket's descriptor, or -1: a descriptor the caller may not name.
int audit_log_descriptor();

// Sends the run's line, if any; 0, or 14 (10 out of memory) with its message.
int audit_run(const AuditFacts& facts, int status) noexcept;

}  // namespace zel

#endif  // ZEL_CLI_AUDIT_H_
