#include "admin/set_token.h"

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "admin/check.h"
#include "admin/interrupt.h"
#include "admin/stanzas.h"
#include "site/properties.h"

namespace zel {

namespace {

// Longer input than this is no token value typed or piped by mistake-free hands.
constexpr std::size_t kLongestValue = 65536;

// Echo off on a terminal for as long as it lives; the newline is still echoed.
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd_(fd) {
    if (tcgetattr(fd_, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    active_ = tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;
  ~EchoOff() {
    if (active_) tcsetattr(fd_, TCSAFLUSH, &saved_);
  }

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

void splice(std::string_view text, std::size_t from, std::size_t to, std::string_view with,
            SecretBytes& out) {
  SecretBytes built;
  built.reserve(text.size() - (to - from) + with.size());
  built.insert(built.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(from));
  built.insert(built.end(), with.begin(), with.end());
  built.insert(built.end(), text.begin() + static_cast<std::ptrdiff_t>(to), text.end());
  out = std::move(built);
}

}  // namespace

bool replace_token(std::string_view whole_text, const char* name, std::string_view value,
                   SecretBytes& out, std::string& error) {
  const std::string_view text = whole_text.substr(0, whole_text.find('\0'));
  const std::string label = stanza_label(name);
  std::size_t start = 0;
  const StanzaLookup lookup = find_stanza(text, name, start);
  if (lookup == StanzaLookup::kMissing) {
    error = name != nullptr ? "there is no stanza " + label : "there is no default stanza";
    return false;
  }
  SecretBytes line = make_secret("token.value = ");
  line.insert(line.end(), value.begin(), value.end());

  if (lookup == StanzaLookup::kEmpty) {
    // The new line goes right after the header's own line.
    const std::size_t header = find_header(text, label);
    const std::size_t eol = text.find('\n', header);
    line.push_back('\n');
    if (eol == std::string_view::npos) line.insert(line.begin(), '\n');
    const std::size_t at = eol == std::string_view::npos ? text.size() : eol + 1;
    splice(whole_text, at, at, view_of(line), out);
  } else {
    const std::size_t end = stanza_end(text, start);
    std::string_view counting;
    std::string_view first_empty;
    for_each_property_line(text, start, end, [&](std::string_view candidate) {
      if (!is_token_line(candidate) || !counting.empty()) return;
      if (!token_value_of(candidate).empty()) {
        counting = candidate;
      } else if (first_empty.empty()) {
        first_empty = candidate;
      }
    });
    auto offset = [&](const char* p) { return static_cast<std::size_t>(p - text.data()); };
    if (!counting.empty()) {
      const std::string_view old_value = token_value_of(counting);
      splice(whole_text, offset(old_value.data()), offset(counting.data() + counting.size()), value, out);
    } else if (!first_empty.empty()) {
      // A token line without a value becomes the one that counts.
      splice(whole_text, offset(first_empty.data()), offset(first_empty.data() + first_empty.size()),
             view_of(line), out);
    } else if (end < text.size()) {
      line.insert(line.begin(), '\n');
      splice(whole_text, end, end, view_of(line), out);
    } else {
      if (end > 0 && text[end - 1] != '\n') line.insert(line.begin(), '\n');
      line.push_back('\n');
      splice(whole_text, end, end, view_of(line), out);
    }
  }

  // What zel-auth would now sign with must be the new value, or nothing is changed.
  const std::string_view done(out.data(), out.size());
  const LineIndex lines(done);
  const Stanza stanza = select_stanza(done.substr(0, done.find('\0')), lines, name);
  const std::size_t counting = stanza.counting_token();
  if (counting == std::string_view::npos || stanza.tokens[counting].value != value) {
    out.clear();
    error = "a token line can't be placed in " + label + " so that zel-auth takes it: use zel-site edit";
    return false;
  }
  return true;
}

bool read_token_value(int fd, const std::string& prompt, SecretBytes& value, std::string& error) {
  value.clear();
  const bool terminal = isatty(fd) != 0;
  std::optional<EchoOff> echo_off;
  if (terminal) {
    std::fputs(prompt.c_str(), stderr);
    (void)std::fflush(stderr);
    echo_off.emplace(fd);
  }
  bool ended = false;  // a newline was read
  bool more = false;   // something follows it
  for (;;) {
    char c = 0;
    const ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR && interrupted() == 0) continue;
    if (n < 0) {
      error = std::string("can't read the token value: ") + std::strerror(errno);
      value.clear();
      return false;
    }
    if (n == 0) break;
    if (ended) {
      more = true;
      break;
    }
    if (c == '\n') {
      ended = true;
      // A terminal gives one line; a pipe or file must hold nothing more.
      if (terminal) break;
      continue;
    }
    if (value.size() == kLongestValue) {
      error = "the token value is too long";
      value.clear();
      return false;
    }
    value.push_back(c);
  }
  if (more) {
    error = "the token value must be one line";
    value.clear();
    return false;
  }
  error = token_value_fault(view_of(value), false);
  if (!error.empty()) value.clear();
  return error.empty();
}

SiteStatus set_token(const SitePaths& paths, const TokenRequest& request, ChangeTrail& trail) {
  const std::string label = stanza_label(request.stanza);
  const std::string site = paths.site;
  Commit commit{.command = "set-token",
                .stanza = request.stanza,
                .unchanged = "the token value of " + label + " in " + site + " is that value already: unchanged",
                .installed = "set the token value of " + label + " in " + site,
                .ownership_said = false};
  commit.compose = [&](const LiveFile& live, Composed& next) {
    if (!live.exists) return failure(site + ": there is no site file yet: write one with zel-site edit");
    const std::string_view whole = view_of(live.text);
    std::size_t start = 0;
    if (find_stanza(whole.substr(0, whole.find('\0')), request.stanza, start) == StanzaLookup::kMissing) {
      std::fprintf(stderr, "zel-site: %s has no stanza %s; it is unchanged\n", site.c_str(), label.c_str());
      return SiteStatus::kRefused;
    }
    SecretBytes value;
    std::string error;
    if (!read_token_value(STDIN_FILENO, "New token value for " + label + ": ", value, error) ||
        !replace_token(whole, request.stanza, view_of(value), next.text, error)) {
      if (interrupted() == 0) std::fprintf(stderr, "zel-site: %s; %s is unchanged\n", error.c_str(), site.c_str());
      return SiteStatus::kRefused;
    }
    const std::vector<Finding> findings = check_site_text(view_of(next.text));
    print_findings(stdout, site.c_str(), findings);
    if (!has_errors(findings, false)) return SiteStatus::kDone;
    std::fprintf(stderr, "zel-site: %s would have errors; it is unchanged (mend them with zel-site edit)\n",
                 site.c_str());
    return SiteStatus::kRefused;
  };
  return commit_change(paths, commit, trail);
}

}  // namespace zel
