#include "admin/trail.h"

#include <fcntl.h>
#include <pwd.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "admin/stanzas.h"
#include "sign/token_id.h"
#include "util/log_field.h"
#include "util/status.h"
#include "util/unique_fd.h"

namespace zel {

namespace {

// The login UID of a process that no login started (a service, cron, boot).
constexpr unsigned long kUnsetLoginUid = 4294967295UL;

std::string who(const Administrator& admin) {
  std::string text = " by=" + name_field(admin.by);
  if (admin.sudo) text += " sudo=" + name_field(*admin.sudo);
  return text;
}

// What zel-auth makes of a stanza: whether -s finds it, what it lists, its token lines.
struct StanzaState {
  bool exists = false;
  std::vector<std::string_view> listed;
  std::vector<std::pair<std::string_view, bool>> tokens;
  std::optional<std::string_view> counting;
  bool found = false;
};

StanzaState state_of(const Stanza& stanza) {
  StanzaState state;
  state.exists = stanza.lookup != StanzaLookup::kMissing;
  state.found = stanza.lookup == StanzaLookup::kFound;
  for (const StanzaLine& line : stanza.listed) state.listed.push_back(line.text);
  for (const TokenLine& token : stanza.tokens) state.tokens.emplace_back(token.value, token.counts);
  if (const std::size_t i = stanza.counting_token(); i != std::string_view::npos) {
    state.counting = stanza.tokens[i].value;
  }
  return state;
}

bool same(const StanzaState& a, const StanzaState& b) {
  return a.exists == b.exists && a.found == b.found && a.listed == b.listed && a.tokens == b.tokens;
}

// Every stanza of a text by name, in the order of the text; the default one first.
struct Stanzas {
  std::vector<std::optional<std::string>> names;
  std::vector<StanzaState> states;
  const StanzaState* find(const std::optional<std::string>& name) const {
    const auto at = std::find(names.begin(), names.end(), name);
    return at == names.end() ? nullptr : &states[static_cast<std::size_t>(at - names.begin())];
  }
};

Stanzas stanzas_of(std::string_view text) {
  const LineIndex lines(text);
  const SiteView view = view_site(text, lines);
  Stanzas all;
  if (view.default_stanza.lookup != StanzaLookup::kMissing) {
    all.names.emplace_back();
    all.states.push_back(state_of(view.default_stanza));
  }
  for (const Stanza& stanza : view.named) {
    // A repeated header selects nothing new: -s finds the first.
    if (all.find(stanza.name) != nullptr) continue;
    all.names.push_back(stanza.name);
    all.states.push_back(state_of(stanza));
  }
  return all;
}

// " token=STATE[ id=I][ was=I]" for a stanza's counting token before and after.
void token_words(std::optional<std::string_view> before, std::optional<std::string_view> after,
                 std::string& words) {
  const std::string now = after ? token_identifier(*after) : "";
  const std::string was = before ? token_identifier(*before) : "";
  const char* state = "none";
  if (before && after) {
    state = *before == *after ? "same" : "changed";
  } else if (after) {
    state = "new";
  } else if (before) {
    state = "gone";
  }
  words += " token=";
  words += state;
  if (after) words += " id=" + now;
  if (before && !(after && *before == *after)) words += " was=" + was;
}

std::string stanza_word(const std::optional<std::string>& name) {
  return stanza_field(name ? name->c_str() : nullptr);
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
  Administrator admin;
  char text[32] = {};
  bool read_it = false;
  if (const UniqueFd fd(open("/proc/self/loginuid", O_RDONLY | O_CLOEXEC)); fd) {
    read_it = read(fd.get(), text, sizeof text - 1) > 0;
  }
  admin.by = login_name(read_it ? text : nullptr);
  // sudo's word for who ran it, which the login UID also gives unless the
  // session was started otherwise (su, a cron job's sudo): both are kept.
  if (const char* sudo_user = std::getenv("SUDO_USER");
      sudo_user != nullptr && *sudo_user != '\0' && getuid() == 0) {
    admin.sudo = sudo_user;
  }
  return admin;
}

int change_line(const Change& change, std::optional<std::string_view> before, std::string_view after,
                std::string& line) {
  const Stanzas old_stanzas = before ? stanzas_of(*before) : Stanzas();
  const Stanzas new_stanzas = stanzas_of(after);
  line = change.command + who(change.admin);
  if (change.forced) line += " forced";
  std::string changes;
  for (std::size_t i = 0; i < new_stanzas.names.size(); ++i) {
    const StanzaState& now = new_stanzas.states[i];
    const StanzaState* was = old_stanzas.find(new_stanzas.names[i]);
    if (was != nullptr && same(*was, now)) continue;
    changes += was == nullptr ? " added=" : " changed=";
    changes += stanza_word(new_stanzas.names[i]);
    token_words(was != nullptr ? was->counting : std::nullopt, now.counting, changes);
  }
  for (std::size_t i = 0; i < old_stanzas.names.size(); ++i) {
    if (new_stanzas.find(old_stanzas.names[i]) != nullptr) continue;
    changes += " removed=" + stanza_word(old_stanzas.names[i]);
    token_words(old_stanzas.states[i].counting, std::nullopt, changes);
  }
  line += changes.empty() ? std::string(" stanzas=same") : changes;
  return kOk;
}

int set_token_line(const Administrator& admin, const char* name, std::string_view before,
                   std::string_view after, std::string& line) {
  const auto counting = [name](std::string_view text) -> std::optional<std::string_view> {
    const std::string_view cut = text.substr(0, text.find('\0'));
    const Stanza stanza = select_stanza(cut, LineIndex(cut), name);
    const std::size_t i = stanza.counting_token();
    if (i == std::string_view::npos) return std::nullopt;
    return stanza.tokens[i].value;
  };
  line = "set-token" + who(admin) + " stanza=" + stanza_field(name);
  token_words(counting(before), counting(after), line);
  return kOk;
}

bool ChangeTrail::open(const char* path, const std::string& site_path) {
  path_ = path;
  if (log_.open(path) != LogSocket::State::kFailed) return true;
  std::fprintf(stderr,
               "zel-site: the system log (%s) can't be reached: %s; %s is unchanged: no change goes in "
               "without its line in the log\n",
               path, std::strerror(log_.error()), site_path.c_str());
  return false;
}

int ChangeTrail::send(const std::string& line, const std::string& site_path) {
  int failure = log_.send(LOG_AUTHPRIV | LOG_NOTICE, "zel-site", line);
  // An edit can outlast the log daemon it connected to; a stream log, unlike a
  // datagram one, is not connected again by the send itself.
  if (failure != 0 && log_.open(path_.c_str()) == LogSocket::State::kConnected) {
    failure = log_.send(LOG_AUTHPRIV | LOG_NOTICE, "zel-site", line);
  }
  if (failure == 0) return kOk;
  std::fprintf(stderr,
               "zel-site: %s is changed and in force, but the system log did not take its line (%s): "
               "record the change yourself: %s\n",
               site_path.c_str(), std::strerror(failure), line.c_str());
  return kChangeUnlogged;
}

}  // namespace zel
