// `zel-site show`: what every user sees of a site text. For each stanza (or the
// one named) a line "== " naming it, where it starts and how many lines follow;
// then those lines, exactly as zel-auth lists them for that stanza (with -k
// where its runs would end without a token value); then one "-- " line per
// token line, saying where a token value is withheld and whether it counts.
// A token value (8 bytes or more) that stands in a listed line is replaced by
// "<token value of line N>" (a shorter one is not: it would match too much), the
// value of a line that looks like a token line by "<value withheld: it looks like
// a token line>", and a line that may be the rest of a token value wholly. Bytes a
// terminal acts on or shows nothing of are written as \xHH (terminal_text()).
#ifndef ZEL_ADMIN_SHOW_H_
#define ZEL_ADMIN_SHOW_H_

#include <cstdio>
#include <string_view>

namespace zel {

// Writes the listing of every stanza, or of the one -s NAME selects; false (said on standard error)
// when there is no such stanza.
bool show_site(std::string_view whole_text, const char* site_path, const char* name, std::FILE* out);

}  // namespace zel

#endif  // ZEL_ADMIN_SHOW_H_
