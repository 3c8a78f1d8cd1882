#include "admin/trail.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace zel {
namespace {

// Identifiers as openssl computes them:
//   printf 'zel-auth token identifier' | openssl dgst -sha256 -hmac TOKEN -binary | head -c4 | od -An -tx1
constexpr const char* kA = "alpha-token-0123456789";    // 1691e79e
constexpr const char* kB = "bravo-token-0123456789";    // 29be197f
constexpr const char* kC = "charlie-token-012345678";   // a426b533

std::string site(const std::string& default_token, const std::string& staging_token,
                 const std::string& extra = "") {
  return "site.name = Main\ntoken.value = " + default_token + "\n[staging]\nsite.name = Staging\n" +
         (staging_token.empty() ? "" : "token.value = " + staging_token + "\n") + extra;
}

TEST(ChangeLine, NamesEachStanzaAndItsTokenNeverAValue) {
  const Administrator alice{"alice", std::nullopt};
  const Administrator sudo{"alice", "bob"};
  const std::string base = site(kA, kB);
  const std::string hostile = "x\tinstall by=root\x1b";
  const Administrator hostile_admin{"a b\n", "c\\d"};
  const struct {
    const char* name;
    Change change;
    std::optional<std::string> before;
    std::string after;
    std::string line;
  } cases[] = {
      {"first install: every stanza added", {"install", alice}, std::nullopt, base,
       "install by=alice added=default token=new id=1691e79e added=[staging] token=new id=29be197f"},
      {"a stanza added, without a token", {"install", alice}, base, base + "[qa]\nsite.name = QA\n",
       "install by=alice added=[qa] token=none"},
      {"a stanza removed", {"edit", alice}, base, "site.name = Main\ntoken.value = " + std::string(kA) + "\n",
       "edit by=alice removed=[staging] token=gone was=29be197f"},
      {"a listed line changed, the token the same", {"edit", alice}, base,
       site(kA, kB, "site.url = https://x/\n"), "edit by=alice changed=[staging] token=same id=29be197f"},
      {"the token changed", {"install", alice}, base, site(kA, kC),
       "install by=alice changed=[staging] token=changed id=a426b533 was=29be197f"},
      {"the token removed, then given back", {"edit", alice}, base, site(kA, ""),
       "edit by=alice changed=[staging] token=gone was=29be197f"},
      {"a token put in", {"edit", alice}, site(kA, ""), base,
       "edit by=alice changed=[staging] token=new id=29be197f"},
      {"forced, through sudo", {"install", sudo, true}, base, site(kC, kB, "Token.Value = leak\n"),
       "install by=alice sudo=bob forced changed=default token=changed id=a426b533 was=1691e79e "
       "changed=[staging] token=same id=29be197f"},
      {"only blank lines: no stanza changed", {"install", alice}, base, base + "\n\n",
       "install by=alice stanzas=same"},
      {"a second token line: the stanza changed, not the token", {"edit", alice}, base,
       site(kA, kB, "token.value = " + std::string(kC) + "\n"),
       "edit by=alice changed=[staging] token=same id=29be197f"},
      {"after a NUL nothing counts", {"edit", alice}, base, base + std::string(1, '\0') + "[x]\n",
       "edit by=alice stanzas=same"},
      {"removed last, in the old order", {"install", alice}, base + "[a]\nk = 1\n[b]\nk = 2\n",
       "[c]\nk = 3\n[staging]\nsite.name = Staging\n",
       "install by=alice added=[c] token=none changed=[staging] token=gone was=29be197f removed=default "
       "token=gone was=1691e79e removed=[a] token=none removed=[b] token=none"},
      {"a hostile stanza name and administrator are escaped", {"edit", hostile_admin}, base,
       base + "[" + hostile + "]\nk = v\n",
       "edit by=a\\x20b\\x0a sudo=c\\x5cd added=[x\\x09install\\x20by=root\\x1b] token=none"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string line = "stale";
    ASSERT_EQ(change_line(c.change, c.before, c.after, line), 0);
    EXPECT_EQ(line, c.line);
    for (const char* token : {kA, kB, kC}) EXPECT_EQ(line.find(token), std::string::npos) << line;
    EXPECT_EQ(line.find("Staging"), std::string::npos) << line;
  }
}

TEST(SetTokenLine, TheStanzaAndWhatBecameOfItsToken) {
  const Administrator alice{"alice", std::nullopt};
  const struct {
    const char* name;
    Administrator admin;
    const char* stanza;
    std::string before;
    std::string after;
    std::string line;
  } cases[] = {
      {"rotated", alice, "staging", site(kA, kB), site(kA, kC),
       "set-token by=alice stanza=[staging] token=changed id=a426b533 was=29be197f"},
      {"the default stanza, through sudo", {"unset", "bob"}, nullptr, site(kA, kB), site(kC, kB),
       "set-token by=unset sudo=bob stanza=default token=changed id=a426b533 was=1691e79e"},
      {"the same value again", alice, "staging", site(kA, kB), site(kA, kB),
       "set-token by=alice stanza=[staging] token=same id=29be197f"},
      {"a stanza that had none", alice, "staging", site(kA, ""), site(kA, kB),
       "set-token by=alice stanza=[staging] token=new id=29be197f"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string line;
    ASSERT_EQ(set_token_line(c.admin, c.stanza, c.before, c.after, line), 0);
    EXPECT_EQ(line, c.line);
  }
}

TEST(LoginName, TheLoginUidsAccountOrWhatStandsForIt) {
  const struct {
    const char* loginuid;
    std::string name;
  } cases[] = {
      {"0", "root"},          {"0\n", "root"},       {"4294967295", "unset"},
      {"4294967294", "uid:4294967294"}, {"4294967296", "unknown"}, {"", "unknown"},
      {"12x", "unknown"},     {"-1", "unknown"},     {nullptr, "unknown"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.loginuid == nullptr ? "unreadable" : c.loginuid);
    EXPECT_EQ(login_name(c.loginuid), c.name);
  }
}

// A datagram socket bound at path, or, closed, a log daemon that has gone.
int bind_socket(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  return fd;
}

TEST(ChangeTrail, RefusedBeforeAChangeUnloggedAfterIt) {
  char dir[] = "/tmp/zel-trail-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/log";
  {
    SCOPED_TRACE("a log nobody reads refuses the change");
    close(bind_socket(path));
    ChangeTrail trail;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(trail.open(path.c_str(), "/site"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "zel-site: the system log (" + path + ") can't be reached: Connection refused; /site is "
              "unchanged: no change goes in without its line in the log\n");
    unlink(path.c_str());
  }
  {
    SCOPED_TRACE("the line is received as syslog() would send it");
    const int log = bind_socket(path);
    ChangeTrail trail;
    ASSERT_TRUE(trail.open(path.c_str(), "/site"));
    EXPECT_EQ(trail.send("edit by=alice stanzas=same", "/site"), 0);
    char got[512] = {};
    const ssize_t n = recv(log, got, sizeof got - 1, MSG_DONTWAIT);
    const std::string text(got, n > 0 ? static_cast<std::size_t>(n) : 0);
    EXPECT_TRUE(text.starts_with("<85>")) << text;  // authpriv.notice
    EXPECT_TRUE(text.ends_with("]: edit by=alice stanzas=same")) << text;
    EXPECT_NE(text.find(" zel-site["), std::string::npos) << text;
    SCOPED_TRACE("the log gone once the change is in force: status 3, the change said");
    close(log);
    unlink(path.c_str());
    testing::internal::CaptureStderr();
    EXPECT_EQ(trail.send("edit by=alice stanzas=same", "/site"), kChangeUnlogged);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "zel-site: /site is changed and in force, but the system log did not take its line (No such "
              "file or directory): record the change yourself: edit by=alice stanzas=same\n");
  }
  {
    SCOPED_TRACE("no log at all: the commands work as without one");
    ChangeTrail trail;
    EXPECT_TRUE(trail.open(path.c_str(), "/site"));
    EXPECT_EQ(trail.send("edit by=alice stanzas=same", "/site"), 0);
  }
  rmdir(dir);
}

// hh:mm of now in the zone TZ names, or the system's without it.
std::string clock_in(const char* tz) {
  if (tz != nullptr) {
    setenv("TZ", tz, 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[8];
  std::snprintf(text, sizeof text, "%02d:%02d", local.tm_hour, local.tm_min);
  return text;
}

TEST(ChangeTrail, ALineCarriesTheSystemsTimeAndTheEditorKeepsTz) {
  char dir[] = "/tmp/zel-trail-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/log";
  const int log = bind_socket(path);
  ChangeTrail trail;
  ASSERT_TRUE(trail.open(path.c_str(), "/site"));
  // Eleven hours either side of UTC: whatever the machine's zone, one of them differs from it.
  for (const char* tz : {"UTC+11", "UTC-11"}) {
    SCOPED_TRACE(tz);
    const std::string before = clock_in(nullptr);
    clock_in(tz);  // the caller's zone, in force in the process as the line is made
    EXPECT_EQ(trail.send("edit by=alice stanzas=same", "/site"), 0);
    EXPECT_STREQ(std::getenv("TZ"), tz);
    const std::string after = clock_in(nullptr);
    char got[512] = {};
    const ssize_t n = recv(log, got, sizeof got - 1, MSG_DONTWAIT);
    const std::string text(got, n > 0 ? static_cast<std::size_t>(n) : 0);
    // "<PRI>Mmm dd hh:mm:ss zel-site[PID]: ...": hh:mm after the priority and the date.
    const std::size_t at = text.find('>');
    ASSERT_NE(at, std::string::npos) << "no line reached the log";
    const std::string clock = text.substr(at + 8, 5);
    EXPECT_TRUE(clock == before || clock == after) << text << " (system time " << before << ")";
  }
  close(log);
  unlink(path.c_str());
  rmdir(dir);
}

// A listening stream socket at path, as some log daemons have.
int listen_stream(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(listen(fd, 4), 0);
  return fd;
}

TEST(ChangeTrail, AStreamLogRestartedDuringAnEditIsConnectedAgain) {
  char dir[] = "/tmp/zel-trail-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/log";
  int daemon = listen_stream(path);
  ChangeTrail trail;
  ASSERT_TRUE(trail.open(path.c_str(), "/site"));
  // The daemon restarts: the old connection is gone, a new socket listens.
  close(accept(daemon, nullptr, nullptr));
  close(daemon);
  unlink(path.c_str());
  daemon = listen_stream(path);
  testing::internal::CaptureStderr();
  EXPECT_EQ(trail.send("edit by=alice stanzas=same", "/site"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  const int connection = accept(daemon, nullptr, nullptr);
  char got[512] = {};
  const ssize_t n = connection >= 0 ? recv(connection, got, sizeof got - 1, MSG_DONTWAIT) : -1;
  EXPECT_NE(std::string(got, n > 0 ? static_cast<std::size_t>(n) : 0).find("]: edit by=alice stanzas=same"),
            std::string::npos);
  if (connection >= 0) close(connection);
  close(daemon);
  unlink(path.c_str());
  rmdir(dir);
}

}  // namespace
}  // namespace zel
