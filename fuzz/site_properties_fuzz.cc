// Fuzzes stanza selection and the property list.
//
// Input: one flag byte, then, when a site name is asked for, the name up to the
// first newline, then the site text. Flag bits: 1 names a site (else the default
// stanza), 2 holds a token value beforehand (as -k does), 4 adds a token line
// with a canary value at the start of the stanza that will be selected, 8 puts
// that line on the header's own line rather than on the next.
//
// Beyond not crashing, every outcome must keep these properties: the status is
// one of 0, 7 or 8, each failure with its message; a token value already held is
// kept; a missing or empty stanza lists nothing;
// the header is found where no byte of it lies in token text; the listing is
// exactly the selected stanza's non-blank lines, in file order, but for token
// lines and lines that hold token text (another header's token line); a token
// value taken from the stanza is the value of one of its token lines and never
// appears in the listing, unless one of the listed lines holds the same text
// itself; the canary never appears in a listing or message.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "site/properties.h"
#include "util/secret.h"
#include "util/status.h"

namespace {

using zel_fuzz::contains;
using zel_fuzz::kCanary;
using zel_fuzz::kTokenKey;

constexpr std::string_view kGivenToken = "given-token-value";
constexpr std::size_t npos = std::string_view::npos;

std::size_t skip_blanks(std::string_view text, std::size_t pos) {
  while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\n')) ++pos;
  return pos;
}

// The start of the line that holds pos within text[from, ...), after its spaces.
std::size_t line_start(std::string_view text, std::size_t from, std::size_t pos) {
  std::size_t start = pos;
  while (start > from && text[start - 1] != '\n') --start;
  while (start < pos && text[start] == ' ') ++start;
  return start;
}

// Where token text starts on the line text[line, end): at the line's first
// non-space byte, or after any "]" that follows a "[" on it (and the spaces
// after that), wherever "token.value" stands. npos if nowhere.
std::size_t token_text_from(std::string_view text, std::size_t line, std::size_t end) {
  bool opened = false;
  for (std::size_t i = line; i <= end; ++i) {
    if (i == line || (opened && text[i - 1] == ']')) {
      std::size_t start = i;
      while (start < end && text[start] == ' ') ++start;
      if (text.substr(start, end - start).starts_with(kTokenKey)) return start;
    }
    if (i < end && text[i] == '[') opened = true;
  }
  return npos;
}

// The end of the line that holds pos: its newline, or the text's end.
std::size_t line_end(std::string_view text, std::size_t pos) {
  const std::size_t end = text.find('\n', pos);
  return end == npos ? text.size() : end;
}

// Where the header first stands with no byte of it in token text, as zel-auth
// finds it.
std::size_t header_at(std::string_view text, std::string_view header) {
  for (std::size_t at = text.find(header); at != npos; at = text.find(header, at + 1)) {
    std::size_t line = at;
    while (line > 0 && text[line - 1] != '\n') --line;
    const std::size_t token_text = token_text_from(text, line, line_end(text, at));
    if (token_text == npos || token_text >= at + header.size()) return at;
  }
  return npos;
}

// Whether value is the value of a token line of text[from, to): the rest of that
// line after its first "=" and the spaces that follow it.
bool is_token_line_value(std::string_view text, std::size_t from, std::size_t to,
                         std::string_view value) {
  const std::string_view region = text.substr(0, to);
  for (std::size_t pos = region.find(value, from); pos != npos; pos = region.find(value, pos + 1)) {
    const std::size_t end = pos + value.size();
    if (end != to && region[end] != '\n') continue;
    const std::size_t start = line_start(region, from, pos);
    if (!region.substr(start).starts_with(kTokenKey)) continue;
    std::size_t eq = region.find('=', start);
    if (eq == npos || eq >= pos) continue;
    ++eq;
    while (eq < pos && region[eq] == ' ') ++eq;
    if (eq == pos) return true;
  }
  return false;
}

// The lines of the stanza text[from, to) that every user sees: its non-blank
// lines, leading blanks dropped, but for token lines and lines whose whole line
// in text holds token text.
std::vector<std::string_view> listed_lines(std::string_view text, std::size_t from, std::size_t to) {
  std::vector<std::string_view> listed;
  std::size_t start = from;
  while (start < to) {
    std::size_t end = text.find('\n', start);
    if (end == npos || end > to) end = to;
    std::string_view line = text.substr(start, end - start);
    while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
    std::size_t whole = start;
    while (whole > 0 && text[whole - 1] != '\n') --whole;
    if (!line.empty() && !line.starts_with(kTokenKey) &&
        token_text_from(text, whole, line_end(text, start)) == npos) {
      listed.push_back(line);
    }
    start = end + 1;
  }
  return listed;
}

// Whether some listed line of text[from, to) holds part.
bool listed_line_holds(std::string_view text, std::size_t from, std::size_t to, std::string_view part) {
  const std::vector<std::string_view> lines = listed_lines(text, from, to);
  return std::any_of(lines.begin(), lines.end(),
                     [part](std::string_view line) { return contains(line, part); });
}

bool only_empty_token_messages(std::string_view messages) {
  constexpr std::string_view kEmptyToken = "Token value cannot be empty.\n";
  while (messages.starts_with(kEmptyToken)) messages.remove_prefix(kEmptyToken.size());
  return messages.empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const unsigned flags = data[0];
  const bool named = (flags & 1U) != 0;
  const bool given = (flags & 2U) != 0;
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);

  std::string name;
  if (named) {
    const std::size_t newline = rest.find('\n');
    name = rest.substr(0, newline);
    rest.remove_prefix(newline == npos ? rest.size() : newline + 1);
    name.resize(std::strlen(name.c_str()));  // the name is a C string
  }
  const std::string header = "[" + name + "]";

  // The canary line goes where the selected stanza starts: before everything
  // for the default stanza, right after the first occurrence of the header for
  // a named one. An input that holds the canary, or the tail that is checked
  // for, itself proves nothing.
  std::string site(rest);
  const bool canary = (flags & 4U) != 0 && !contains(rest, zel_fuzz::kCanaryTail) &&
                      !contains(name, zel_fuzz::kCanaryTail);
  if (canary) {
    const std::string line = std::string(kTokenKey) + " = " + std::string(kCanary) + "\n";
    if (!named) {
      site.insert(0, line);
    } else if (std::size_t at = header_at(site.c_str(), header); at != npos) {
      site.insert(at + header.size(), ((flags & 8U) != 0 ? " " : "\n") + line);
    }
  }

  // An exactly sized copy, so that a read past the end of the text is caught.
  const std::size_t site_size = site.size();
  const std::unique_ptr<char[]> site_bytes = std::make_unique<char[]>(site_size + 1);
  std::memcpy(site_bytes.get(), site.data(), site_size);
  const std::string_view site_text(site_bytes.get(), site_size);

  std::vector<std::string> list;
  std::optional<zel::SecretBytes> token;
  if (given) token = zel::make_secret(kGivenToken);
  zel_fuzz::MemoryStream messages;
  int status = 0;
  {
    const zel_fuzz::StderrTo capture(messages.file());
    status = zel::parse_site_properties(site_text, named ? name.c_str() : nullptr,
                                        "fuzz-site.conf", list, token);
  }
  const std::string_view message_text = messages.text();

  ZEL_FUZZ_CHECK(status == zel::kOk || status == zel::kNoStanza || status == zel::kEmptyToken);
  ZEL_FUZZ_CHECK(status == zel::kOk ? only_empty_token_messages(message_text)
                                    : !message_text.empty());
  if (given) {
    ZEL_FUZZ_CHECK(status != zel::kEmptyToken);
    ZEL_FUZZ_CHECK(token && zel::view_of(*token) == kGivenToken);
  }
  if (status == zel::kNoStanza) {
    ZEL_FUZZ_CHECK(list.empty());
    ZEL_FUZZ_CHECK(given || !token);
    return 0;
  }

  // The stanza: from the header (or the top) to the first newline followed by "[".
  const std::string_view text = site_text.substr(0, site_text.find('\0'));
  const std::size_t from = named ? header_at(text, header) + header.size() : 0;
  ZEL_FUZZ_CHECK(!named || from >= header.size());  // found: the status says so
  std::size_t to = text.find("\n[", skip_blanks(text, from));
  if (to == npos) to = text.size();

  // Exactly the lines the model lists, in file order: none that holds token text.
  const std::vector<std::string_view> expected = listed_lines(text, from, to);
  // For 0 and for 8 alike (8 leaves the list built).
  ZEL_FUZZ_CHECK(list.size() == expected.size());
  for (std::size_t i = 0; i < list.size(); ++i) {
    ZEL_FUZZ_CHECK(zel_fuzz::is_property_line_shape(list[i]));
    ZEL_FUZZ_CHECK(list[i] == expected[i]);
  }

  if (given) return 0;
  ZEL_FUZZ_CHECK(status != zel::kEmptyToken || !token);
  if (canary) {
    ZEL_FUZZ_CHECK(status == zel::kOk && token && zel::view_of(*token) == kCanary);
    ZEL_FUZZ_CHECK(!contains(message_text, zel_fuzz::kCanaryTail));
  }
  for (std::size_t i = 0; canary && i < list.size(); ++i) {
    ZEL_FUZZ_CHECK(!contains(list[i], zel_fuzz::kCanaryTail));
  }
  if (token) {
    const std::string_view value = zel::view_of(*token);
    ZEL_FUZZ_CHECK(!value.empty() && value.front() != ' ' && !contains(value, "\n"));
    ZEL_FUZZ_CHECK(is_token_line_value(text, from, to, value));
    // A listed line may hold the value only by the stanza's own doing: when one
    // of its property lines holds the same text.
    if (!listed_line_holds(text, from, to, value)) {
      for (const std::string& line : list) ZEL_FUZZ_CHECK(!contains(line, value));
    }
  }
  return 0;
}
