// The audit trail: one line in the system's authentication log (facility
// authpriv) for every run that made a request, that is, read a non-empty body:
// a signature at info, a refusal at notice, any other failure at notice or err.
// A signing is logged before its listing is written; if the write then fails,
// a failure line follows. Usage errors and listings of an empty body leave no
// line. Nothing the caller
// sees depends on it: a log that can't be reached is simply not written.
//
// The lines, one fixed shape per kind:
//   signed for actor=A user=U site=S via=self|autobuild|own-key key=site|own|none digest=D
//   refused actor=A user=U site=S
//   failed user=U site=S status=N message=M
// S is "default" for the default stanza, or the header "[name]" of a named one.
// Every field is escaped: bytes outside printable ASCII and the backslash become
// \xHH, and so does the space in every field but the message, which comes last.
// A field longer than its limit is cut there and "\..." marks the cut. No token
// value, property line or byte of the body but its actor ever reaches a line.
#ifndef ZEL_CLI_AUDIT_H_
#define ZEL_CLI_AUDIT_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace zel {

// Bytes of the caller's text kept of a name (actor, user, site) and of a message.
inline constexpr std::size_t kAuditNameLimit = 128;
inline constexpr std::size_t kAuditMessageLimit = 512;

// What a run has done, as far as the audit trail tells it.
struct AuditFacts {
  bool request = false;                // a non-empty body was read
  std::string user;                    // the invoking user's login name
  std::optional<std::string> actor;    // the actor the body names
  const char* site_name = nullptr;     // null for the default stanza
  bool own_key = false;                // the caller gave its token value with -k
  bool signature = false;              // a signature line was made
  std::string digest;                  // the body's digest, base64
  std::string_view message;            // the last message written to standard error
  bool signing_logged = false;         // the signed line went out before the listing
};

// A line of the audit trail and its syslog priority.
struct AuditLine {
  int priority;
  std::string text;
};

// Escapes text for a line and cuts it after limit bytes; spaces too unless keep_spaces.
std::string audit_field(std::string_view text, std::size_t limit, bool keep_spaces);

// The line for a run that ended with status, or none when it made no request.
std::optional<AuditLine> audit_line(const AuditFacts& facts, int status);

// Opens the system log as "zel-auth"; until then audit_run logs nothing.
void open_audit_log();

// Sends the run's line, if any, to the system log once it is open; never fails.
void audit_run(const AuditFacts& facts, int status) noexcept;

}  // namespace zel

#endif  // ZEL_CLI_AUDIT_H_
