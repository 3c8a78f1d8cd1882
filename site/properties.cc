#include "site/properties.h"

#include <algorithm>
#include <cstdio>

#include "util/message.h"
#include "util/status.h"

namespace zel {

namespace {

constexpr std::string_view kTokenKey = "token.value";

}  // namespace

bool is_token_line(std::string_view line) { return line.starts_with(kTokenKey); }

std::string_view token_value_of(std::string_view line) {
  const std::size_t eq = line.find('=');
  if (eq == std::string_view::npos) return {};
  const std::size_t value = line.find_first_not_of(' ', eq + 1);
  if (value == std::string_view::npos) return {};
  return line.substr(value);
}

namespace {

// Where token text starts in a whole line (no newline); npos if it holds none.
std::size_t token_text_at(std::string_view whole_line) {
  const auto token_starts = [&](std::size_t from) {
    const std::size_t start = std::min(whole_line.find_first_not_of(' ', from), whole_line.size());
    return is_token_line(whole_line.substr(start)) ? start : std::string_view::npos;
  };
  if (const std::size_t at = token_starts(0); at != std::string_view::npos) return at;
  // Any "[" before a "]" on the line may open a header, whatever its name, and
  // that header's stanza starts after the "]".
  const std::size_t open = whole_line.find('[');
  if (open == std::string_view::npos) return std::string_view::npos;
  for (std::size_t close = whole_line.find(']', open + 1); close != std::string_view::npos;
       close = whole_line.find(']', close + 1)) {
    if (const std::size_t at = token_starts(close + 1); at != std::string_view::npos) return at;
  }
  return std::string_view::npos;
}

// The whole line of text that holds position at, without its newline.
std::string_view line_around(std::string_view text, std::size_t at) {
  const std::size_t newline = at == 0 ? std::string_view::npos : text.rfind('\n', at - 1);
  const std::size_t start = newline == std::string_view::npos ? 0 : newline + 1;
  const std::size_t end = std::min(text.find('\n', at), text.size());
  return text.substr(start, end - start);
}

}  // namespace

LineKind line_kind(std::string_view site_text, std::string_view line) {
  if (is_token_line(line)) return LineKind::kToken;
  // Token text later on the line is the token of whatever header stands before
  // it ("[ci] x = 1 [e] token.value = ..."): listing it would print that token
  // to every user, so the line is withheld whole.
  const auto at = static_cast<std::size_t>(line.data() - site_text.data());
  if (token_text_at(line_around(site_text, at)) != std::string_view::npos) return LineKind::kWithheld;
  return LineKind::kListed;
}

std::size_t stanza_end(std::string_view site_text, std::size_t stanza_start) {
  const std::size_t end = site_text.find("\n[", stanza_start);
  return end == std::string_view::npos ? site_text.size() : end;
}

int extract_token_value(std::string_view line, std::optional<SecretBytes>& token) {
  const std::string_view value = token_value_of(line);
  if (!value.empty()) token = make_secret(value);
  if (!token) {
    std::fputs(kEmptyTokenMessage, stderr);
    return kEmptyToken;
  }
  return kOk;
}

namespace {

// Appends the listed lines of the stanza that starts at stanza_start of site_text; 0 or 8.
int build_property_list(std::string_view site_text, std::size_t stanza_start,
                        std::vector<std::string>& lines, std::optional<SecretBytes>& token) {
  int status = kOk;
  for_each_property_line(site_text, stanza_start, stanza_end(site_text, stanza_start), [&](std::string_view line) {
    const LineKind kind = line_kind(site_text, line);
    // Only the first token line with a value counts, and -k overrides them all;
    // a later line's outcome replaces an earlier empty one's.
    if (kind == LineKind::kToken && !token) status = extract_token_value(line, token);
    if (kind == LineKind::kListed) lines.emplace_back(line);
  });
  return status;
}

}  // namespace

std::size_t find_header(std::string_view site_text, std::string_view header) {
  // A header lies within one line; a name that spans lines could end inside
  // the token line that follows it.
  if (header.find('\n') != std::string_view::npos) return std::string_view::npos;
  // The header is found wherever its text first occurs, even inside another
  // line: existing site files may rely on that. Where any byte of it lies in
  // token text it is part of a secret: a header that started there, or that
  // started before and ended there, would list the rest of the token.
  for (std::size_t found = site_text.find(header); found != std::string_view::npos;
       found = site_text.find(header, found + 1)) {
    const std::string_view line = line_around(site_text, found);
    const std::size_t text_at = token_text_at(line);
    const auto line_start = static_cast<std::size_t>(line.data() - site_text.data());
    if (text_at == std::string_view::npos || line_start + text_at >= found + header.size()) return found;
  }
  return std::string_view::npos;
}

StanzaLookup find_stanza(std::string_view site_text, const char* site_name, std::size_t& start) {
  std::size_t from = 0;  // the default stanza starts at the top
  if (site_name != nullptr) {
    const std::string header = std::string("[") + site_name + "]";
    const std::size_t found = find_header(site_text, header);
    if (found == std::string_view::npos) return StanzaLookup::kMissing;
    from = found + header.size();
  }
  start = skip_blanks(site_text, from, site_text.size());
  // A default stanza with no line is no stanza at all; a named one is there, empty.
  if (start == site_text.size() || site_text[start] == '[') {
    return site_name == nullptr ? StanzaLookup::kMissing : StanzaLookup::kEmpty;
  }
  return StanzaLookup::kFound;
}

int parse_site_properties(std::string_view site_text, const char* site_name, const char* path,
                          std::vector<std::string>& lines, std::optional<SecretBytes>& token) {
  // The site text ends at its first NUL for every search.
  site_text = site_text.substr(0, site_text.find('\0'));
  std::size_t start = 0;
  const StanzaLookup lookup = find_stanza(site_text, site_name, start);
  if (lookup == StanzaLookup::kFound) return build_property_list(site_text, start, lines, token);
  // The default stanza is found or missing, never empty.
  if (site_name == nullptr) {
    return fail(kNoStanza, "Default site stanza not found in site file (%s).\n", path);
  }
  if (lookup == StanzaLookup::kMissing) {
    return fail(kNoStanza, "Site stanza for specified site (%s) not found in site file (%s).\n",
                site_name, path);
  }
  return fail(kNoStanza, "Empty site stanza for specified site (%s) in site file (%s)\n", site_name,
              path);
}

}  // namespace zel
