#include "site/properties.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "util/status.h"

namespace zel {
namespace {

constexpr const char* kPath = "/site.conf";

struct Outcome {
  int status;
  std::vector<std::string> lines;  // the listed lines, in order
  std::optional<std::string> token;
};

Outcome parse(std::string_view text, const char* site, std::optional<SecretBytes> token = {}) {
  Outcome out{kOk, {}, {}};
  out.status = parse_site_properties(text, site, kPath, out.lines, token);
  if (token) out.token = std::string(view_of(*token));
  return out;
}

struct Case {
  const char* name;
  std::string text;
  const char* site;
  int status;
  std::vector<std::string> lines;
  std::optional<std::string> token;
};

TEST(ParseSiteProperties, SelectsStanzaListsLinesAndTakesToken) {
  using V = std::vector<std::string>;
  const Case cases[] = {
      {"default stanza", "a=1\nb=2\n[x]\nc=3\n", nullptr, kOk, V{"a=1", "b=2"}, {}},
      {"named stanza", "a=1\n[x]\nc=3\n[y]\nd=4\n", "x", kOk, V{"c=3"}, {}},
      {"last stanza without final newline", "a=1\n[x]\nc=3", "x", kOk, V{"c=3"}, {}},
      {"default after blanks", " \n\n  a=1", nullptr, kOk, V{"a=1"}, {}},
      {"no default stanza", "[x]\nc=3\n", nullptr, kNoStanza, V{}, {}},
      {"only blanks, default", "  \n \n", nullptr, kNoStanza, V{}, {}},
      {"only blanks, named", "  \n \n", "x", kNoStanza, V{}, {}},
      {"header is whole text", "[abc]\nc=3\n", "ab", kNoStanza, V{}, {}},
      {"header inside another line", "a=[x] in value\nb=2\n[x]\nc=3\n", "x", kOk,
       V{"in value", "b=2"}, {}},
      {"header inside a token line is skipped", "token.value = q7#[k]Zr9\n[k]\nx=1\n", "k", kOk,
       V{"x=1"}, {}},
      {"header only inside a token line", "a=1\n  token.value = q7#[k]Zr9\n", "k", kNoStanza, V{},
       {}},
      {"header inside a tab-indented token line is found", "\ttoken.value = a[k]b\n", "k", kOk,
       V{"b"}, {}},
      {"name holding a newline", "[s]\nn = S\ntoken.value = 4]hV8n\n", "s]\nn = S\ntoken.value = 4",
       kNoStanza, V{}, {}},
      {"text after header on its line", "[x] a=1\nb=2\n", "x", kOk, V{"a=1", "b=2"}, {}},
      {"header inside a token line that follows a header on its line",
       "a=1\n[ci] token.value = k9[x]Qm7-TAIL\n", "x", kNoStanza, V{}, {}},
      {"the token after a header on its line is that stanza's",
       "a=1\n[ci] token.value = k9[x]Qm7-TAIL\n", "ci", kOk, V{}, "k9[x]Qm7-TAIL"},
      {"header inside a token line after a header inside a property",
       "a=[p] token.value = k9[x]Qm7\n[x]\nb=2\n", "x", kOk, V{"b=2"}, {}},
      {"header inside a token line after two headers", "[a][b]  token.value = z[x]y\n", "x",
       kNoStanza, V{}, {}},
      {"header before the token text on its line is found",
       "a=1\n[x] token.value = k9\nb=2\n", "x", kOk, V{"b=2"}, "k9"},
      {"header in a property line naming token.value later is found",
       "note = see token.value [x] here\nb=2\n", "x", kOk, V{"here", "b=2"}, {}},
      {"header ending inside a token value after a header on its line",
       "a=1\n[ci] token.value = ci-se]cret[x]tail\n", "ci] token.value = ci-se", kNoStanza, V{}, {}},
      {"header ending in the spaces before a token value",
       "[ci] token.value = ]Qm7-SECRET-REST\n", "ci] token.value = ", kNoStanza, V{}, {}},
      {"header whose key part is token text", "a=1\n[[]token.value]tail\n", "]token.value",
       kNoStanza, V{}, {}},
      {"header ending inside token text", "[a] token.value = b]c\n", "a] token.value = b",
       kNoStanza, V{}, {}},
      {"header ending right before token text is found", "[a]token.value = b]\n", "a", kOk, V{}, "b]"},
      {"another header's token line in a stanza is withheld",
       "[ci] token.value = ci-se]cret[x]tail\n  [e] token.value = SECRETe\nz=1\n", "ci", kOk,
       V{"z=1"}, "ci-se]cret[x]tail"},
      {"that other header's token line is its own",
       "[ci] token.value = ci-se]cret[x]tail\n  [e] token.value = SECRETe\nz=1\n", "e", kOk,
       V{"z=1"}, "SECRETe"},
      {"token text after a ] inside the stanza's first line is withheld",
       "[a]b] token.value = SECRETab\nz=1\n", "a", kOk, V{"z=1"}, {}},
      {"that token text is the token of the longer name",
       "[a]b] token.value = SECRETab\nz=1\n", "a]b", kOk, V{"z=1"}, "SECRETab"},
      {"two headers then token text, in the default stanza", "x=1\n  [c][d] token.value = SECRETcd\n",
       nullptr, kOk, V{"x=1"}, {}},
      {"a property with a header and token text later is withheld",
       "p = [x] token.value = S\nq=2\n", nullptr, kOk, V{"q=2"}, {}},
      {"a ] with no [ before it opens no token text",
       "note = a] token.value = b\n", nullptr, kOk, V{"note = a] token.value = b"}, {}},
      {"header then blank lines then header", "[a]\n\n  \n[b]\nx=1\n", "a", kNoStanza, V{}, {}},
      {"header, space, bracket text", "[a] [z]\nx=1\n", "a", kNoStanza, V{}, {}},
      {"empty site name", "[]\nx=1\n", "", kOk, V{"x=1"}, {}},
      {"indented bracket does not end stanza", "a=1\n  [x]\nb=2\n", nullptr, kOk,
       V{"a=1", "[x]", "b=2"}, {}},
      {"leading spaces dropped, tabs and trailing kept", "  a=1  \n\tb=2\t\n", nullptr, kOk,
       V{"a=1  ", "\tb=2\t"}, {}},
      {"hash line is a property", "# note\na=1\n", nullptr, kOk, V{"# note", "a=1"}, {}},
      {"CRLF lines keep their CR", "a=1\r\n\r\ntoken.value = k\r\n[x]\r\n", nullptr, kOk,
       V{"a=1\r", "\r"}, "k\r"},
      {"CR before \\n[ still ends stanza", "a=1\r\n[x]\r\nb=2\r\n", nullptr, kOk, V{"a=1\r"}, {}},
      {"NUL ends the text", std::string("a=1\n[x]\n") + '\0' + "[y]\nb=2",
       "y", kNoStanza, V{}, {}},
      {"NUL first byte", std::string(1, '\0') + "a=1\n", nullptr, kNoStanza, V{}, {}},
      {"NUL inside a line", std::string("a=1") + std::string(1, '\0') + "z\nb=2\n", nullptr, kOk,
       V{"a=1"}, {}},
      {"token spaced and indented", "a=1\n   token.value = s3cret  \n", nullptr, kOk, V{"a=1"},
       "s3cret  "},
      {"token without spaces", "token.value=s3cret\na=1\n", nullptr, kOk, V{"a=1"}, "s3cret"},
      {"token value keeps later equals", "token.value = a=b\n", nullptr, kOk, V{}, "a=b"},
      {"token key is a prefix test", "token.values = v\n", nullptr, kOk, V{}, "v"},
      {"tab before key is a property", "\ttoken.value = v\n", nullptr, kOk,
       V{"\ttoken.value = v"}, {}},
      {"other case is a property", "Token.Value = v\n", nullptr, kOk, V{"Token.Value = v"}, {}},
      {"first token with value wins", "token.value = one\ntoken.value = two\nb=1\n", nullptr, kOk,
       V{"b=1"}, "one"},
      {"token without equals", "token.value\na=1\n", nullptr, kEmptyToken, V{"a=1"}, {}},
      {"token with only spaces", "token.value =   \na=1\n", nullptr, kEmptyToken, V{"a=1"}, {}},
      {"empty token then valued token", "token.value =\ntoken.value = v\n", nullptr, kOk, V{}, "v"},
      {"only token lines", "token.value = v\n", nullptr, kOk, V{}, "v"},
      {"token in another stanza is not taken", "a=1\n[x]\ntoken.value = v\n", nullptr, kOk,
       V{"a=1"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome got = parse(c.text, c.site);
    EXPECT_EQ(got.status, c.status);
    if (c.status != kNoStanza) {
      EXPECT_EQ(got.lines, c.lines);
    }
    EXPECT_EQ(got.token, c.token);
  }
}

TEST(ParseSiteProperties, GivenTokenSkipsEveryTokenLineUnparsed) {
  Outcome got = parse("a=1\ntoken.value =\ntoken.value = v\nb=2\n", nullptr, make_secret("mine"));
  EXPECT_EQ(got.status, kOk);
  EXPECT_EQ(got.lines, (std::vector<std::string>{"a=1", "b=2"}));
  EXPECT_EQ(got.token, "mine");
}

TEST(ParseSiteProperties, WritesTheMessageOfEachFailure) {
  const struct {
    const char* text;
    const char* site;
    const char* message;
  } cases[] = {
      {"[x]\n", nullptr, "Default site stanza not found in site file (/site.conf).\n"},
      {"a=1\n", "x", "Site stanza for specified site (x) not found in site file (/site.conf).\n"},
      {"[x]\n[y]\n", "x", "Empty site stanza for specified site (x) in site file (/site.conf)\n"},
      {"token.value =  \n", nullptr, "Token value cannot be empty.\n"},
      {"token.value\ntoken.value = v\n", nullptr, "Token value cannot be empty.\n"},
      {"a=1\n", nullptr, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    testing::internal::CaptureStderr();
    parse(c.text, c.site);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
  }
}

TEST(ExtractTokenValue, TakesTextAfterFirstEqualsAndSpaces) {
  const struct {
    const char* line;
    int status;
    std::optional<std::string> token;
  } cases[] = {
      {"token.value = abc", kOk, "abc"},
      {"token.value=  abc  ", kOk, "abc  "},
      {"token.value = \t", kOk, "\t"},
      {"token.value", kEmptyToken, {}},
      {"token.value =", kEmptyToken, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    std::optional<SecretBytes> token;
    testing::internal::CaptureStderr();
    EXPECT_EQ(extract_token_value(c.line, token), c.status);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(token ? std::optional<std::string>(std::string(view_of(*token))) : std::nullopt,
              c.token);
  }
}

}  // namespace
}  // namespace zel
