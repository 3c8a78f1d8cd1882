// One table of sample site files for zel-site: the findings `check` reports for
// each (line, kind and a piece of the text) and what `show` prints. Then, for
// every stanza of every sample, `show`'s listing must be what zel-auth itself
// lists for `-s NAME </dev/null`, run in process on the same file.
#include "admin/check.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "admin/set_token.h"
#include "admin/show.h"
#include "cli/driver.h"
#include "site/site_file.h"
#include "util/status.h"

namespace zel {
namespace {

struct Sample {
  const char* name;
  std::string text;
  std::vector<std::string> findings;  // "LINE:error:PIECE" or "LINE:warning:PIECE"
  std::string show;
  bool masked = false;                // show withholds a (would-be) token value zel-auth lists
};

const std::vector<Sample>& samples() {
  using F = std::vector<std::string>;
#define WITHHELD "<value withheld: it looks like a token line>"
  static const std::vector<Sample> table = {
      {"clean", "site.name = A\ntoken.value = secret-value-0001\n[s]\nsite.name = S\ntoken.value = secret-value-0002\n",
       F{},
       "== the default stanza, from line 1: 1 line every user sees\nsite.name = A\n"
       "-- line 2: token value withheld, the one that counts\n"
       "== [s], header on line 3: 1 line every user sees\nsite.name = S\n"
       "-- line 5: token value withheld, the one that counts\n"},
      {"empty file", "", F{"1:error:the file is empty"},
       "== no default stanza: a run without -s ends with status 7\n"},
      {"token lines that are not",
       "a=1\n\ttoken.value = tabbed-secret\nToken.Value = cased-secret\n# token.value = old\n"
       "; TOKEN.VALUE=x\n// token.value\n \r token.value = y\ntoken.value = real-secret-value-1\n",
       F{"2:error:with a control character", "2:error:looks like a token line",
         "3:error:looks like a token line", "4:error:looks like a token line",
         "5:error:looks like a token line", "6:error:looks like a token line",
         "7:error:with a control character", "7:error:looks like a token line"},
       "== the default stanza, from line 1: 7 lines every user sees\na=1\n\\x09token.value = " WITHHELD "\nToken.Value = " WITHHELD "\n"
       "# token.value = " WITHHELD "\n; TOKEN.VALUE=" WITHHELD "\n" WITHHELD "\n\\x0d token.value = " WITHHELD "\n"
       "-- line 8: token value withheld, the one that counts\n",
       true},
      {"UTF-8 byte order mark",
       "\xEF\xBB\xBFtoken.value = bom-secret\n# \xEF\xBB\xBF Token.Value\ntoken.value = real-secret-value-1\n",
       F{"1:error:looks like a token line", "2:error:looks like a token line"},
       "== the default stanza, from line 1: 2 lines every user sees\n\\xef\\xbb\\xbftoken.value = " WITHHELD "\n" WITHHELD "\n"
       "-- line 3: token value withheld, the one that counts\n",
       true},
      {"token value in listed lines",
       "note = see real-secret-value-1 here\ntoken.value = real-secret-value-1\n[s]\n"
       "url = x/real-secret-value-1\nshort = abc\ntoken.value = abc\n",
       F{"1:error:holds the token value of line 2", "4:error:holds the token value of line 2",
         "6:warning:shorter than 16 bytes: a token must be long and random"},
       "== the default stanza, from line 1: 1 line every user sees\nnote = see <token value of line 2> here\n"
       "-- line 2: token value withheld, the one that counts\n"
       "== [s], header on line 3: 2 lines every user sees\nurl = x/<token value of line 2>\nshort = abc\n"
       "-- line 6: token value withheld, the one that counts\n",
       true},
      {"CRLF line ends",
       "a=1\r\ntoken.value = crlf-secret-value-1\r\n[s]\r\nb=2\r\ntoken.value = other-secret-value-2\r\n",
       F{"1:error:with the carriage return it ends in", "2:error:ends in a carriage return",
         "3:error:with the carriage return it ends in", "3:warning:carriage return after \"]\"",
         "4:error:with the carriage return it ends in", "5:error:ends in a carriage return"},
       "== the default stanza, from line 1: 1 line every user sees\na=1\\x0d\n"
       "-- line 2: token value withheld, the one that counts\n"
       "== [s], header on line 3: 2 lines every user sees\n\\x0d\nb=2\\x0d\n"
       "-- line 5: token value withheld, the one that counts\n"},
      {"control character in a value", "token.value = bad\tvalue-long-enough\n",
       F{"1:error:holds a control character"},
       "== the default stanza, from line 1: 0 lines every user sees\n"
       "-- line 1: token value withheld, the one that counts\n"},
      {"empty, spaced and extra token lines",
       "a=1\ntoken.value\ntoken.value = first-token-value  \ntoken.value = second-value\n",
       F{"2:warning:token line without a value", "3:error:ends in spaces, which become part of the key",
         "4:warning:only line 3 counts"},
       "== the default stanza, from line 1: 1 line every user sees\na=1\n-- line 2: token line without a value\n"
       "-- line 3: token value withheld, the one that counts\n"
       "-- line 4: token value withheld, not used: line 3 counts\n"},
      {"no token value at all", "a=1\ntoken.value =  \n[s]\ntoken.value\nb=2\n",
       F{"2:error:none with a value: zel-auth ends its runs with status 8",
         "4:error:none with a value"},
       "== the default stanza, from line 1: 1 line every user sees\na=1\n-- line 2: token line without a value\n"
       "-- no token value: runs without -k end with status 8\n"
       "== [s], header on line 3: 1 line every user sees\nb=2\n-- line 4: token line without a value\n"
       "-- no token value: runs without -k end with status 8\n"},
      {"NUL byte", std::string("a=1\ntoken.value = nul-secret-value-1\n") + '\0' + "[s]\nb=2\n",
       F{"3:error:a NUL byte"},
       "== the default stanza, from line 1: 1 line every user sees\na=1\n"
       "-- line 2: token value withheld, the one that counts\n"},
      {"a byte 1 ends nothing, only a NUL does", "a=1\n\x01\ntoken.value = ctl-secret-value-1\n",
       F{"2:error:with a control character"},
       "== the default stanza, from line 1: 2 lines every user sees\na=1\n\\x01\n"
       "-- line 3: token value withheld, the one that counts\n"},
      {"name used twice, header inside a longer header",
       "[s]\nb=1\ntoken.value = s-secret-value-01\n[s]\nc=2\n[big[t]]\ntoken.value = big-secret-value-1\n[t]\nd=3\n",
       F{"1:warning:no default stanza", "4:error:used by the header on line 1",
         "6:warning:text after \"]\"", "8:error:occurs first on line 6"},
       "== no default stanza: a run without -s ends with status 7\n"
       "== [s], header on line 1: 1 line every user sees\nb=1\n"
       "-- line 3: token value withheld, the one that counts\n"
       "== [big[t], header on line 6: 1 line every user sees\n]\n"
       "-- line 7: token value withheld, the one that counts\n"
       "== [t], selected on line 6 (not by the header on line 8): 1 line every user sees\n]\n"
       "-- line 7: token value withheld, the one that counts\n"},
      {"header inside a property line", "note = see [t] there\ntoken.value = default-secret-value\n[t]\nd=3\n",
       F{"3:error:-s t never selects this stanza: the text [t] occurs first on line 1"},
       "== the default stanza, from line 1: 1 line every user sees\nnote = see [t] there\n"
       "-- line 2: token value withheld, the one that counts\n"
       "== [t], selected on line 1 (not by the header on line 3): 1 line every user sees\nthere\n"
       "-- line 2: token value withheld, the one that counts\n"},
      {"empty stanza, bracket lines, no token lines",
       "a=1\n[e]\n\n[nt]\nb=2\n[broken\nc=3\n[after] d=4\n",
       F{"1:warning:the default stanza has no token line", "2:warning:[e] is empty",
         "4:warning:[nt] has no token line", "6:error:no whole [name] header",
         "8:warning:[after] has no token line", "8:warning:text after \"]\""},
       "== the default stanza, from line 1: 1 line every user sees\na=1\n"
       "-- no token line: no signature unless -k is given\n"
       "== [e], header on line 2: empty, so -s e ends with status 7\n"
       "== [nt], header on line 4: 1 line every user sees\nb=2\n"
       "-- no token line: no signature unless -k is given\n"
       "== [after], header on line 8: 1 line every user sees\nd=4\n"
       "-- no token line: no signature unless -k is given\n"},
      {"mistyped token keys, as a new administrator wrote them",
       "site.name = A\ntoken.vaule = prod-T0ken-abc123\n[b]\ntoken_value = prod-T0ken-abc123\n[c]\n"
       "token value = prod-T0ken-abc123\n[d]\ntokens.value = prod-T0ken-abc123\n",
       F{"1:warning:the default stanza has no token line", "2:error:looks like a token line: write a token "
         "line as \"token.value = VALUE\"", "3:warning:[b] has no token line", "4:error:looks like a token line",
         "5:warning:[c] has no token line", "6:error:looks like a token line", "7:warning:[d] has no token line",
         "8:error:looks like a token line"},
       "== the default stanza, from line 1: 2 lines every user sees\nsite.name = A\n"
       "token.vaule = " WITHHELD "\n-- no token line: no signature unless -k is given\n"
       "== [b], header on line 3: 1 line every user sees\ntoken_value = " WITHHELD "\n"
       "-- no token line: no signature unless -k is given\n"
       "== [c], header on line 5: 1 line every user sees\ntoken value = " WITHHELD "\n"
       "-- no token line: no signature unless -k is given\n"
       "== [d], header on line 7: 1 line every user sees\ntokens.value = " WITHHELD "\n"
       "-- no token line: no signature unless -k is given\n",
       true},
      {"a secret under another name, a value that looks random",
       "site.name = A\nsigning.key = hmac-secret\nsite.note = ABCDEFGHIJKLMNOPQRST\ntoken.value = real-secret-value-1\n",
       F{"2:error:looks like a token line", "3:warning:listed to every user, and its value looks random"},
       "== the default stanza, from line 1: 3 lines every user sees\nsite.name = A\nsigning.key = " WITHHELD "\n"
       "site.note = ABCDEFGHIJKLMNOPQRST\n-- line 4: token value withheld, the one that counts\n",
       true},
      {"lines that pose as the computed lines",
       "site.name = A\nsignature.value = AAAA\n  Digest . Value=BBBB\nSIGNATURE.VALUE\ndigest.values = x\n"
       "token.value = real-secret-value-1\n",
       F{"2:error:as a \"signature.value\" line: callers take it for the one zel-auth computes",
         "3:error:as a \"digest.value\" line", "4:error:as a \"signature.value\" line"},
       "== the default stanza, from line 1: 5 lines every user sees\nsite.name = A\nsignature.value = AAAA\n"
       "Digest . Value=BBBB\nSIGNATURE.VALUE\ndigest.values = x\n"
       "-- line 6: token value withheld, the one that counts\n"},
      {"control characters in listed lines, a comment",
       "a = x\ty\nb = esc\x1b[0m\nc = cr\r\n# a note\ntoken.value = real-secret-value-1\n",
       F{"1:error:with a control character", "2:error:with a control character",
         "3:error:with the carriage return it ends in", "4:warning:as it stands: the site file has no comments"},
       "== the default stanza, from line 1: 4 lines every user sees\na = x\\x09y\nb = esc\\x1b[0m\nc = cr\\x0d\n"
       "# a note\n-- line 5: token value withheld, the one that counts\n"},
      {"a token line right after a header, a header inside its value", "[ci] token.value = k9[x]Qm7-TAIL\n",
       F{"1:error:holds \"[\" and then \"]\": a header could be read inside it", "1:warning:no default stanza",
         "1:warning:text after \"]\"", "1:warning:shorter than 16 bytes"},
       "== no default stanza: a run without -s ends with status 7\n"
       "== [ci], header on line 1: 0 lines every user sees\n"
       "-- line 1: token value withheld, the one that counts\n"},
      {"a token line after a header inside a property line",
       "note = see [x] token.value = s3cret-value-0001\ntoken.value = real-secret-value-1\n",
       F{"1:error:a token line after a \"]\" inside the text of the default stanza"},
       "== the default stanza, from line 1: 0 lines every user sees\n"
       "-- line 1: withheld, it holds a token line after a \"]\"\n"
       "-- line 2: token value withheld, the one that counts\n"},
      {"token lines of other headers inside stanzas, a ] in a token after a header",
       "site.name = d\ntoken.value = dtok\n[a]b] token.value = SECRETab-long\n"
       "[ci] token.value = ci-se]cret-tail-0123\n  [e] token.value = SECRETe\n",
       F{"2:warning:shorter than 16 bytes", "3:error:a token line after a \"]\" inside the text of [a]",
         "3:warning:[a] has no token line", "3:warning:text after \"]\"",
         "4:error:the token value after a header on its line holds \"]\"", "4:warning:text after \"]\"",
         "5:error:a token line after a \"]\" inside the text of [ci]"},
       "== the default stanza, from line 1: 1 line every user sees\nsite.name = d\n"
       "-- line 2: token value withheld, the one that counts\n"
       "== [a], header on line 3: 0 lines every user sees\n"
       "-- line 3: withheld, it holds a token line after a \"]\"\n"
       "-- no token line: no signature unless -k is given\n"
       "== [ci], header on line 4: 0 lines every user sees\n"
       "-- line 5: withheld, it holds a token line after a \"]\"\n"
       "-- line 4: token value withheld, the one that counts\n"},
      {"brackets in token values",
       "a=1\ntoken.value = abc[def]ghi-long-token\nnote = abc[def]ghi-long-token\n[s]\nb=2\n"
       "token.value = no]such[header-here\n",
       F{"2:error:holds \"[\" and then \"]\"", "3:error:holds the token value of line 2"},
       "== the default stanza, from line 1: 2 lines every user sees\na=1\nnote = <token value of line 2>\n"
       "-- line 2: token value withheld, the one that counts\n"
       "== [s], header on line 4: 1 line every user sees\nb=2\n"
       "-- line 6: token value withheld, the one that counts\n",
       true},
      {"a wrapped token, a value on the next line",
       "site.name = A\ntoken.value = 9f2c7e41a8d3b650aa12\n34567890abcdef\n[s]\ntoken.value =\n"
       "  9f2c7e41a8d3b650NEWNEWNEW\ntoken.value = 0ld0ld0ld0ld0ld0ld\n[t]\ntoken.value = 4d8a1f6c2e9b7053\n"
       "Qm7xZ9==\nsite.name = T\n\nsite.note\n[u]\ntoken.value = 7a1e5c9d3b8f2064\n\n  x9y==\n"
       "token.value = 5b3d9e7f1a2c4068\nx9 = y==\n",
       F{"3:error:listed to every user right after the token line 2, without \"=\": it may be the rest of a token "
         "value", "5:warning:token line without a value", "6:error:right after the token line 5",
         "6:warning:its value looks random", "10:error:right after the token line 9",
         "17:error:right after the token line 15",
         "18:warning:only line 15 counts"},
       "== the default stanza, from line 1: 2 lines every user sees\nsite.name = A\n"
       "<withheld: it may be the rest of the token value of line 2>\n"
       "-- line 2: token value withheld, the one that counts\n"
       "== [s], header on line 4: 1 line every user sees\n<withheld: it may be the rest of the token value of line 5>\n"
       "-- line 5: token line without a value\n-- line 7: token value withheld, the one that counts\n"
       "== [t], header on line 8: 3 lines every user sees\n"
       "<withheld: it may be the rest of the token value of line 9>\nsite.name = T\nsite.note\n"
       "-- line 9: token value withheld, the one that counts\n"
       "== [u], header on line 14: 2 lines every user sees\n"
       "<withheld: it may be the rest of the token value of line 15>\nx9 = y==\n"
       "-- line 15: token value withheld, the one that counts\n"
       "-- line 18: token value withheld, not used: line 15 counts\n",
       true},
      {"computed lines behind invisible characters",
       "site.name = A\n\xC2\xA0" "digest.value = AAAAfake=\ndigest.value\xC2\xA0= BBBB\n"
       "\xE2\x80\x8Bsignature.value = CCCC\n\"digest.value\": \"DDDD\"\ntoken.value = real-secret-value-1\n",
       F{"2:error:as a \"digest.value\" line", "3:error:as a \"digest.value\" line",
         "4:error:as a \"signature.value\" line", "5:error:as a \"digest.value\" line"},
       "== the default stanza, from line 1: 5 lines every user sees\nsite.name = A\n\xC2\xA0" "digest.value = AAAAfake=\n"
       "digest.value\xC2\xA0= BBBB\n\\xe2\\x80\\x8bsignature.value = CCCC\n\"digest.value\": \"DDDD\"\n"
       "-- line 6: token value withheld, the one that counts\n"},
      {"terminal codes in a stanza name and a line",
       "a = x\ntoken.value = real-secret-value-1\n[e\x1b[2Jx]\nb = \x9b" "1m\xC2\x9b \xE2\x80\xAE" "evil\x7f\n",
       F{"3:warning:has no token line", "4:error:with a control character"},
       "== the default stanza, from line 1: 1 line every user sees\na = x\n"
       "-- line 2: token value withheld, the one that counts\n"
       "== [e\\x1b[2Jx], header on line 3: 1 line every user sees\nb = \\x9b1m\\xc2\\x9b \\xe2\\x80\\xaeevil\\x7f\n"
       "-- no token line: no signature unless -k is given\n"},
      {"the first and last characters of each UTF-8 length, and bytes that only look like one",
       "a = \xDF\xBF \xE0\xA0\x80 \xEF\xBF\xBD \xF0\x90\x80\x80 \xF4\x8F\xBF\xBF\n"
       "b = \xC1\xBF \xE0\x9F\xBF \xED\xA0\x80 \xF4\x90\x80\x80 \xF5\x80\x80\x80 \xDF\n"
       "token.value = real-secret-value-1\n",
       F{},
       "== the default stanza, from line 1: 2 lines every user sees\n"
       "a = \xDF\xBF \xE0\xA0\x80 \xEF\xBF\xBD \xF0\x90\x80\x80 \xF4\x8F\xBF\xBF\n"
       "b = \\xc1\\xbf \\xe0\\x9f\\xbf \\xed\\xa0\\x80 \\xf4\\x90\\x80\\x80 \\xf5\\x80\\x80\\x80 \\xdf\n"
       "-- line 3: token value withheld, the one that counts\n"},
  };
#undef WITHHELD
  return table;
}

std::string printed(const std::vector<Finding>& findings) {
  std::string text;
  for (const Finding& f : findings) {
    text += std::to_string(f.line) + (f.severity == Severity::kError ? ":error:" : ":warning:") + f.text + "\n";
  }
  return text;
}

// What a function writes to a stream, as text.
template <class Write>
std::string captured(Write write) {
  char* data = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&data, &size);
  write(out);
  std::fclose(out);
  std::string text(data, size);
  std::free(data);
  return text;
}

TEST(CheckSiteText, ReportsEachSampleFindingOnItsLine) {
  for (const Sample& sample : samples()) {
    SCOPED_TRACE(sample.name);
    const std::vector<Finding> findings = check_site_text(sample.text);
    SCOPED_TRACE("got:\n" + printed(findings));
    ASSERT_EQ(findings.size(), sample.findings.size());
    // What edit, install and set-token refuse.
    EXPECT_EQ(has_errors(findings, false), std::any_of(sample.findings.begin(), sample.findings.end(),
                                                       [](const std::string& f) {
                                                         return f.find(":error:") != std::string::npos;
                                                       }));
    for (std::size_t i = 0; i < findings.size(); ++i) {
      const std::string& want = sample.findings[i];
      const std::size_t colon = want.find(':');
      const std::size_t second = want.find(':', colon + 1);
      EXPECT_EQ(std::to_string(findings[i].line), want.substr(0, colon));
      EXPECT_EQ(findings[i].severity == Severity::kError ? "error" : "warning",
                want.substr(colon + 1, second - colon - 1));
      EXPECT_NE(findings[i].text.find(want.substr(second + 1)), std::string::npos) << want;
    }
  }
}

// Keys a reader takes for token.value, and keys that are no such thing. Each is
// written as "KEY = VALUE" on line 1 of a stanza whose token line is line 2.
TEST(CheckSiteText, FindsEachNearMissTokenKeyAndNoOrdinaryKey) {
  const std::vector<std::string> near_misses = {
      "token.vaule", "token_value", "token value", "tokens.value", "Token.Value", "TOKEN_VALUE",
      "token-value", "tokenvalue", "TokenValue", "token.valeu", "tokn.value", "toke.value",
      "taken.value", "token..value", "token.val", "token:value", "token", "tokens", "token2",
      "token.old", "Token Value", "tokn_vaule", "Tokn-Valeu", "\ttoken.value", "#token.value",
      "# Token.Value", "; token_value", "//tokenvalue", "\xEF\xBB\xBFtoken.value", "\r token.value",
      // Invisible characters pasted before the key, or in it: a zero-width space, no-break spaces.
      "\xE2\x80\x8Btoken.value", "\xC2\xA0\xC2\xA0token.value", "\xC2\xA0token.value", "token\xC2\xA0value",
      "\xE2\x80\x8B\xEF\xBB\xBF token_value", "\xE2\x80\x8Btoken.vaule", "\xC2\xA0secret", "\xE2\x80\x8B" "api_token",
      "api_token\xC2\xA0old", "secret\xE2\x80\x8B(2)",
      // A word in front, in the file's own style, or a secret's usual name.
      "site.token.value", "site.token", "api_token", "secret", "site.secret", "db.password", "Passwd",
      "build.Token", "site.token.Value",
      // Comments and habits of other formats.
      "-- token.value", "/* token.value", "# old token.value", "# old Token_Value", "\"token.value\":",
      "- token.value:", "'token.value'", "site: token value", "x = see token-value here",
      // A secret under another usual name, in any case, with a number after it.
      "signing.key", "hmac_key", "api.key", "key", "apikey", "build.secret_key", "auth", "credential",
      "credentials", "gpg.passphrase", "private_key", "site.private", "basic_auth", "db.Credentials",
      "signingKey", "APIKey", "SecretKey2", "api_key_2", "authToken", "ssh.PRIVATE", "publicKeyPassphrase"};
  const std::vector<std::string> ordinary = {
      "tokenizer", "site.token_url", "site.name", "site.url", "site.value", "tokenless", "note",
      "build.timeout", "digest.method", "mytoken", "user.name", "value", "# a note about tokens",
      "site.tokenizer", "site.tokens_url", "site.secret_url", "secretary", "password_hint", "site.passwords",
      "site.description", "\xC2\xA0site.name", "site.value.token_count",
      "note = the value of a token", "- site.name:", "/* build */ site.url",
      // Keys that only hold, or start with, a secret's name, and a public key.
      "keyboard_layout", "author", "site.keywords", "authority_url", "key_id", "site.keyboard", "monkey",
      "oauth", "site.author", "auth_url", "authentication_method", "passphrase_hint", "credentials_url",
      "private_url", "privacy", "apikey.id", "site.public_key", "publicKey", "ssh.public.key", "tokenCount",
      "hockey_team", "turnkey",
      // The key ends at its first "=", ":", quote, blank or byte of a wider character.
      "site.note=token", "site.note:token", "site.note\"token", "site.note'token", "site.note\vtoken",
      "site.note\xC3\xA9token",
      // Token lines, withheld by zel-auth: no near miss, whatever follows the key.
      "token.value", "  token.value", "token.values", "token.value_old"};
  for (const auto& [keys, found] : {std::pair{&near_misses, true}, std::pair{&ordinary, false}}) {
    for (const std::string& key : *keys) {
      const std::string text = key + " = prod-T0ken-abc123\ntoken.value = real-secret-value-1\n";
      const std::vector<Finding> findings = check_site_text(text);
      const bool near_miss = std::any_of(findings.begin(), findings.end(), [](const Finding& f) {
        return f.line == 1 && f.severity == Severity::kError &&
               f.text.starts_with("listed to every user, yet it looks like a token line: write a token line "
                                  "as \"token.value = VALUE\"");
      });
      EXPECT_EQ(near_miss, found) << "key \"" << key << "\", findings:\n" << printed(findings);
      for (const Finding& f : findings) EXPECT_EQ(f.text.find("T0ken"), std::string::npos) << f.text;
    }
  }
}

// A listed value that looks random: at least 20 base64 characters (then at most
// two "="), of at least 3 bits per character if all are hex digits, else 4.
TEST(CheckSiteText, WarnsOfAListedValueThatLooksRandom) {
  const struct {
    const char* line;
    bool warned;
  } rows[] = {
      {"site.note = 012345670123456701234567", true},           // hex, 3 bits
      {"site.note = 012345670123456701234566", false},          // hex, 2.98 bits
      {"site.note = ghijklmnopqrstuvghijklmnopqrstuv", true},   // 4 bits
      {"site.note = ghijklmnopqrstuvghijklmnopqrstuu", false},  // 3.98 bits
      {"site.note = ABCDEFGHIJKLMNOPQRST", true},               // 20 characters
      {"site.note = ABCDEFGHIJKLMNOPQRS", false},               // 19
      {"site.note = ABCDEFGHIJKLMNOPQRS=", false},
      {"site.note = ABCDEFGHIJKLMNOPQRST==", true},
      {"site.note = ABCDEFGHIJKLMNOPQRST===", false},
      {"site.note = ABCDEFGHIJ.KLMNOPQRST", false},
      {"site.note: AB-CD_EF+GH/IJKLMNOPQ ", true},
      {"ABCDEFGHIJKLMNOPQRST", true},
      {"site.note = q3Jx0Kp9vT2mZ8wL1sN4bY7cR6eH5uA0dF3gW9iOaQ=", true},
      {"build.commit = da39a3ee5e6b4b0d3255bfef95601890afd80709", true},
      {"site.url = https://deploy.test.invalid/ABCDEFGHIJKLMNOPQRST", false},
      {"site.id = 123e4567-e89b-12d3-a456-426614174000", false},
      {"site.path = /opt/zel/etc/zel-site.conf", false},
      {"build.ref = release/2026-12-09/build", false},
      {"site.name = Deploy test site with a long name", false},
  };
  for (const auto& row : rows) {
    const std::vector<Finding> findings = check_site_text(std::string(row.line) + "\ntoken.value = real-secret-value-1\n");
    const bool warned = std::any_of(findings.begin(), findings.end(), [](const Finding& f) {
      return f.line == 1 && f.severity == Severity::kWarning && f.text.find("looks random") != std::string::npos;
    });
    EXPECT_EQ(warned, row.warned) << row.line << ":\n" << printed(findings);
    EXPECT_EQ(has_errors(findings, true), row.warned) << row.line;
  }
}

// set-token, edit and install refuse a result with errors: the new faults are errors.
TEST(CheckSiteText, RefusesASetTokenResultWithTheNewErrors) {
  const struct {
    const char* value;
    bool refused;
  } cases[] = {
      {"a-long-random-value-0123", false}, {"short-value", false},       {"value-ending-in-spaces  ", true},
      {"brack[e]ted-value-0123", true},    {"only]one[way-round", false},
  };
  for (const auto& c : cases) {
    SecretBytes changed;
    std::string error;
    ASSERT_TRUE(replace_token("site.name = A\ntoken.value = old\n", nullptr, c.value, changed, error)) << error;
    const std::vector<Finding> findings = check_site_text(view_of(changed));
    EXPECT_EQ(has_errors(findings, false), c.refused) << c.value << ":\n" << printed(findings);
  }
}

TEST(ShowSite, PrintsEachSampleListing) {
  for (const Sample& sample : samples()) {
    SCOPED_TRACE(sample.name);
    EXPECT_EQ(captured([&](std::FILE* out) { EXPECT_TRUE(show_site(sample.text, "f", nullptr, out)); }),
              sample.show);
  }
}

// A header read inside a token value lists none of it: "[x]" in the token of [ci],
// whose token line follows its header on the header's own line.
TEST(ShowSite, ShowsNoPartOfATokenValueAsAStanza) {
  const std::string text = "[ci] token.value = k9[x]Qm7-TAIL\n";
  for (const char* name : {"ci", "x"}) {
    testing::internal::CaptureStderr();
    const std::string shown =
        captured([&](std::FILE* out) { (void)show_site(text, "f", name, out); });
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ((shown + said).find("Qm7"), std::string::npos) << "-s " << name << ":\n" << shown << said;
  }
}

// zel-auth's run on a site file, in process: status and standard output.
struct RunResult {
  int status;
  std::string out;
};

RunResult zel_auth(const std::string& path, const std::optional<std::string>& name, bool with_key) {
  std::vector<std::string> args = {"zel-auth"};
  if (name) args.insert(args.end(), {"-s", *name});
  if (with_key) args.insert(args.end(), {"-k", "key"});
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const SiteFile site = open_site_file(path.c_str());
  Ids ids;
  system_kernel().ids(ids);
  std::FILE* in = std::fopen("/dev/null", "r");
  RunResult run_result{};
  testing::internal::CaptureStderr();
  run_result.out = captured([&](std::FILE* out) {
    try {
      run(system_kernel(), ids, static_cast<int>(args.size()), argv.data(), site, path.c_str(), nullptr,
          in, out);
    } catch (const RunEnded& ended) {
      run_result.status = ended.status;
    }
  });
  testing::internal::GetCapturedStderr();
  std::fclose(in);
  return run_result;
}

// The lines show lists for one stanza: those after its "== " line, as many as it says.
std::optional<std::string> show_listing(const std::string& text) {
  std::istringstream lines(text);
  std::string heading;
  std::getline(lines, heading);
  const std::size_t colon = heading.rfind(": ");
  if (heading.find(" every user sees") == std::string::npos) return std::nullopt;
  std::size_t count = std::stoul(heading.substr(colon + 2));
  std::string listing;
  for (std::string line; count > 0 && std::getline(lines, line); --count) listing += line + "\n";
  return listing;
}

TEST(ShowSite, ListsEachStanzaAsZelAuthDoes) {
  char dir[] = "/tmp/zel-site-test.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/site.conf";
  for (const Sample& sample : samples()) {
    if (sample.masked || sample.text.empty()) continue;
    std::FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fwrite(sample.text.data(), 1, sample.text.size(), file);
    std::fclose(file);
    std::vector<std::optional<std::string>> names = {std::nullopt};
    for (std::size_t pos = 0; pos < sample.text.size(); pos = sample.text.find('\n', pos) + 1) {
      const std::size_t close = sample.text.find(']', pos);
      if (sample.text[pos] == '[' && close < sample.text.find('\n', pos)) {
        names.emplace_back(sample.text.substr(pos + 1, close - pos - 1));
      }
      if (sample.text.find('\n', pos) == std::string::npos) break;
    }
    for (const std::optional<std::string>& name : names) {
      SCOPED_TRACE(std::string(sample.name) + ", -s " + name.value_or("(none)"));
      RunResult run_result = zel_auth(path, name, false);
      // Without a token value the run ends before listing; -k lists the same lines.
      if (run_result.status == kEmptyToken) run_result = zel_auth(path, name, true);
      const std::string shown = captured([&](std::FILE* out) {
        show_site(sample.text, path.c_str(), name ? name->c_str() : nullptr, out);
      });
      const std::optional<std::string> listing = show_listing(shown);
      // Show writes each line as a terminal can take it.
      std::string listed;
      for (std::size_t at = 0; at < run_result.out.size();) {
        const std::size_t end = run_result.out.find('\n', at);
        listed += terminal_text(std::string_view(run_result.out).substr(at, end - at)) + "\n";
        at = end == std::string::npos ? run_result.out.size() : end + 1;
      }
      run_result.out = listed;
      if (run_result.status == kNoStanza) {
        EXPECT_FALSE(listing) << shown;
        EXPECT_NE(shown.find("status 7"), std::string::npos) << shown;
      } else {
        EXPECT_EQ(run_result.status, kOk);
        EXPECT_EQ(listing.value_or("(none)"), run_result.out);
      }
    }
  }
  std::remove(path.c_str());
  rmdir(dir);
}

TEST(PrintFindings, WritesTheFormEditorsParseAndASummary) {
  const std::vector<Finding> findings = {{"", 3, Severity::kError, "e"},
                                         {"/bin/x", 0, Severity::kWarning, "w"}};
  EXPECT_EQ(captured([&](std::FILE* out) {
              print_findings(out, "site", findings);
              print_summary(out, "site", findings);
            }),
            "site:3: error: e\n/bin/x: warning: w\nsite: 1 error, 1 warning\n");
  // Bytes from a user's file (a stanza name, a path) reach the terminal escaped.
  EXPECT_EQ(captured([&](std::FILE* out) {
              print_findings(out, "s\x1b]0;t\a", {{"", 1, Severity::kWarning, "[a\x1b[2J\r\x9b] x"}});
            }),
            "s\\x1b]0;t\\x07:1: warning: [a\\x1b[2J\\x0d\\x9b] x\n");
  EXPECT_TRUE(has_errors(findings, false));
  EXPECT_FALSE(has_errors({findings[1]}, false));
  EXPECT_TRUE(has_errors({findings[1]}, true));
}

TEST(Findings, SortsLinesAndKeepsThePathsInTheOrderFound) {
  Findings lines;
  lines.warning(2, "b");
  lines.error(2, "b");
  lines.error(1, "z");
  lines.error(2, "b");
  EXPECT_EQ(printed(lines.done()), "1:error:z\n2:error:b\n2:warning:b\n");
  Findings paths;
  paths.error("/z", "first");
  paths.warning("/a", "second");
  paths.error("/a", "third");
  const std::vector<Finding> found = paths.done();
  ASSERT_EQ(found.size(), 3U);
  EXPECT_EQ(found[0].path + found[1].path + found[2].path, "/z/a/a");
  EXPECT_EQ(found[2].text, "third");
}

}  // namespace
}  // namespace zel
