#include "site/properties.h"

#include "util/message.h"
#include "util/status.h"

namespace zel {

namespace {

constexpr std::string_view kTokenKey = "token.value";

std::size_t skip_blanks(std::string_view text, std::size_t pos, std::size_t end) {
  while (pos < end && (text[pos] == ' ' || text[pos] == '\n')) ++pos;
  return pos;
}

// Calls visit(line) for each non-blank line of [start, end), without its newline.
template <class Visit>
void for_each_line(std::string_view text, std::size_t start, std::size_t end, Visit visit) {
  std::size_t cursor = skip_blanks(text, start, end);
  while (cursor < end) {
    std::size_t line_end = text.find('\n', cursor);
    if (line_end == std::string_view::npos || line_end > end) line_end = end;
    visit(text.substr(cursor, line_end - cursor));
    cursor = skip_blanks(text, line_end, end);
  }
}

}  // namespace

bool is_token_line(std::string_view line) { return line.starts_with(kTokenKey); }

int extract_token_value(std::string_view line, std::optional<SecretBytes>& token) {
  std::size_t eq = line.find('=');
  if (eq != std::string_view::npos) {
    std::size_t value = line.find_first_not_of(' ', eq + 1);
    if (value != std::string_view::npos) token = make_secret(line.substr(value));
  }
  if (!token) {
    report("Token value cannot be empty.\n");
    return kEmptyToken;
  }
  return kOk;
}

int populate_array(std::string_view site_text, std::size_t stanza_start, PropertyList& list,
                   std::optional<SecretBytes>& token) {
  std::size_t end = site_text.find("\n[", stanza_start);
  if (end == std::string_view::npos) end = site_text.size();

  PropertyList built;
  built.slots.clear();
  int status = kOk;
  for_each_line(site_text, stanza_start, end, [&](std::string_view line) {
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

std::size_t find_header(std::string_view site_text, std::string_view header) {
  // A header lies within one line; a name that spans lines could end inside
  // the token line that follows it.
  if (header.find('\n') != std::string_view::npos) return std::string_view::npos;
  // The header is found wherever its text first occurs, even inside another
  // line: existing site files may rely on that. Inside a token line it is part
  // of a secret, and taking it as a header would list the rest of the token.
  for (std::size_t found = site_text.find(header); found != std::string_view::npos;
       found = site_text.find(header, found + 1)) {
    const std::size_t line = site_text.rfind('\n', found);
    std::size_t start = line == std::string_view::npos ? 0 : line + 1;
    while (site_text[start] == ' ') ++start;
    if (!is_token_line(site_text.substr(start))) return found;
  }
  return std::string_view::npos;
}

int parse_site_properties(std::string_view site_text, const char* site_name, const char* path,
                          PropertyList& list, std::optional<SecretBytes>& token) {
  // The site text ends at its first NUL for every search.
  site_text = site_text.substr(0, site_text.find('\0'));
  if (site_name == nullptr) {
    std::size_t start = skip_blanks(site_text, 0, site_text.size());
    if (start == site_text.size() || site_text[start] == '[') {
      report("Default site stanza not found in site file (%s).\n", path);
      return kNoStanza;
    }
    return populate_array(site_text, start, list, token);
  }

  const std::string header = std::string("[") + site_name + "]";
  const std::size_t found = find_header(site_text, header);
  if (found == std::string_view::npos) {
    report("Site stanza for specified site (%s) not found in site file (%s).\n", site_name, path);
    return kNoStanza;
  }
  std::size_t start = skip_blanks(site_text, found + header.size(), site_text.size());
  if (start == site_text.size() || site_text[start] == '[') {
    report("Empty site stanza for specified site (%s) in site file (%s)\n", site_name, path);
    return kNoStanza;
  }
  return populate_array(site_text, start, list, token);
}

}  // namespace zel
