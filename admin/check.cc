#include "admin/check.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <numeric>
#include <tuple>

#include "admin/stanzas.h"
#include "util/log_field.h"

namespace zel {

namespace {

bool is_white(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
bool is_control(char c) { return std::iscntrl(static_cast<unsigned char>(c)) != 0; }

std::string lower(std::string_view text) {
  std::string low(text);
  for (char& c : low) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return low;
}

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_word_byte(char c) { return is_letter(c) || (c >= '0' && c <= '9'); }

// Where a listed line's key starts for a reader: at its first ASCII letter. What
// comes before it (white space of any kind, invisible characters such as a
// zero-width or no-break space or a byte order mark, comment and list marks,
// quotes) a reader skips, or never sees.
std::string_view reader_key_start(std::string_view line) {
  return line.substr(std::min(static_cast<std::size_t>(std::find_if(line.begin(), line.end(), is_letter) -
                                                        line.begin()),
                               line.size()));
}

// The words of a text in lower case, split at every byte that is no ASCII letter or digit.
std::vector<std::string> words_of(std::string_view text) {
  std::vector<std::string> words;
  for (std::size_t at = 0; at < text.size();) {
    if (!is_word_byte(text[at])) {
      ++at;
      continue;
    }
    std::size_t end = at;
    while (end < text.size() && is_word_byte(text[end])) ++end;
    words.push_back(lower(text.substr(at, end - at)));
    at = end;
  }
  return words;
}

// The edits (a byte put in, left out, changed, or two swapped) that turn a into b.
std::size_t edit_distance(std::string_view a, std::string_view b) {
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
// in any case, spacing and separators before its "=" or ":"), or empty.
std::string_view poses_as_computed_line(std::string_view line) {
  const std::string_view rest = reader_key_start(line);
  std::size_t key_end = rest.find_first_of("=:");
  if (key_end == std::string_view::npos) {
    key_end = static_cast<std::size_t>(std::find_if(rest.begin(), rest.end(), is_white) - rest.begin());
  }
  const std::vector<std::string> words = words_of(rest.substr(0, key_end));
  if (words.size() != 2 || words[1] != "value") return {};
  if (words[0] == "digest") return "digest.value";
  if (words[0] == "signature") return "signature.value";
  return {};
}

// A key's last word: a run of ASCII letters, split also where a small letter
// meets a capital ("signingKey": "Key"); digits and marks after it left out.
std::string_view last_word(std::string_view key) {
  std::size_t end = key.size();
  while (end > 0 && !is_letter(key[end - 1])) --end;
  std::size_t start = end;
  while (start > 0 && is_letter(key[start - 1]) &&
         !(start < end && std::islower(static_cast<unsigned char>(key[start - 1])) != 0 &&
           std::isupper(static_cast<unsigned char>(key[start])) != 0)) {
    --start;
  }
  return key.substr(start, end - start);
}

// Whether a key names a secret: its last word is one of a secret's usual names,
// and not a "key" after "public".
bool names_a_secret(std::string_view key) {
  static constexpr std::array<std::string_view, 11> secrets = {
      "token", "secret", "password", "passwd", "passphrase", "key", "apikey",
      "auth",  "credential", "credentials", "private"};
  const std::string_view last = last_word(key);
  const std::string name = lower(last);
  if (std::find(secrets.begin(), secrets.end(), name) == secrets.end()) return false;
  const std::string_view before = key.substr(0, static_cast<std::size_t>(last.data() - key.data()));
  return name != "key" || lower(last_word(before)) != "public";
}

// Whether a listed value looks random: at least 20 characters of the base64
// alphabets (letters, digits, "+", "/", "-", "_"), then at most two "=", with a
// Shannon entropy over those characters (the "=" left out) of at least 3 bits
// per character when all are hex digits, else of at least 4 bits.
bool looks_random(std::string_view value) {
  for (int i = 0; i < 2 && value.ends_with('='); ++i) value.remove_suffix(1);
  const auto base64 = [](char c) { return is_word_byte(c) || c == '+' || c == '/' || c == '-' || c == '_'; };
  if (value.size() < 20 || !std::all_of(value.begin(), value.end(), base64)) return false;
  std::array<double, 256> counts{};
  for (const char c : value) ++counts[static_cast<unsigned char>(c)];
  const auto size = static_cast<double>(value.size());
  const double bits = std::accumulate(counts.begin(), counts.end(), 0.0, [size](double sum, double count) {
    return count == 0 ? sum : sum - count / size * std::log2(count / size);
  });
  const bool hex =
      std::all_of(value.begin(), value.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
  return bits >= (hex ? 3.0 : 4.0);
}

// A listed line's value: what follows its first "=" or ":", or the whole line
// without one, blanks around it left out.
std::string_view listed_value(std::string_view line) {
  line.remove_prefix(std::min(line.find_first_of("=:") + 1, line.size()));  // npos + 1: nothing
  const std::size_t first = line.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return line.substr(first, line.find_last_not_of(" \t") + 1 - first);
}

// Whether a listed line may hold the rest of a token value: no "=" in it (but
// base64 padding at its end) and, with padding, no blank either.
bool may_be_token_rest(std::string_view text) {
  const std::size_t padding = text.find_last_not_of('=');
  if (padding == std::string_view::npos) return false;
  const std::string_view body = text.substr(0, padding + 1);
  if (body.find('=') != std::string_view::npos) return false;
  return body.size() == text.size() || std::none_of(body.begin(), body.end(), is_white);
}

// A listed line's bytes that callers get as part of the line.
void check_listed_bytes(const StanzaLine& listed, Findings& findings) {
  if (listed.text.ends_with('\r')) {
    findings.error(listed.line, "listed to every user with the carriage return it ends in (CRLF "
                                "line ends): callers get it as part of the line");
  } else if (std::any_of(listed.text.begin(), listed.text.end(), is_control)) {
    findings.error(listed.line, "listed to every user with a control character (a tab, a carriage "
                                "return or another) in it: callers get it as part of the line");
  }
}

void check_listed(const Stanza& stanza, const std::vector<SoughtToken>& tokens, Findings& findings) {
  for (const StanzaLine& listed : stanza.listed) {
    if (const std::size_t token = token_rest_of(stanza, listed); token != 0) {
      findings.error(listed.line, "listed to every user right after the token line " + std::to_string(token) +
                                      ", without \"=\": it may be the rest of a token value; join a "
                                      "wrapped token, and put a value on its token line");
    }
    const bool token_like = looks_like_token_line(listed.text);
    if (token_like) {
      findings.error(listed.line,
                     "listed to every user, yet it looks like a token line: write a token line as "
                     "\"token.value = VALUE\", the key in lower case at the line's start or after "
                     "spaces alone");
    }
    if (const std::string_view computed = poses_as_computed_line(listed.text); !computed.empty()) {
      findings.error(listed.line, "listed to every user as a \"" + std::string(computed) +
                                      "\" line: callers take it for the one zel-auth computes");
    }
    const auto held = std::find_if(tokens.begin(), tokens.end(), [&](const SoughtToken& token) {
      return token.value.size() >= kShortestSoughtToken && listed.text.find(token.value) != std::string_view::npos;
    });
    if (held != tokens.end()) {
      findings.error(listed.line, "listed to every user, and it holds the token value of line " +
                                      std::to_string(held->line));
    }
    check_listed_bytes(listed, findings);
    if (looks_random(listed_value(listed.text))) {
      findings.warning(listed.line, "listed to every user, and its value looks random: if it is a secret, "
                                    "make it a token line or keep it out of the site file");
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
  if (const std::string fault = token_value_fault(value, false); !fault.empty()) {
    findings.error(counted.line, fault);
  }
  if (value.size() < kShortestToken) {
    findings.warning(counted.line, "the token value is shorter than " + std::to_string(kShortestToken) +
                                       " bytes: a token must be long and random");
  }
}

// A "[" and a later "]" in a token value: a header [NAME] could be read inside it,
// and the rest of the token listed as that stanza. A "]" alone does as much in a
// token that follows a header on its line: a header from that "[" could end in it.
std::string bracket_fault(std::string_view value, bool after_header) {
  const std::size_t open = value.find('[');
  if (open != std::string_view::npos && value.find(']', open) != std::string_view::npos) {
    return "the token value holds \"[\" and then \"]\": a header could be read inside it, and the rest of "
           "the token listed; choose one without them";
  }
  if (after_header && value.find(']') != std::string_view::npos) {
    return "the token value after a header on its line holds \"]\": a header could be read from that line's "
           "\"[\" to it, and the rest of the token listed; choose one without \"[\" or \"]\"";
  }
  return {};
}

// A stanza selected, its lines and tokens. A line that holds a token line after a "]" (the token of
// whatever header stands before it): zel-auth withholds it, since listing it would show that token
// to every user, yet the file reads as if it were listed.
void check_stanza(const Stanza& stanza, const std::vector<SoughtToken>& tokens, Findings& findings) {
  check_listed(stanza, tokens, findings);
  for (const StanzaLine& line : stanza.withheld) {
    findings.error(line.line, "a token line after a \"]\" inside the text of " + stanza_label(stanza) +
                                  ": it holds a token of another stanza, and listing it would show "
                                  "that token to every user, so zel-auth withholds the whole line; "
                                  "put each header and each token line on a line of its own");
  }
  if (stanza.reached()) check_tokens(stanza, findings);
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

std::string token_value_fault(std::string_view value, bool after_header) {
  if (value.empty()) return "the token value is empty";
  if (value.ends_with('\r')) {
    return "the token value ends in a carriage return (CRLF line ends): it becomes part of the key";
  }
  if (std::any_of(value.begin(), value.end(), is_control)) {
    return "the token value holds a control character: it becomes part of the key";
  }
  if (value.front() == ' ') return "the token value starts with a space, which zel-auth would drop";
  if (value.ends_with(' ')) return "the token value ends in spaces, which become part of the key: remove them";
  return bracket_fault(value, after_header);
}

// Whether a listed line is one a reader takes for a token line. Its key starts at
// its first ASCII letter and ends at "=", ":", a blank, a quote or a byte that is
// not ASCII; split into words at any other byte, it is a near miss of
// "token.value" when the words joined are within two edits of "tokenvalue", or
// the first word is "token" ("tokens", "token2", but not "tokenizer"), or the
// key names a secret (names_a_secret: "site.token", "api_token", "secret",
// "signing.key", "hmacKey", "auth"), or the last two are "token" and "value". A
// line with the words "token" and "value" in a row anywhere ("# old token.value
// = ...") is one too.
bool looks_like_token_line(std::string_view line) {
  const std::vector<std::string> all = words_of(line);
  for (std::size_t i = 0; i + 1 < all.size(); ++i) {
    if (all[i] == "token" && all[i + 1] == "value") return true;
  }
  const std::string_view rest = reader_key_start(line);
  const auto key_end = std::find_if(rest.begin(), rest.end(), [](char c) {
    return c == '=' || c == ':' || c == '"' || c == '\'' || is_white(c) || static_cast<unsigned char>(c) >= 0x80;
  });
  const std::vector<std::string> words = words_of(rest.substr(0, static_cast<std::size_t>(key_end - rest.begin())));
  if (words.empty()) return false;
  std::string joined;
  for (const std::string& word : words) joined += word;
  // A key more than two bytes longer than "tokenvalue" is more than two edits away.
  if (joined.size() <= 12 && edit_distance(joined, "tokenvalue") <= 2) return true;
  if (names_a_secret(rest.substr(0, static_cast<std::size_t>(key_end - rest.begin())))) return true;
  // "token", "tokens", "token2", but not "tokenizer" or "tokenless".
  std::string_view first = words.front();
  if (!first.starts_with("token")) return false;
  first.remove_prefix(first.starts_with("tokens") ? 6 : 5);
  return first.empty() || std::isdigit(static_cast<unsigned char>(first.front())) != 0;
}

// The token line a listed line of the stanza comes right after (blank lines
// between), when it may be the rest of that token's value; else 0.
std::size_t token_rest_of(const Stanza& stanza, const StanzaLine& listed) {
  if (!may_be_token_rest(listed.text)) return 0;
  std::size_t before = 0;  // the stanza's last line before this one
  bool token = false;
  for (const TokenLine& t : stanza.tokens) {
    if (t.line < listed.line && t.line > before) std::tie(before, token) = std::pair{t.line, true};
  }
  for (const StanzaLine& other : stanza.listed) {
    if (other.line < listed.line && other.line > before) std::tie(before, token) = std::pair{other.line, false};
  }
  return token ? before : 0;
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
  const std::vector<SoughtToken> tokens = token_lines(view.text, lines);
  for (const SoughtToken& token : tokens) {
    if (const std::string fault = bracket_fault(token.value, token.after_header); !fault.empty()) {
      findings.error(token.line, fault);
    }
  }

  if (view.default_stanza.lookup == StanzaLookup::kFound) {
    check_stanza(view.default_stanza, tokens, findings);
  } else {
    findings.warning(1, "no default stanza: a run without -s ends with status 7");
  }
  for (const BracketLine& bracket : view.bracket_lines) check_bracket_line(bracket, findings);
  for (const Stanza& stanza : view.named) {
    check_header(stanza, view, findings);
    if (stanza.lookup == StanzaLookup::kFound) check_stanza(stanza, tokens, findings);
  }
  return findings.done();
}

namespace {

// The length of the UTF-8 character that starts text, or 0 where it is no well-formed one.
std::size_t utf8_length(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  char32_t code = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, code = lead & 0x1FU;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, code = lead & 0x0FU;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, code = lead & 0x07U;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0U) != 0x80U) return 0;
    code = (code << 6U) | (byte(i) & 0x3FU);
  }
  constexpr std::array<char32_t, 4> shortest = {0, 0, 0x800, 0x10000};
  if (code < shortest[length - 1] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
  return length;
}

// Characters a terminal acts on or shows nothing of: the C1 controls, zero-width
// and direction marks and overrides, the byte order mark.
bool is_unseen(std::string_view character) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 5> ranges = {{
      {"\xC2\x80", "\xC2\x9F"},
      {"\xE2\x80\x8B", "\xE2\x80\x8F"},
      {"\xE2\x80\xAA", "\xE2\x80\xAE"},
      {"\xE2\x81\xA0", "\xE2\x81\xAF"},
      {"\xEF\xBB\xBF", "\xEF\xBB\xBF"},
  }};
  return std::any_of(ranges.begin(), ranges.end(), [&](const auto& range) {
    return character.size() == range.first.size() && character >= range.first && character <= range.second;
  });
}

}  // namespace

// Control bytes, DEL, bytes that are not UTF-8 and the characters is_unseen
// names become \xHH, byte by byte; every other byte stays as it is.
std::string terminal_text(std::string_view bytes) {
  std::string safe;
  safe.reserve(bytes.size());
  for (std::size_t at = 0; at < bytes.size();) {
    const auto b = static_cast<unsigned char>(bytes[at]);
    if (b >= 0x20 && b < 0x7F) {
      safe += bytes[at++];
      continue;
    }
    const std::size_t length = b < 0x80 ? 0 : utf8_length(bytes.substr(at));
    const std::string_view character = bytes.substr(at, std::max<std::size_t>(length, 1));
    if (length == 0 || is_unseen(character)) {
      // Every byte of it is outside printable ASCII, which the audit's fields escape as \xHH too.
      safe += audit_field(character, character.size());
    } else {
      safe += character;
    }
    at += character.size();
  }
  return safe;
}

bool has_errors(const std::vector<Finding>& findings, bool strict) {
  return std::any_of(findings.begin(), findings.end(),
                     [&](const Finding& f) { return strict || f.severity == Severity::kError; });
}

void print_findings(std::FILE* out, const char* site_path, const std::vector<Finding>& findings) {
  for (const Finding& f : findings) {
    // A path, a stanza name or a line in a finding may come from a user's file.
    const std::string path = terminal_text(f.path.empty() ? std::string_view(site_path) : f.path);
    const std::string text = terminal_text(f.text);
    const char* kind = f.severity == Severity::kError ? "error" : "warning";
    const std::string where = f.line == 0 ? path : path + ":" + std::to_string(f.line);
    std::fprintf(out, "%s: %s: %s\n", where.c_str(), kind, text.c_str());
  }
}

void print_summary(std::FILE* out, const char* site_path, const std::vector<Finding>& findings) {
  const auto errors = static_cast<std::size_t>(std::count_if(
      findings.begin(), findings.end(), [](const Finding& f) { return f.severity == Severity::kError; }));
  const std::size_t warnings = findings.size() - errors;
  std::fprintf(out, "%s: %zu error%s, %zu warning%s\n", terminal_text(site_path).c_str(), errors, errors == 1 ? "" : "s",
               warnings, warnings == 1 ? "" : "s");
}

}  // namespace zel
