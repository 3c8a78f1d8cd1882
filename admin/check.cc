#include "admin/check.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <tuple>

#include "admin/stanzas.h"

namespace zel {

namespace {

// Whether a listed line would be taken for a token line by a reader: its key is
// "token.value" in any case, after white space of any kind, comment markers and
// UTF-8 byte order marks, which editors hide and zel-auth keeps as text.
bool looks_like_token_line(std::string_view line) {
  constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";
  std::size_t i = 0;
  for (;;) {
    while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i])) != 0) ++i;
    if (line.substr(i).starts_with(byte_order_mark)) {
      i += byte_order_mark.size();
    } else if (line.substr(i).starts_with("//")) {
      i += 2;
    } else if (i < line.size() && (line[i] == '#' || line[i] == ';')) {
      ++i;
    } else {
      break;
    }
  }
  constexpr std::string_view key = "token.value";
  const std::string_view rest = line.substr(i);
  return rest.size() >= key.size() && strncasecmp(rest.data(), key.data(), key.size()) == 0;
}

void check_listed(const Stanza& stanza, const std::vector<SoughtToken>& tokens, Findings& findings) {
  for (const StanzaLine& listed : stanza.listed) {
    if (looks_like_token_line(listed.text)) {
      findings.error(listed.line,
                     "listed to every user, yet it looks like a token line: only a line that starts "
                     "with \"token.value\" in lower case, after spaces alone, is withheld");
    }
    for (const SoughtToken& token : tokens) {
      if (listed.text.find(token.value) != std::string_view::npos) {
        findings.error(listed.line, "listed to every user, and it holds the token value of line " +
                                        std::to_string(token.line));
        break;
      }
    }
    if (listed.text.starts_with('\t')) {
      findings.warning(listed.line, "listed to every user with the tab it starts with");
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
  } else if (std::any_of(value.begin(), value.end(), [](char c) {
               return std::iscntrl(static_cast<unsigned char>(c)) != 0;
             })) {
    findings.error(counted.line, "the token value holds a control character: it becomes part of the key");
  } else if (value.ends_with(' ')) {
    findings.warning(counted.line, "the token value ends in spaces, which are part of the key");
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
    findings.warning(bracket.line, "a line that starts with \"[\" but is no whole [name] header: it "
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

  if (view.default_stanza.lookup == StanzaLookup::kFound) {
    check_listed(view.default_stanza, tokens, findings);
    check_tokens(view.default_stanza, findings);
  } else {
    findings.warning(1, "no default stanza: a run without -s ends with status 7");
  }
  for (const BracketLine& bracket : view.bracket_lines) check_bracket_line(bracket, findings);
  for (const Stanza& stanza : view.named) {
    check_header(stanza, view, findings);
    if (stanza.lookup != StanzaLookup::kFound) continue;
    check_listed(stanza, tokens, findings);
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
