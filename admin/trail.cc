#include "admin/trail.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <nettle/sha2.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "admin/stanzas.h"
#include "admin/text_file.h"
#include "sign/hex.h"
#include "sign/token_id.h"
#include "util/audit_file.h"
#include "util/log_field.h"
#include "util/status.h"
#include "util/unique_fd.h"

namespace zel {

namespace {

// The login UID of a process that no login started (a service, cron, boot).
constexpr unsigned long kUnsetLoginUid = 4294967295UL;

std::string who(const Administrator& admin) { return " by=" + name_field(admin); }

// What zel-auth makes of a stanza: whether -s finds it, what it lists, its token lines.
struct StanzaState {
  std::optional<std::string> name;
  StanzaLookup lookup;
  std::vector<std::string_view> listed;
  std::vector<std::string_view> tokens;
  std::optional<std::string_view> counting;
};

StanzaState state_of(const Stanza& stanza) {
  StanzaState state{stanza.name, stanza.lookup, {}, {}, {}};
  for (const StanzaLine& line : stanza.listed) state.listed.push_back(line.text);
  for (const TokenLine& token : stanza.tokens) {
    state.tokens.push_back(token.value);
    if (!state.counting && !token.value.empty()) state.counting = token.value;
  }
  return state;
}

bool same(const StanzaState& a, const StanzaState& b) {
  return a.lookup == b.lookup && a.listed == b.listed && a.tokens == b.tokens;
}

const StanzaState* find(const std::vector<StanzaState>& all, const std::optional<std::string>& name) {
  const auto at = std::find_if(all.begin(), all.end(), [&](const StanzaState& s) { return s.name == name; });
  return at == all.end() ? nullptr : &*at;
}

// Every stanza of a text, in the order of the text; the default one first.
std::vector<StanzaState> stanzas_of(std::string_view text) {
  const LineIndex lines(text);
  const SiteView view = view_site(text, lines);
  std::vector<StanzaState> all;
  if (view.default_stanza.lookup != StanzaLookup::kMissing) all.push_back(state_of(view.default_stanza));
  for (const Stanza& stanza : view.named) {
    // A repeated header selects nothing new: -s finds the first.
    if (find(all, stanza.name) == nullptr) all.push_back(state_of(stanza));
  }
  return all;
}

// " token=STATE[ id=I][ was=I]" for a stanza's counting token before and after.
std::string token_words(std::optional<std::string_view> before, std::optional<std::string_view> after) {
  const char* state = "none";
  if (before && after) {
    state = *before == *after ? "same" : "changed";
  } else if (after) {
    state = "new";
  } else if (before) {
    state = "gone";
  }
  std::string words = std::string(" token=") + state;
  if (after) words += " id=" + token_identifier(*after);
  if (before && !(after && *before == *after)) words += " was=" + token_identifier(*before);
  return words;
}

std::string stanza_word(const std::optional<std::string>& name) {
  return stanza_field(name ? name->c_str() : nullptr);
}

// The SHA-256 recorded at record, "none" while nothing is; false with the reason.
// cppcheck-suppress constParameter ; read_text_file writes the reason into it
bool recorded_hash(const char* record, std::string& hash, std::string& error) {
  SecretBytes text;
  bool missing = false;
  const bool read = read_text_file(record, text, error, {.follow_link = false, .missing = &missing});
  hash = read ? std::string(text.begin(), text.end() - (text.empty() || text.back() != '\n' ? 0 : 1)) : "none";
  return read || missing;
}

// A torn write leaves a record that matches no file: the next command reports an outside change.
bool record_hash(const char* record, const std::string& hash, std::string& error) {
  if (write_file(record, hash + "\n", O_TRUNC)) return true;
  error = std::string(record) + ": " + std::strerror(errno);
  return false;
}

// The SHA-256 of a live text as 64 lowercase hexadecimal digits, "none" for no
// file: it names the text without giving it.
std::string live_hash(std::optional<std::string_view> live) {
  if (!live) return "none";
  sha256_ctx context;
  sha256_init(&context);
  sha256_update(&context, live->size(), reinterpret_cast<const std::uint8_t*>(live->data()));
  std::uint8_t hash[SHA256_DIGEST_SIZE];
  sha256_digest(&context, sizeof hash, hash);
  return lower_hex(hash, sizeof hash);
}

}  // namespace

std::string login_name(const char* loginuid) {
  if (loginuid == nullptr) return "unknown";
  const std::string_view text = loginuid;
  unsigned long uid = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), uid);
  if (error != std::errc() || end == text.data() ||
      std::string_view(end, static_cast<std::size_t>(text.data() + text.size() - end))
              .find_first_not_of('\n') != std::string_view::npos ||
      uid > kUnsetLoginUid) {
    return "unknown";
  }
  if (uid == kUnsetLoginUid) return "unset";
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr) {
    return found->pw_name;
  }
  // A colon is in no account name: this can't be taken for one.
  return "uid:" + std::to_string(uid);
}

Administrator administrator() {
  char text[32] = {};
  bool read_it = false;
  if (const UniqueFd fd(open("/proc/self/loginuid", O_RDONLY | O_CLOEXEC)); fd) {
    read_it = read(fd.get(), text, sizeof text - 1) > 0;
  }
  return login_name(read_it ? text : nullptr);
}

std::string change_line(const Change& change, std::optional<std::string_view> before, std::string_view after) {
  const std::vector<StanzaState> old_stanzas = before ? stanzas_of(*before) : std::vector<StanzaState>();
  const std::vector<StanzaState> new_stanzas = stanzas_of(after);
  std::string line = change.command + who(change.admin);
  if (change.forced) line += " forced";
  std::string changes;
  for (const StanzaState& now : new_stanzas) {
    const StanzaState* was = find(old_stanzas, now.name);
    if (was != nullptr && same(*was, now)) continue;
    changes += (was == nullptr ? " added=" : " changed=") + stanza_word(now.name) +
               token_words(was != nullptr ? was->counting : std::nullopt, now.counting);
  }
  for (const StanzaState& was : old_stanzas) {
    if (find(new_stanzas, was.name) == nullptr) {
      changes += " removed=" + stanza_word(was.name) + token_words(was.counting, std::nullopt);
    }
  }
  return line + (changes.empty() ? std::string(" stanzas=same") : changes);
}

std::string set_token_line(const Administrator& admin, const char* name, std::string_view before,
                           std::string_view after) {
  return "set-token" + who(admin) + " stanza=" + stanza_field(name) +
         token_words(counting_value(before, name), counting_value(after, name));
}

std::optional<Finding> outside_change(const SitePaths& paths, std::optional<std::string_view> live) {
  const std::string now = live_hash(live);
  std::string recorded;
  std::string error;
  if (!recorded_hash(paths.record, recorded, error)) return Finding{paths.record, 0, Severity::kError, error};
  if (now == recorded) return std::nullopt;
  return Finding{paths.site, 0, Severity::kWarning,
                 "changed outside zel-site; not in the audit file (SHA-256 " + now + ", last recorded " +
                     name_field(recorded) + "): the next zel-site edit, install or set-token records it as an "
                     "outside change"};
}

bool ChangeTrail::open(const SitePaths& paths) {
  paths_ = paths;
  // Its owner and group are the deployment checker's to judge (root's, or in
  // the older set-user-ID form the service account's); here it must be a file.
  struct stat st {};
  const int error = lstat(paths.audit, &st) != 0 ? errno : open_audit_file(paths.audit, st.st_uid, st.st_gid, audit_);
  if (error != 0) {
    std::fprintf(stderr, "zel-site: the audit file %s can't be opened for appending: %s; %s is unchanged: no "
                 "change goes in without its record\n", paths.audit, std::strerror(error), paths.site);
    return false;
  }
  if (log_.open(paths.log) != LogSocket::State::kFailed) return true;
  std::fprintf(stderr,
               "zel-site: the system log (%s) can't be reached: %s; %s is unchanged: no change goes in "
               "without its line in the log\n",
               paths.log, std::strerror(log_.error()), paths.site);
  return false;
}

int ChangeTrail::append(const std::string& text) const {
  std::timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return append_record(audit_.get(), audit_record("zel-site", now, getpid(), getuid(), text));
}

int ChangeTrail::reconcile(bool exists, std::string_view live) {
  std::string recorded;
  std::string error;
  before_ = live_hash(exists ? std::optional(live) : std::nullopt);
  bool done = recorded_hash(paths_.record, recorded, error);
  if (done && recorded != before_) {
    const int failure = append("outside-change recorded=" + name_field(recorded) + " live=" + before_);
    if (failure != 0) error = std::string(paths_.audit) + ": " + std::strerror(failure);
    done = failure == 0 && record_hash(paths_.record, before_, error);
  }
  if (!done) std::fprintf(stderr, "zel-site: %s; %s is unchanged\n", error.c_str(), paths_.site);
  return done ? kOk : 2;
}

int ChangeTrail::send(const std::string& line, std::string_view after) {
  const std::string hash = live_hash(after);
  std::string why;  // what did not take the change, and why
  if (const int unrecorded = append(line + " before=" + before_ + " after=" + hash); unrecorded != 0) {
    // The record of the last file stays as it was, so that check reports this one.
    why = std::string(paths_.audit) + " did not take its record (" + std::strerror(unrecorded) + ")";
  } else if (!record_hash(paths_.record, hash, why)) {
    why = "its SHA-256 is not recorded (" + why + ")";
  }
  int failure = log_.send(LOG_AUTHPRIV | LOG_NOTICE, "zel-site", line);
  // An edit can outlast the log daemon it connected to; a stream log, unlike a
  // datagram one, is not connected again by the send itself.
  if (failure != 0 && log_.open(paths_.log) == LogSocket::State::kConnected) {
    failure = log_.send(LOG_AUTHPRIV | LOG_NOTICE, "zel-site", line);
  }
  if (failure != 0 && why.empty()) why = std::string("the system log did not take its line (") + std::strerror(failure) + ")";
  if (why.empty()) return kOk;
  std::fprintf(stderr, "zel-site: %s is changed and in force, but %s: record the change yourself: %s\n", paths_.site,
               why.c_str(), line.c_str());
  return kChangeUnlogged;
}

}  // namespace zel
