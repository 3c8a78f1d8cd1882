// A site text the way zel-auth reads it, stanza by stanza, for checking and
// showing it. Every rule (where the text ends, which stanza a name selects,
// where a stanza ends, which lines are listed and which are token lines, what
// a token value is) is site/properties.h's, the same code zel-auth runs; this
// only records where each piece lies, by line.
#ifndef ZEL_ADMIN_STANZAS_H_
#define ZEL_ADMIN_STANZAS_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "site/properties.h"

namespace zel {

// Line numbers (from 1) of byte offsets in a text.
class LineIndex {
 public:
  explicit LineIndex(std::string_view text);
  std::size_t line_of(std::size_t offset) const;

 private:
  std::vector<std::size_t> starts_;
};

// A line of a stanza as zel-auth visits it: leading blanks dropped, no newline.
struct StanzaLine {
  std::size_t line;
  std::string_view text;  // points into the site text
};

// A token line and its value (a view of secret bytes: never to be printed).
struct TokenLine {
  std::size_t line;
  std::string_view value;  // empty when the line has none
};

// A stanza: the default one, or the one a header names.
struct Stanza {
  std::optional<std::string> name;            // none for the default stanza
  std::size_t header_line = 0;                // the header's line; 0 for the default stanza
  std::size_t selected_line = 0;              // where -s NAME finds "[NAME]"; the header's when it is reached
  StanzaLookup lookup = StanzaLookup::kMissing;
  std::size_t start_line = 0;                 // the line its text starts on, when found
  std::vector<StanzaLine> listed;             // what every user sees of it
  std::vector<StanzaLine> withheld;           // lines holding another header's token line, not listed
  std::vector<TokenLine> tokens;              // withheld
  bool reached() const { return selected_line == header_line; }
  // Index into tokens of the one that counts (the first with a value: zel-auth
  // signs with it), or npos.
  std::size_t counting_token() const;
};

// A line that starts with "[": a header when a "]" follows on it.
struct BracketLine {
  std::size_t line;
  std::string_view text;                      // the whole line, without its newline
  std::optional<std::string> name;            // the text between "[" and the first "]"
};

struct SiteView {
  std::string_view text;                      // the text zel-auth sees: up to its first NUL
  std::optional<std::size_t> nul_line;        // the line of the first NUL, if any
  Stanza default_stanza;
  std::vector<Stanza> named;                  // one per header line, in file order
  std::vector<BracketLine> bracket_lines;
};

// A token value of some token line of the text (a view of secret bytes), and that line.
struct SoughtToken {
  std::string_view value;
  std::size_t line;
  bool after_header = false;  // it follows a "]" on its line, not the line's start
};

// Token values shorter than this are not looked for in other lines: they would match too much.
inline constexpr std::size_t kShortestSoughtToken = 8;

// Every token line of a text cut at its NUL, those that start after a header's "]" included.
std::vector<SoughtToken> token_lines(std::string_view text, const LineIndex& lines);


// The name zel-site gives a stanza in its messages: "the default stanza" or "[NAME]".
std::string stanza_label(const Stanza& stanza);
std::string stanza_label(const char* name);

// Reads the whole site text (NUL and all) the way zel-auth would.
SiteView view_site(std::string_view whole_text, const LineIndex& lines);

// The stanza -s NAME (or, for null, no -s) selects, in the same way.
Stanza select_stanza(std::string_view text, const LineIndex& lines, const char* name);

// The token value zel-auth signs with in the stanza name (null: the default one) selects of a whole
// text (a view of secret bytes), none if it has none.
std::optional<std::string_view> counting_value(std::string_view whole_text, const char* name);

}  // namespace zel

#endif  // ZEL_ADMIN_STANZAS_H_
