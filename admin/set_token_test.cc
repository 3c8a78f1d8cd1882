#include "admin/set_token.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <string>

namespace zel {
namespace {

TEST(ReplaceToken, ChangesOnlyTheValueThatCountsOrAddsALine) {
  const struct {
    const char* name;
    std::string text;
    const char* site;
    std::optional<std::string> result;  // none: refused
  } cases[] = {
      {"value that counts", "a=1\ntoken.value =  old \nb=2\n", nullptr, "a=1\ntoken.value =  NEW\nb=2\n"},
      {"first valued line, later ones kept", "token.value\ntoken.value=old\ntoken.value = two\n", nullptr,
       "token.value\ntoken.value=NEW\ntoken.value = two\n"},
      {"named stanza", "t=1\ntoken.value = d\n[s]\ntoken.value = old\n[u]\n", "s",
       "t=1\ntoken.value = d\n[s]\ntoken.value = NEW\n[u]\n"},
      {"CR of the old value goes with it", "token.value = old\r\n", nullptr, "token.value = NEW\n"},
      {"no token line: added at the stanza's end", "a=1\n\n[s]\nb=2", nullptr,
       "a=1\n\ntoken.value = NEW\n[s]\nb=2"},
      {"no token line, last stanza without newline", "a=1\n[s]\nb=2", "s", "a=1\n[s]\nb=2\ntoken.value = NEW\n"},
      {"no token line, last stanza with newline", "[s]\nb=2\n", "s", "[s]\nb=2\ntoken.value = NEW\n"},
      {"only an empty token line: it gets the value", "a=1\n  token.value\nb=2\n", nullptr,
       "a=1\n  token.value = NEW\nb=2\n"},
      {"empty stanza: after its header", "a=1\n[s]\n[u]\n", "s", "a=1\n[s]\ntoken.value = NEW\n[u]\n"},
      {"empty stanza at the end", "a=1\n[s]", "s", "a=1\n[s]\ntoken.value = NEW\n"},
      {"text after NUL stays", std::string("a=1\n") + '\0' + "x", nullptr,
       std::string("a=1\ntoken.value = NEW\n") + '\0' + "x"},
      {"no such stanza", "a=1\n", "s", std::nullopt},
      {"no default stanza", "[s]\na=1\n", nullptr, std::nullopt},
      {"an empty stanza that can't take a line", "a=1\n[s] [u]\nb=2\n", "s", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SecretBytes out;
    std::string error;
    const bool ok = replace_token(c.text, c.site, "NEW", out, error);
    EXPECT_EQ(ok, c.result.has_value()) << error;
    EXPECT_EQ(ok ? std::string(view_of(out)) : error.empty() ? "(no reason)" : "(refused)",
              c.result.value_or("(refused)"));
  }
}

TEST(ReadTokenValue, TakesOneLineAndRefusesWhatCantBeAValue) {
  const struct {
    std::string input;
    std::optional<std::string> value;
  } cases[] = {
      {"s3cret-value\n", "s3cret-value"},
      {"no newline", "no newline"},
      {"ends in spaces  \n", std::nullopt},
      {"\n", std::nullopt},
      {"", std::nullopt},
      {"two\nlines\n", std::nullopt},
      {"crlf\r\n", std::nullopt},
      {"tab\there\n", std::nullopt},
      {" leading space\n", std::nullopt},
      // Where no header can be read into it: set-token writes a value on a line of its own.
      {"]Zq9-after-a-header\n", "]Zq9-after-a-header"},
      {"one[bracket\n", "one[bracket"},
      {"a[header]inside\n", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], c.input.data(), c.input.size()), static_cast<ssize_t>(c.input.size()));
    close(fds[1]);
    SecretBytes value;
    std::string error;
    const bool ok = read_token_value(fds[0], "prompt: ", value, error);
    close(fds[0]);
    EXPECT_EQ(ok, c.value.has_value()) << error;
    EXPECT_EQ(std::string(view_of(value)), c.value.value_or(""));
  }
}

}  // namespace
}  // namespace zel
