#include "cli/audit.h"

#include <syslog.h>

#include <cstdlib>

#include "util/status.h"

namespace zel {

namespace {

// Set once the log is opened: the driver also runs in tests and under a fuzzer,
// which must leave no line in the machine's log.
bool log_open = false;

std::string name_field(std::string_view name) { return audit_field(name, kAuditNameLimit, false); }

std::string site_field(const char* site_name) {
  // The header of a named stanza can't be mistaken for the default one, even
  // for a stanza that is named "default".
  return site_name == nullptr ? std::string("default") : "[" + name_field(site_name) + "]";
}

const char* via(const AuditFacts& facts) {
  // The order of the actor check: -k waives it, then the actor itself, then
  // the trusted account, the only other user it lets through.
  if (facts.own_key) return "own-key";
  if (facts.actor && facts.user == *facts.actor) return "self";
  return "autobuild";
}

const char* key(const AuditFacts& facts) {
  if (!facts.signature) return "none";
  return facts.own_key ? "own" : "site";
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

std::string audit_field(std::string_view text, std::size_t limit, bool keep_spaces) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string field;
  for (const char c : text.substr(0, limit)) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte > ' ' && byte < 0x7f && byte != '\\') || (byte == ' ' && keep_spaces)) {
      field += c;
    } else {
      field += "\\x";
      field += kHex[byte >> 4U];
      field += kHex[byte & 0xfU];
    }
  }
  // A backslash from the caller is always \x5c, so this mark can't be forged.
  if (text.size() > limit) field += "\\...";
  return field;
}

std::optional<AuditLine> audit_line(const AuditFacts& facts, int status) {
  if (!facts.request) return std::nullopt;
  const std::string actor = name_field(facts.actor.value_or(""));
  const std::string user = name_field(facts.user);
  const std::string site = site_field(facts.site_name);
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
  return AuditLine{failure_priority(status),
                   "failed user=" + user + " site=" + site + " status=" + std::to_string(status) +
                       " message=" + audit_field(message, kAuditMessageLimit, true)};
}

void open_audit_log() {
  // No LOG_CONS: nothing goes to the console when the log can't be reached. No
  // LOG_NDELAY either: the socket is opened when the line is sent, with the
  // invoking user's rights, as the caller's own programs would open it.
  // The line's time stamp is local time, which the C library would take from
  // the caller's TZ: the caller must not date an entry of the audit trail.
  unsetenv("TZ");
  openlog("zel-auth", LOG_PID, LOG_AUTHPRIV);
  log_open = true;
}

void audit_run(const AuditFacts& facts, int status) noexcept {
  if (!log_open) return;
  try {
    if (const std::optional<AuditLine> line = audit_line(facts, status)) {
      syslog(line->priority, "%s", line->text.c_str());
    }
  } catch (...) {
    // Out of memory for the line: the run's outcome stands without it.
  }
}

}  // namespace zel
