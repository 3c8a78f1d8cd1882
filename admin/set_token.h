// Token rotation: a new token value for the stanza -s NAME selects (or the
// default one), read from standard input, never from the command line, and put
// in the place zel-auth takes it from: the value of the token line that counts,
// or a new "token.value = " line at the end of a stanza that has none. Every
// other byte of the site text stays as it was.
#ifndef ZEL_ADMIN_SET_TOKEN_H_
#define ZEL_ADMIN_SET_TOKEN_H_

#include <string>
#include <string_view>

#include "util/secret.h"

namespace zel {

// Whether value can be a token value as written after "token.value = "; else the reason.
bool valid_token_value(std::string_view value, std::string& error);

// The text with the stanza's token value set to value; false with the reason.
bool replace_token(std::string_view whole_text, const char* name, std::string_view value,
                   SecretBytes& out, std::string& error);

// Reads one line from fd, without echo on a terminal (prompting there); false with the reason.
bool read_token_value(int fd, const std::string& prompt, SecretBytes& value, std::string& error);

}  // namespace zel

#endif  // ZEL_ADMIN_SET_TOKEN_H_
