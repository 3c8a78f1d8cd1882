// Stanza selection and the property list. A site text holds stanzas: the default
// one at the top, before any header, and named ones after a header "[name]",
// found at the first occurrence of its text no byte of which lies in token text.
// Token text is a token line's text: from "token.value" to the line's end, where
// that starts a line (after spaces) or follows, after spaces, any "]" that comes
// after a "[" on its line (a header's stanza may start there). A stanza runs to
// the first newline followed by "[". Its non-blank lines are its property lines,
// listed as they stand; its "token.value" lines are withheld, and the first one
// with a value gives the token value that keys the signature. A line that holds
// token text later on (another header's token line) is withheld as well.
// Only the space and the newline count as blank; the text ends at its first NUL.
#ifndef ZEL_SITE_PROPERTIES_H_
#define ZEL_SITE_PROPERTIES_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/secret.h"

namespace zel {

// Where the named (or, for null, the default) stanza was looked for.
enum class StanzaLookup { kFound, kMissing, kEmpty };

// The first position from pos on, before end, that is not blank.
inline std::size_t skip_blanks(std::string_view text, std::size_t pos, std::size_t end) {
  while (pos < end && (text[pos] == ' ' || text[pos] == '\n')) ++pos;
  return pos;
}

// Calls visit(line) for each non-blank line of [start, end), its leading blanks
// dropped and without its newline; line points into text.
template <class Visit>
void for_each_property_line(std::string_view text, std::size_t start, std::size_t end, Visit visit) {
  std::size_t cursor = skip_blanks(text, start, end);
  while (cursor < end) {
    std::size_t line_end = text.find('\n', cursor);
    if (line_end == std::string_view::npos || line_end > end) line_end = end;
    visit(text.substr(cursor, line_end - cursor));
    cursor = skip_blanks(text, line_end, end);
  }
}

// Whether a line, its leading spaces dropped, is a token line, withheld from the listing.
bool is_token_line(std::string_view line);

// A token line's value: the text after its first "=" and the spaces after that; empty if none.
std::string_view token_value_of(std::string_view line);

// How a stanza line (a view into site_text, as for_each_property_line gives it) is taken.
enum class LineKind { kListed, kToken, kWithheld };
LineKind line_kind(std::string_view site_text, std::string_view line);

// Where the stanza that starts at stanza_start ends: its newline before "[", or the text's end.
std::size_t stanza_end(std::string_view site_text, std::size_t stanza_start);

// Where header ("[name]") first occurs outside any token line; npos if nowhere.
std::size_t find_header(std::string_view site_text, std::string_view header);

// Finds the named (or, for null, the default) stanza of a text cut at its NUL; sets start.
StanzaLookup find_stanza(std::string_view site_text, const char* site_name, std::size_t& start);

// Selects the named (or, for null, the default) stanza and appends its listed
// property lines to lines; 0, 7, or 8 with kEmptyTokenMessage written (at each
// token line without a value), which does not end the run: the caller decides.
int parse_site_properties(std::string_view site_text, const char* site_name, const char* path,
                          std::vector<std::string>& lines, std::optional<SecretBytes>& token);

// The message of a token line without a value; a later line's value still counts.
inline constexpr const char* kEmptyTokenMessage = "Token value cannot be empty.\n";

// Sets token from one token line, if it has a value after its "="; 0, or 8
// with kEmptyTokenMessage written.
int extract_token_value(std::string_view line, std::optional<SecretBytes>& token);

}  // namespace zel

#endif  // ZEL_SITE_PROPERTIES_H_
