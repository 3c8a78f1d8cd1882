#include "admin/set_token.h"

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
#include "admin/token_input.h"
#include "site/properties.h"

namespace zel {

namespace {

// The text with [from, to) replaced by with.
void splice(std::string_view text, std::size_t from, std::size_t to, std::string_view with, SecretBytes& out) {
  SecretBytes built(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(from));
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
  // The value goes in place of the one that counts, or on the first token line without one (which
  // then counts), or on a new line: at the end of the stanza, or after the header of an empty one.
  const std::size_t end = lookup == StanzaLookup::kFound ? stanza_end(text, start) : start;
  std::string_view valued;  // the token line that counts
  std::string_view first_empty;
  for_each_property_line(text, start, end, [&](std::string_view candidate) {
    if (!is_token_line(candidate)) return;
    const bool has_value = !token_value_of(candidate).empty();
    if (has_value && valued.empty()) valued = candidate;
    if (!has_value && first_empty.empty()) first_empty = candidate;
  });
  SecretBytes line = make_secret("token.value = ");
  line.insert(line.end(), value.begin(), value.end());
  // What the new value, or the new line, takes the place of.
  const std::string_view old = !valued.empty() ? token_value_of(valued) : first_empty;
  if (!old.empty()) {
    const auto from = static_cast<std::size_t>(old.data() - text.data());
    splice(whole_text, from, from + old.size(), !valued.empty() ? value : view_of(line), out);
  } else {
    const std::size_t eol = lookup == StanzaLookup::kFound ? end : text.find('\n', find_header(text, label));
    const std::size_t at = eol < text.size() ? eol + 1 : text.size();
    if (at > 0 && text[at - 1] != '\n') line.insert(line.begin(), '\n');
    line.push_back('\n');
    splice(whole_text, at, at, view_of(line), out);
  }

  // What zel-auth would now sign with must be the new value, or nothing is changed.
  if (counting_value(view_of(out), name) != value) {
    out.clear();
    error = "a token line can't be placed in " + label + " so that zel-auth takes it: use zel-site edit";
    return false;
  }
  return true;
}

namespace {

// The live text with the token value asked for, read or made, once it is checked.
SiteStatus compose_token(const std::string& site, const TokenRequest& request, int generated_fd,
                         const LiveFile& live, Composed& next) {
  const std::string label = stanza_label(request.stanza);
  if (!live.exists) return failure(site + ": there is no site file yet: write one with zel-site edit");
  const std::string_view whole = view_of(live.text);
  std::size_t start = 0;
  if (find_stanza(whole.substr(0, whole.find('\0')), request.stanza, start) == StanzaLookup::kMissing) {
    return failure(site + " has no stanza " + label + "; it is unchanged", SiteStatus::kRefused);
  }
  SecretBytes value;
  std::string error;
  const bool read = request.generate != nullptr ? generate_token_value(value, error)
                                                : read_token_value(STDIN_FILENO, label, request.weak, value, error);
  if (!read || !replace_token(whole, request.stanza, view_of(value), next.text, error)) {
    if (interrupted() == 0) std::fprintf(stderr, "zel-site: %s; %s is unchanged\n", error.c_str(), site.c_str());
    return SiteStatus::kRefused;
  }
  const std::vector<Finding> findings = check_site_text(view_of(next.text));
  print_findings(stdout, site.c_str(), findings);
  if (has_errors(findings, false)) {
    return failure(site + " would have errors; it is unchanged (mend them with zel-site edit)", SiteStatus::kRefused);
  }
  // The value goes out before it is put in force: a value that can't be told is not installed.
  if (request.generate != nullptr && !write_token_value(generated_fd, value, error)) {
    return failure(error + "; " + site + " is unchanged");
  }
  return SiteStatus::kDone;
}

}  // namespace

SiteStatus set_token(const SitePaths& paths, const TokenRequest& request) {
  int generated_fd = -1;
  if (std::string error; request.generate != nullptr && !generated_token_fd(request.generate, generated_fd, error)) {
    return failure(error);
  }
  const std::string label = stanza_label(request.stanza);
  const std::string site = paths.site;
  Commit commit{.command = "set-token",
                .stanza = request.stanza,
                .unchanged = "the token value of " + label + " in " + site + " is that value already: unchanged",
                .installed = "set the token value of " + label + " in " + site,
                .ownership_said = false};
  commit.compose = [&](const LiveFile& live, Composed& next) {
    return compose_token(site, request, generated_fd, live, next);
  };
  return commit_change(paths, commit);
}

}  // namespace zel
