#include "cli/audit.h"

#include <syslog.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "util/log_socket.h"
#include "util/message.h"
#include "util/status.h"

namespace zel {

namespace {

// Opened only by open_audit_log: the driver also runs in tests and under a
// fuzzer, which must leave no line in the machine's log.
LogSocket audit_log;

const char* via(const AuditFacts& facts) {
  // The order of the actor check: -k waives it, then the actor itself, then
  // the trusted account, the only other user it lets through.
  if (facts.own_key) return "own-key";
  if (facts.actor && facts.user == *facts.actor) return "self";
  return "autobuild";
}

std::string key(const AuditFacts& facts) {
  if (!facts.signature) return "none";
  if (facts.own_key) return "own";
  // The identifier tells which token signed, so a reviewer can match a
  // signature to the change that put its token in place.
  return facts.token_id.empty() ? std::string("site") : "site token=" + facts.token_id;
}

// A caller's bad request or a lost reader is worth a notice; a site file or a
// system that can't serve a valid request needs the administrator.
int failure_priority(int status) {
  switch (status) {
    case kNoActor:
    case kNoStanza:
    case kWriteFailed:
      return LOG_NOTICE;
    default:
      return LOG_ERR;
  }
}

}  // namespace

std::optional<AuditLine> audit_line(const AuditFacts& facts, int status) {
  if (!facts.request) return std::nullopt;
  const std::string actor = name_field(facts.actor.value_or(""));
  const std::string user = name_field(facts.user);
  const std::string site = stanza_field(facts.site_name);
  if (status == kOk) {
    return AuditLine{LOG_INFO, "signed for actor=" + actor + " user=" + user + " site=" + site +
                                   " via=" + via(facts) + " key=" + key(facts) +
                                   " digest=" + name_field(facts.digest)};
  }
  if (status == kNotAuthorized) {
    return AuditLine{LOG_NOTICE, "refused actor=" + actor + " user=" + user + " site=" + site};
  }
  std::string_view message = facts.message;
  if (!message.empty() && message.back() == '\n') message.remove_suffix(1);
  std::string text = "failed ";
  if (facts.actor) text += "actor=" + actor + " ";
  text += "user=" + user + " site=" + site + " status=" + std::to_string(status) +
          " message=" + audit_field(message, kAuditMessageLimit);
  return AuditLine{failure_priority(status), std::move(text)};
}

void open_audit_log(const char* path) { audit_log.open(path != nullptr ? path : kSystemLogPath); }

int audit_log_descriptor() { return audit_log.fd(); }

int audit_run(const AuditFacts& facts, int status) noexcept {
  try {
    const std::optional<AuditLine> line = audit_line(facts, status);
    if (!line) return kOk;
    // The line carries the system's local time, never that of a zone the
    // caller chose: TZ leaves the environment before the time is converted (a
    // set-ID run has no environment left). Only a run that logs pays for it.
    unsetenv("TZ");
    if (const int failure = audit_log.send(LOG_AUTHPRIV | line->priority, "zel-auth", line->text);
        failure != 0) {
      report("Unable to send the audit record: %s.\n", std::strerror(failure));
      return kAuditUnsent;
    }
    return kOk;
  } catch (const std::bad_alloc&) {
    report("Out of memory.\n");
    return kOutOfMemory;
  }
}

}  // namespace zel
