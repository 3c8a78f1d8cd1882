#include "cli/audit.h"

#include <syslog.h>

#include <unistd.h>

#include <cstring>
#include <ctime>

#include "util/audit_file.h"
#include "util/log_field.h"
#include "util/status.h"

namespace zel {

namespace {

const char* via(const AuditFacts& facts) {
  // The order of the actor check: -k waives it, then the actor itself, then
  // the trusted account, the only other user it lets through.
  if (facts.own_key) return "own-key";
  if (facts.actor && facts.user == *facts.actor) return "self";
  return "autobuild";
}

std::string key(const AuditFacts& facts) {
  if (!facts.signature) return "none";
  // The identifier tells which token signed, so a reviewer can match a
  // signature to the change that put its token in place.
  return facts.own_key ? "own" : "site token=" + facts.token_id;
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
  // A caller's bad request or a lost reader is worth a notice; a site file or
  // a system that can't serve a valid request needs the administrator.
  const bool notice = status == kNoActor || status == kNoStanza || status == kWriteFailed;
  return AuditLine{notice ? LOG_NOTICE : LOG_ERR, std::move(text)};
}

std::string unsent_message(int error) {
  return std::string("Unable to send the audit record: ") + std::strerror(error) + ".\n";
}

AuditTrail::AuditTrail(UniqueFd file, int open_error, uid_t uid, const char* log_path)
    : file_(std::move(file)), open_error_(open_error), uid_(uid) {
  log_.open(log_path);
}

int AuditTrail::record(const AuditFacts& facts, int status) {
  const std::optional<AuditLine> line = audit_line(facts, status);
  if (!line) return 0;
  if (open_error_ != 0) return open_error_;
  if (const int error = append(line->text); error != 0) return error;
  const int error = log_.send(LOG_AUTHPRIV | line->priority, "zel-auth", line->text);
  if (error != 0 && status == kOk) {
    // The signature won't leave: the file must not say it did. A file that
    // refuses this record too leaves the run's status 14 as it is.
    AuditFacts failed = facts;
    const std::string message = unsent_message(error);
    failed.message = message;
    static_cast<void>(append(audit_line(failed, kAuditUnsent)->text));
  }
  return error;
}

int AuditTrail::append(const std::string& text) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return append_record(file_.get(), audit_record("zel-auth", now, getpid(), uid_, text));
}

}  // namespace zel
