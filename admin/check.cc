#include "admin/check.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <tuple>

#include "admin/stanzas.h"

namespace zel {

namespace {

// Token values shorter than this are warned about: tokens must be long and random.
constexpr std::size_t kShortestToken = 16;

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool is_white(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
bool is_control(char c) { return std::iscntrl(static_cast<unsigned char>(c)) != 0; }

std::string lower(std::string_view text) {
  std::string low(text);
  for (char& c : low) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return low;
}

// Where a listed line's key starts for a reader: after white space of any kind and
// UTF-8 byte order marks, which editors hide and zel-auth keeps as text, and, with
// comments, after the comment markers a reader skips too.
std::string_view reader_key_start(std::string_view line, bool comments) {
  for (;;) {
    while (!line.empty() && is_white(line.front())) line.remove_prefix(1);
    if (line.starts_with(kByteOrderMark)) {
      line.remove_prefix(kByteOrderMark.size());
    } else if (comments && line.starts_with("//")) {
      line.remove_prefix(2);
    } else if (comments && (line.starts_with('#') || line.starts_with(';'))) {
      line.remove_prefix(1);
    } else {
      return line;
    }
  }
}

// The edits (a byte put in, left out, changed, or two swapped) that turn a into b.
std::size_t edits(std::string_view a, std::string_view b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t changed = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + changed});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

// The computed line a listed line poses as ("digest.value" or "signature.value"
// in any case and spacing before its "="), or empty.
std::string_view poses_as_computed_line(std::string_view line) {
  const std::string_view rest = reader_key_start(line, false);
  std::size_t key_end = rest.find('=');
  if (key_end == std::string_view::npos) {
    key_end = static_cast<std::size_t>(std::find_if(rest.begin(), rest.end(), is_white) - rest.begin());
  }
  std::string key = lower(rest.substr(0, key_end));
  std::erase_if(key, is_white);
  constexpr std::array<std::string_view, 2> computed = {"digest.value", "signature.value"};
  const auto found = std::find(computed.begin(), computed.end(), key);
  return found != computed.end() ? *found : std::string_view();
}

void check_listed(const Stanza& stanza, const std::vector<SoughtToken>& tokens, Findings& findings) {
  for (const StanzaLine& listed : stanza.listed) {
    const bool token_like = looks_like_token_line(listed.text);
    if (token_like) {
      findings.error(listed.line,
                     "listed to every user, yet it looks like a token line: write a token line as "
                     "\"token.value = VALUE\", the key in lower case at the line's start or after "
                     "spaces alone");
    }
    const std::string_view computed = poses_as_computed_line(listed.text);
    if (!computed.empty()) {
      findings.error(listed.line, "listed to every user as a \"" + std::string(computed) +
                                      "\" line: callers take it for the one zel-auth computes");
    }
    for (const SoughtToken& token : tokens) {
      if (listed.text.find(token.value) != std::string_view::npos) {
        findings.error(listed.line, "listed to every user, and it holds the token value of line " +
                                        std::to_string(token.line));
        break;
      }
    }
    if (listed.text.ends_with('\r')) {
      findings.error(listed.line, "listed to every user with the carriage return it ends in (CRLF "
                                  "line ends): callers get it as part of the line");
    } else if (std::any_of(listed.text.begin(), listed.text.end(), is_control)) {
      findings.error(listed.line, "listed to every user with a control character (a tab, a carriage "
                                  "return or another) in it: callers get it as part of the line");
    }
    if (listed.text.starts_with('#') && !token_like) {
      findings.warning(listed.line, "listed to every user as it stands: the site file has no comments");
    }
  }
}

void check_tokens(const Stanza& stanza, Findings& findings) {
  const std::string label = stanza_label(stanza);
  const std::size_t counting = stanza.counting_token();
  if (stanza.tokens.empty()) {
    findings.warning(stanza.name ? stanza.header_line : stanza.start_line,
                     label + " has no token line: signing prints no signature unless -k is given");
    return;
  }
  if (counting == std::string_view::npos) {
    findings.error(stanza.tokens.front().line,
                   label + " has token lines but none with a value: zel-auth ends its runs with status 8");
    return;
  }
  const TokenLine& counted = stanza.tokens[counting];
  for (std::size_t i = 0; i < stanza.tokens.size(); ++i) {
    const TokenLine& token = stanza.tokens[i];
    if (i < counting) {
      findings.warning(token.line, "token line without a value: zel-auth writes \"Token value cannot "
                                   "be empty.\" at every run of " + label);
    } else if (i > counting && !token.value.empty()) {
      findings.warning(token.line, "another token line with a value in " + label + ": only line " +
                                       std::to_string(counted.line) + " counts");
    }
  }
  const std::string_view value = counted.value;
  if (value.ends_with('\r')) {
    findings.error(counted.line, "the token value ends in a carriage return (CRLF line ends): it "
                                 "becomes part of the key");
  } else if (std::any_of(value.begin(), value.end(), is_control)) {
    findings.error(counted.line, "the token value holds a control character: it becomes part of the key");
  } else if (value.ends_with(' ')) {
    findings.error(counted.line, "the token value ends in spaces, which become part of the key: remove "
                                 "them");
  }
  if (value.size() < kShortestToken) {
    findings.warning(counted.line, "the token value is shorter than " + std::to_string(kShortestToken) +
                                       " bytes: a token must be long and random");
  }
}

// A "[" and a later "]" in a token value: a header [NAME] could be read inside it,
// and the rest of the token listed as that stanza. A "]" alone does as much in a
// token that follows a header on its line: a header from that "[" could end in it.
void check_token_brackets(const std::vector<SoughtToken>& tokens, Findings& findings) {
  for (const SoughtToken& token : tokens) {
    const std::size_t open = token.value.find('[');
    if (open != std::string_view::npos && token.value.find(']', open) != std::string_view::npos) {
      findings.error(token.line, "the token value holds \"[\" and then \"]\": a header could be read "
                                 "inside it, and the rest of the token listed; choose one without them");
    } else if (token.after_header && token.value.find(']') != std::string_view::npos) {
      findings.error(token.line, "the token value after a header on its line holds \"]\": a header "
                                 "could be read from that line's \"[\" to it, and the rest of the token "
                                 "listed; choose one without \"[\" or \"]\"");
    }
  }
}

// A line of a stanza that holds a token line after a "]" (the token of whatever
// header stands before it): zel-auth withholds it, since listing it would show
// that token to every user, yet the file reads as if it were listed.
void check_withheld(const Stanza& stanza, Findings& findings) {
  for (const StanzaLine& line : stanza.withheld) {
    findings.error(line.line, "a token line after a \"]\" inside the text of " + stanza_label(stanza) +
                                  ": it holds a token of another stanza, and listing it would show "
                                  "that token to every user, so zel-auth withholds the whole line; "
                                  "put each header and each token line on a line of its own");
  }
}

void check_header(const Stanza& stanza, const SiteView& view, Findings& findings) {
  const std::string label = stanza_label(stanza);
  if (!stanza.reached()) {
    for (const Stanza& earlier : view.named) {
      if (earlier.header_line >= stanza.header_line) break;
      if (earlier.name == stanza.name) {
        findings.error(stanza.header_line, "the stanza name " + label + " is used by the header on line " +
                                               std::to_string(earlier.header_line) +
                                               " already: this stanza can never be selected");
        return;
      }
    }
    findings.error(stanza.header_line, "-s " + *stanza.name + " never selects this stanza: the text " +
                                           label + " occurs first on line " +
                                           std::to_string(stanza.selected_line) +
                                           ", and that is selected instead");
    return;
  }
  if (stanza.lookup == StanzaLookup::kEmpty) {
    findings.warning(stanza.header_line, "the stanza " + label + " is empty: -s " + *stanza.name +
                                             " ends with status 7");
  }
}

void check_bracket_line(const BracketLine& bracket, Findings& findings) {
  if (!bracket.name) {
    findings.error(bracket.line, "a line that starts with \"[\" but is no whole [name] header: it "
                                 "still ends the stanza above");
    return;
  }
  const std::string_view after = bracket.text.substr(bracket.name->size() + 2);
  const std::size_t text = after.find_first_not_of(' ');
  if (text == std::string_view::npos) return;
  if (after.substr(text) == "\r") {
    findings.warning(bracket.line, "a carriage return after \"]\" (CRLF line ends): it becomes the "
                                   "stanza's first property line");
  } else {
    findings.warning(bracket.line, "text after \"]\" on a header line: it becomes the stanza's first "
                                   "property line");
  }
}

}  // namespace

// Whether a listed line's key (the text before "=" or the first blank) is one a
// reader takes for "token.value": in any case, its words joined by ".", "_", "-",
// a blank or nothing, within two edits of it, or starting with the word "token".
bool looks_like_token_line(std::string_view line) {
  const std::string_view rest = reader_key_start(line, true);
  const auto key_end = std::find_if(rest.begin(), rest.end(), [](char c) { return c == '=' || is_white(c); });
  std::string key = lower(rest.substr(0, static_cast<std::size_t>(key_end - rest.begin())));
  std::replace_if(key.begin(), key.end(), [](char c) { return c == '_' || c == '-'; }, '.');
  // A key more than two bytes longer than "token.value" is more than two edits away.
  if (key.size() <= 13 && (edits(key, "token.value") <= 2 || edits(key, "tokenvalue") <= 2)) return true;
  // "token", "tokens", "token2", "token.old", but not "tokenizer" or "tokenless".
  std::string_view word = key;
  if (!word.starts_with("token")) return false;
  word.remove_prefix(word.starts_with("tokens") ? 6 : 5);
  return word.empty() || std::isalpha(static_cast<unsigned char>(word.front())) == 0;
}

std::vector<Finding> Findings::done() {
  // A site text's findings read by line; a path's (line 0) keep the order they were examined in.
  auto before = [](const Finding& a, const Finding& b) {
    if (a.line == 0 || b.line == 0) return a.line < b.line;
    return std::tie(a.line, a.severity, a.text) < std::tie(b.line, b.severity, b.text);
  };
  std::stable_sort(findings_.begin(), findings_.end(), before);
  findings_.erase(std::unique(findings_.begin(), findings_.end(),
                              [](const Finding& a, const Finding& b) {
                                return std::tie(a.path, a.line, a.severity, a.text) ==
                                       std::tie(b.path, b.line, b.severity, b.text);
                              }),
                  findings_.end());
  return std::move(findings_);
}

std::vector<Finding> check_site_text(std::string_view whole_text) {
  Findings findings;
  if (whole_text.empty()) {
    findings.error(1, "the file is empty: zel-auth ends every run with status 6");
    return findings.done();
  }
  const LineIndex lines(whole_text);
  const SiteView view = view_site(whole_text, lines);
  if (view.nul_line) {
    findings.error(*view.nul_line, "a NUL byte: zel-auth ignores it and everything after it");
  }
  const std::vector<SoughtToken> tokens = sought_tokens(view.text, lines);
  check_token_brackets(token_lines(view.text, lines), findings);

  if (view.default_stanza.lookup == StanzaLookup::kFound) {
    check_listed(view.default_stanza, tokens, findings);
    check_withheld(view.default_stanza, findings);
    check_tokens(view.default_stanza, findings);
  } else {
    findings.warning(1, "no default stanza: a run without -s ends with status 7");
  }
  for (const BracketLine& bracket : view.bracket_lines) check_bracket_line(bracket, findings);
  for (const Stanza& stanza : view.named) {
    check_header(stanza, view, findings);
    if (stanza.lookup != StanzaLookup::kFound) continue;
    check_listed(stanza, tokens, findings);
    check_withheld(stanza, findings);
    if (stanza.reached()) check_tokens(stanza, findings);
  }
  return findings.done();
}

bool has_errors(const std::vector<Finding>& findings, bool strict) {
  return std::any_of(findings.begin(), findings.end(),
                     [&](const Finding& f) { return strict || f.severity == Severity::kError; });
}

void print_findings(std::FILE* out, const char* site_path, const std::vector<Finding>& findings) {
  for (const Finding& f : findings) {
    const char* path = f.path.empty() ? site_path : f.path.c_str();
    const char* kind = f.severity == Severity::kError ? "error" : "warning";
    if (f.line == 0) {
      std::fprintf(out, "%s: %s: %s\n", path, kind, f.text.c_str());
    } else {
      std::fprintf(out, "%s:%zu: %s: %s\n", path, f.line, kind, f.text.c_str());
    }
  }
}

void print_summary(std::FILE* out, const char* site_path, const std::vector<Finding>& findings) {
  const auto errors = static_cast<std::size_t>(std::count_if(
      findings.begin(), findings.end(), [](const Finding& f) { return f.severity == Severity::kError; }));
  const std::size_t warnings = findings.size() - errors;
  std::fprintf(out, "%s: %zu error%s, %zu warning%s\n", site_path, errors, errors == 1 ? "" : "s",
               warnings, warnings == 1 ? "" : "s");
}

}  // namespace zel
