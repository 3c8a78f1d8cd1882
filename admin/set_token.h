// Token rotation: a new token value for the stanza -s NAME selects (or the
// default one), read from standard input or made anew (admin/token_input.h),
// never taken from the command line, and put
// in the place zel-auth takes it from: the value of the token line that counts,
// or a new "token.value = " line at the end of a stanza that has none. Every
// other byte of the site text stays as it was.
#ifndef ZEL_ADMIN_SET_TOKEN_H_
#define ZEL_ADMIN_SET_TOKEN_H_

#include <string>
#include <string_view>

#include "admin/commit.h"
#include "util/secret.h"

namespace zel {

// What set-token was asked for.
struct TokenRequest {
  const char* stanza = nullptr;    // -s NAME; null: the default stanza
  bool weak = false;               // --weak: a value shorter than kShortestToken is meant
  const char* generate = nullptr;  // --generate=FD: a random value, written to FD
};

// Sets the token value of the stanza asked for through commit_change(); the same value says unchanged.
SiteStatus set_token(const SitePaths& paths, const TokenRequest& request);

// The text with the stanza's token value set to value; false with the reason.
bool replace_token(std::string_view whole_text, const char* name, std::string_view value,
                   SecretBytes& out, std::string& error);


}  // namespace zel

#endif  // ZEL_ADMIN_SET_TOKEN_H_
