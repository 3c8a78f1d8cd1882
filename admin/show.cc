#include "admin/show.h"

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "admin/check.h"
#include "admin/stanzas.h"

namespace zel {

namespace {

// The line as listed, each token value in it (tokens: every token line's, views into the site
// text) withheld, and the value of a line that looks like a token line too: the administrator
// meant it as one. A line made of a token value's own bytes (a header read inside a token line)
// is withheld whole.
std::string masked(std::string_view line, const std::vector<SoughtToken>& tokens) {
  for (const SoughtToken& token : tokens) {
    const bool overlaps = line.data() < token.value.data() + token.value.size() &&
                          token.value.data() < line.data() + line.size();
    if (overlaps) {
      return "<withheld: part of the token value of line " + std::to_string(token.line) + ">";
    }
  }
  if (looks_like_token_line(line)) {
    const std::size_t eq = line.find('=');
    const std::size_t value =
        eq == std::string_view::npos ? 0 : std::min(line.find_first_not_of(' ', eq + 1), line.size());
    return std::string(line.substr(0, value)) + "<value withheld: it looks like a token line>";
  }
  std::string shown(line);
  for (const SoughtToken& token : tokens) {
    if (token.value.size() < kShortestSoughtToken) continue;
    const std::string mark = "<token value of line " + std::to_string(token.line) + ">";
    for (std::size_t at = shown.find(token.value); at != std::string::npos;
         at = shown.find(token.value, at + mark.size())) {
      shown.replace(at, token.value.size(), mark);
    }
  }
  return shown;
}

// The "== " line: the stanza, where it starts, and what follows.
std::string heading(const Stanza& stanza) {
  std::string where;
  if (!stanza.name) {
    where = "the default stanza, from line " + std::to_string(stanza.start_line);
  } else if (stanza.header_line == 0) {
    where = "[" + *stanza.name + "], selected on line " + std::to_string(stanza.selected_line) +
            ", inside another line";
  } else if (stanza.reached()) {
    where = "[" + *stanza.name + "], header on line " + std::to_string(stanza.header_line);
  } else {
    where = "[" + *stanza.name + "], selected on line " + std::to_string(stanza.selected_line) +
            " (not by the header on line " + std::to_string(stanza.header_line) + ")";
  }
  if (stanza.lookup == StanzaLookup::kEmpty) {
    return "== " + where + ": empty, so -s " + *stanza.name + " ends with status 7";
  }
  const std::size_t n = stanza.listed.size();
  return "== " + where + ": " + std::to_string(n) + (n == 1 ? " line" : " lines") + " every user sees";
}

void show_stanza(const Stanza& stanza, const std::vector<SoughtToken>& tokens, std::FILE* out) {
  std::fprintf(out, "%s\n", terminal_text(heading(stanza)).c_str());
  if (stanza.lookup != StanzaLookup::kFound) return;
  for (const StanzaLine& line : stanza.listed) {
    const std::size_t token = token_rest_of(stanza, line);
    const std::string shown = token != 0 ? "<withheld: it may be the rest of the token value of line " +
                                               std::to_string(token) + ">"
                                         : terminal_text(masked(line.text, tokens));
    // A failed write shows in the stream's error flag, which the caller checks.
    (void)std::fwrite(shown.data(), 1, shown.size(), out);
    (void)std::fputc('\n', out);
  }
  for (const StanzaLine& line : stanza.withheld) {
    std::fprintf(out, "-- line %zu: withheld, it holds a token line after a \"]\"\n", line.line);
  }
  const std::size_t counting = stanza.counting_token();
  for (std::size_t i = 0; i < stanza.tokens.size(); ++i) {
    const TokenLine& token = stanza.tokens[i];
    std::string text = "-- line " + std::to_string(token.line) + ": ";
    if (token.value.empty()) {
      text += "token line without a value";
    } else if (i == counting) {
      text += "token value withheld, the one that counts";
    } else {
      text += "token value withheld, not used: line " + std::to_string(stanza.tokens[counting].line) +
              " counts";
    }
    std::fprintf(out, "%s\n", text.c_str());
  }
  if (stanza.tokens.empty()) {
    std::fputs("-- no token line: no signature unless -k is given\n", out);
  } else if (counting == std::string_view::npos) {
    std::fputs("-- no token value: runs without -k end with status 8\n", out);
  }
}

}  // namespace

bool show_site(std::string_view whole_text, const char* site_path, const char* name, std::FILE* out) {
  const LineIndex lines(whole_text);
  const SiteView view = view_site(whole_text, lines);
  const std::vector<SoughtToken> tokens = token_lines(view.text, lines);
  if (name != nullptr) {
    Stanza stanza = select_stanza(view.text, lines, name);
    if (stanza.lookup == StanzaLookup::kMissing) {
      std::fprintf(stderr, "zel-site: %s: no stanza %s\n", terminal_text(site_path).c_str(),
                   terminal_text(stanza_label(name)).c_str());
      return false;
    }
    // The first header of that name, if there is one, is the stanza's.
    const auto header = std::find_if(view.named.begin(), view.named.end(),
                                     [&](const Stanza& named) { return named.name == stanza.name; });
    stanza.header_line = header != view.named.end() ? header->header_line : 0;
    show_stanza(stanza, tokens, out);
    return true;
  }
  if (view.default_stanza.lookup == StanzaLookup::kFound) {
    show_stanza(view.default_stanza, tokens, out);
  } else {
    std::fputs("== no default stanza: a run without -s ends with status 7\n", out);
  }
  std::set<std::string> shown;
  for (const Stanza& stanza : view.named) {
    if (shown.insert(*stanza.name).second) show_stanza(stanza, tokens, out);
  }
  return true;
}

}  // namespace zel
