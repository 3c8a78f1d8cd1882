#include "admin/set_token.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <thread>

#include "admin/check.h"
#include "admin/token_input.h"

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
      {"no token line, a file of one byte", "a", nullptr, "a\ntoken.value = NEW\n"},
      {"only an empty token line: it gets the value", "a=1\n  token.value\nb=2\n", nullptr,
       "a=1\n  token.value = NEW\nb=2\n"},
      {"empty stanza: after its header", "a=1\n[s]\n[u]\n", "s", "a=1\n[s]\ntoken.value = NEW\n[u]\n"},
      {"empty stanza at the end", "a=1\n[s]", "s", "a=1\n[s]\ntoken.value = NEW\n"},
      {"text after NUL stays", std::string("a=1\n") + '\0' + "x", nullptr,
       std::string("a=1\ntoken.value = NEW\n") + '\0' + "x"},
      {"a byte 1 ends nothing, only a NUL does", "a\x01\ntoken.value = old\n", nullptr, "a\x01\ntoken.value = NEW\n"},
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
    bool weak = true;
  } cases[] = {
      {"a-long-enough-value-of-32-bytes!\n", "a-long-enough-value-of-32-bytes!", false},
      {"16-bytes-exactly\n", "16-bytes-exactly", false},
      {"15-bytes-a-few\n", std::nullopt, false},
      {"short\n", "short", true},
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
    const bool ok = read_token_value(fds[0], "[s]", c.weak, value, error);
    close(fds[0]);
    EXPECT_EQ(ok, c.value.has_value()) << error;
    EXPECT_EQ(std::string(view_of(value)), c.value.value_or(""));
  }
}

// Standard input that is neither a terminal nor a command's pipe is taken only as a file only root
// can have written and can read; anything else, a named pipe among them, is refused with the way
// that works.
TEST(ReadTokenValue, AnythingButATerminalOrAPipeIsRefusedWithTheWayThatWorks) {
  char path[] = "/tmp/zel-token-test.XXXXXX";
  const int file = mkstemp(path);
  ASSERT_GE(file, 0);
  ASSERT_EQ(write(file, "a-long-enough-value-of-32-bytes!\n", 33), 33);
  ASSERT_EQ(fchmod(file, 0644), 0);
  ASSERT_EQ(lseek(file, 0, SEEK_SET), 0);
  const int null = open("/dev/null", O_RDONLY);
  // A named pipe with a whole value in it, as its writer could put one there.
  const std::string fifo = std::string(path) + ".fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int named = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  const int writer = open(fifo.c_str(), O_WRONLY);
  ASSERT_EQ(write(writer, "a-long-enough-value-of-32-bytes!\n", 33), 33);
  close(writer);
  ASSERT_EQ(fcntl(named, F_SETFL, 0), 0);
  const struct {
    const char* name;
    int fd;
    const char* refusal;
  } cases[] = {
      {"a file anyone may read, in /tmp", file, geteuid() == 0 ? "is readable by others than root (mode 0644)"
                                                               : "is owned by user ID"},
      {"a device", null, "standard input is no terminal, pipe or file"},
      {"a named pipe", named, "standard input is a named pipe (FIFO), which whoever can open it may write into, "
                              "and only a command's output piped in is taken: "},
      {"closed", 99, "standard input can't be examined"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SecretBytes value;
    std::string error;
    EXPECT_FALSE(read_token_value(c.fd, "[s]", false, value, error));
    EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
    EXPECT_NE(error.find("openssl rand -base64 32 | zel-site set-token -s NAME"), std::string::npos) << error;
    EXPECT_TRUE(value.empty());
  }
  close(null);
  close(named);
  unlink(fifo.c_str());
  close(file);
  unlink(path);
}

// On a terminal the value is asked twice, as passwd asks, with echo off: the terminal shows only
// the newlines, and two values that differ are refused.
TEST(ReadTokenValue, ATerminalIsAskedTwiceWithoutEcho) {
  const struct {
    const char* typed;  // null: a terminal open for writing only, so the read, not the terminal check, fails
    std::optional<std::string> value;
    const char* error;
  } cases[] = {
      {"a-long-enough-value-of-32-bytes!\na-long-enough-value-of-32-bytes!\n", "a-long-enough-value-of-32-bytes!", ""},
      {"a-long-enough-value-of-32-bytes!\na-long-enough-value-of-32-bytes?\n", std::nullopt,
       "the two values typed differ"},
      {nullptr, std::nullopt, "can't read the token value: Bad file descriptor"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed != nullptr ? c.typed : "unreadable");
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) GTEST_SKIP() << "no terminal to test with";
    const int terminal = open(ptsname(master), (c.typed != nullptr ? O_RDWR : O_WRONLY) | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    // Typed once echo is off: turning it off discards what was typed before, as passwd does.
    std::thread typist([&] {
      if (c.typed == nullptr) return;
      termios mode{};
      for (int i = 0; i < 100000 && tcgetattr(terminal, &mode) == 0 && (mode.c_lflag & ECHO) != 0; ++i) {
        const timespec pause{0, 100'000};
        nanosleep(&pause, nullptr);
      }
      EXPECT_EQ(write(master, c.typed, std::strlen(c.typed)), static_cast<ssize_t>(std::strlen(c.typed)));
    });
    SecretBytes value;
    std::string error;
    const bool ok = read_token_value(terminal, "[s]", false, value, error);
    typist.join();
    EXPECT_EQ(ok, c.value.has_value()) << error;
    EXPECT_EQ(std::string(view_of(value)), c.value.value_or(""));
    EXPECT_EQ(error, c.error);
    if (c.typed == nullptr) {
      close(terminal);
      close(master);
      continue;
    }
    char shown[256] = {};
    const int flags = fcntl(master, F_GETFL);
    fcntl(master, F_SETFL, flags | O_NONBLOCK);
    const ssize_t n = read(master, shown, sizeof shown - 1);
    EXPECT_EQ(std::string(shown, n > 0 ? static_cast<std::size_t>(n) : 0).find("value"), std::string::npos);
    close(terminal);
    close(master);
  }
}

// What a refused set-token leaves in its pipe is read to the end, and no further than a value's worth.
TEST(DiscardPipedValue, ReadsAPipeToItsEndOrAValuesWorth) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  ASSERT_EQ(write(ends[1], "a-long-enough-value-of-32-bytes!\n", 33), 33);
  close(ends[1]);
  discard_piped_value(ends[0]);
  char left = 0;
  EXPECT_EQ(read(ends[0], &left, 1), 0) << "the value is still there";
  close(ends[0]);
  // A writer that never stops holds it no longer than a value's worth; then its writes fail.
  ASSERT_EQ(pipe(ends), 0);
  const auto before = std::signal(SIGPIPE, SIG_IGN);
  std::thread writer([&] {
    const std::string chunk(4096, 'x');
    while (write(ends[1], chunk.data(), chunk.size()) > 0) {
    }
  });
  discard_piped_value(ends[0]);
  close(ends[0]);
  writer.join();
  close(ends[1]);
  std::signal(SIGPIPE, before);
}

TEST(GeneratedToken, ADescriptorOfItsOwnNeverATerminalAndARandomValue) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const std::string writer = std::to_string(ends[1]);
  const std::string reader = std::to_string(ends[0]);
  const struct {
    std::string text;
    const char* refusal;  // empty: taken
  } cases[] = {
      {writer, ""},
      {reader, "is not open for writing"},
      {"1", "takes a descriptor of 3 or more"},
      {"x3", "takes a descriptor of 3 or more"},
      {"999", "is not open for writing"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    int fd = -1;
    std::string error;
    EXPECT_EQ(generated_token_fd(c.text.c_str(), fd, error), c.refusal[0] == '\0') << error;
    EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
  }
  SecretBytes first;
  SecretBytes second;
  std::string error;
  ASSERT_TRUE(generate_token_value(first, error) && generate_token_value(second, error)) << error;
  EXPECT_EQ(first.size(), 44U);  // 32 bytes in base64
  EXPECT_NE(first, second);
  EXPECT_EQ(token_value_fault(view_of(first), false), "");
  ASSERT_TRUE(write_token_value(ends[1], first, error)) << error;
  char got[45] = {};
  ASSERT_EQ(read(ends[0], got, sizeof got), 45);
  EXPECT_EQ(std::string(got, 44), std::string(view_of(first)));
  close(ends[0]);
  close(ends[1]);
}

}  // namespace
}  // namespace zel
