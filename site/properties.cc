#include "site/properties.h"

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

std::size_t stanza_end(std::string_view site_text, std::size_t stanza_start) {
  const std::size_t end = site_text.find("\n[", stanza_start);
  return end == std::string_view::npos ? site_text.size() : end;
}

int extract_token_value(std::string_view line, std::optional<SecretBytes>& token) {
  const std::string_view value = token_value_of(line);
  if (!value.empty()) token = make_secret(value);
  if (!token) {
    report("Token value cannot be empty.\n");
    return kEmptyToken;
  }
  return kOk;
}

int populate_array(std::string_view site_text, std::size_t stanza_start, PropertyList& list,
                   std::optional<SecretBytes>& token) {
  const std::size_t end = stanza_end(site_text, stanza_start);

  PropertyList built;
  built.slots.clear();
  int status = kOk;
  for_each_property_line(site_text, stanza_start, end, [&](std::string_view line) {
    if (is_token_line(line)) {
      // Only the first token line with a value counts, and -k overrides them all;
      // a later line's outcome replaces an earlier empty one's.
      if (!token) status = extract_token_value(line, token);
      return;
    }
    built.slots.emplace_back(line);
  });
  built.count = built.slots.size();
  built.slots.resize(built.count + 2);  // the digest and signature slots, empty
  list = std::move(built);
  return status;
}

namespace {

// Whether position at lies in the text of a token line. Such a text starts at a
// line's first non-space byte, or after the "]" of any header on that line
// (and the spaces after it): the stanza of that header starts there.
bool in_token_text(std::string_view site_text, std::size_t at) {
  const std::size_t newline = site_text.rfind('\n', at);
  const std::size_t line = newline == std::string_view::npos ? 0 : newline + 1;
  const auto token_starts_at = [&](std::size_t start) {
    while (start < at && site_text[start] == ' ') ++start;
    return start < at && is_token_line(site_text.substr(start));
  };
  if (token_starts_at(line)) return true;
  // Any "[" before a "]" on the line may open a header, whatever its name.
  const std::size_t open = site_text.find('[', line);
  if (open == std::string_view::npos || open >= at) return false;
  for (std::size_t close = site_text.find(']', open + 1); close < at;
       close = site_text.find(']', close + 1)) {
    if (token_starts_at(close + 1)) return true;
  }
  return false;
}

}  // namespace

std::size_t find_header(std::string_view site_text, std::string_view header) {
  // A header lies within one line; a name that spans lines could end inside
  // the token line that follows it.
  if (header.find('\n') != std::string_view::npos) return std::string_view::npos;
  // The header is found wherever its text first occurs, even inside another
  // line: existing site files may rely on that. Inside a token line it is part
  // of a secret, and taking it as a header would list the rest of the token;
  // that holds for a token line that follows another header on its line, too.
  for (std::size_t found = site_text.find(header); found != std::string_view::npos;
       found = site_text.find(header, found + 1)) {
    if (!in_token_text(site_text, found)) return found;
  }
  return std::string_view::npos;
}

StanzaLookup find_stanza(std::string_view site_text, const char* site_name, std::size_t& start) {
  if (site_name == nullptr) {
    start = skip_blanks(site_text, 0, site_text.size());
    if (start == site_text.size() || site_text[start] == '[') return StanzaLookup::kMissing;
    return StanzaLookup::kFound;
  }
  const std::string header = std::string("[") + site_name + "]";
  const std::size_t found = find_header(site_text, header);
  if (found == std::string_view::npos) return StanzaLookup::kMissing;
  start = skip_blanks(site_text, found + header.size(), site_text.size());
  if (start == site_text.size() || site_text[start] == '[') return StanzaLookup::kEmpty;
  return StanzaLookup::kFound;
}

int parse_site_properties(std::string_view site_text, const char* site_name, const char* path,
                          PropertyList& list, std::optional<SecretBytes>& token) {
  // The site text ends at its first NUL for every search.
  site_text = site_text.substr(0, site_text.find('\0'));
  std::size_t start = 0;
  switch (find_stanza(site_text, site_name, start)) {
    case StanzaLookup::kFound:
      return populate_array(site_text, start, list, token);
    case StanzaLookup::kMissing:
      if (site_name == nullptr) {
        report("Default site stanza not found in site file (%s).\n", path);
      } else {
        report("Site stanza for specified site (%s) not found in site file (%s).\n", site_name, path);
      }
      return kNoStanza;
    case StanzaLookup::kEmpty:
      break;
  }
  report("Empty site stanza for specified site (%s) in site file (%s)\n", site_name, path);
  return kNoStanza;
}

}  // namespace zel
