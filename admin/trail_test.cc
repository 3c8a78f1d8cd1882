#include "admin/trail.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <vector>

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
  const Administrator alice{"alice"};
  const std::string base = site(kA, kB);
  const std::string hostile = "x\tinstall by=root\x1b";
  const Administrator hostile_admin{"a b\n\\"};
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
      {"forced", {"install", alice, true}, base, site(kC, kB, "Token.Value = leak\n"),
       "install by=alice forced changed=default token=changed id=a426b533 was=1691e79e "
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
       "edit by=a\\x20b\\x0a\\x5c added=[x\\x09install\\x20by=root\\x1b] token=none"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string line = change_line(c.change, c.before, c.after);
    EXPECT_EQ(line, c.line);
    for (const char* token : {kA, kB, kC}) EXPECT_EQ(line.find(token), std::string::npos) << line;
    EXPECT_EQ(line.find("Staging"), std::string::npos) << line;
  }
}

TEST(SetTokenLine, TheStanzaAndWhatBecameOfItsToken) {
  const Administrator alice{"alice"};
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
      {"the default stanza, no login", {"unset"}, nullptr, site(kA, kB), site(kC, kB),
       "set-token by=unset stanza=default token=changed id=a426b533 was=1691e79e"},
      {"the same value again", alice, "staging", site(kA, kB), site(kA, kB),
       "set-token by=alice stanza=[staging] token=same id=29be197f"},
      {"a stanza that had none", alice, "staging", site(kA, ""), site(kA, kB),
       "set-token by=alice stanza=[staging] token=new id=29be197f"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(set_token_line(c.admin, c.stanza, c.before, c.after), c.line);
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

// A test's own directory with the audit file (made empty), the record and the log socket's path in it;
// all removed with it.
struct TrailFiles {
  TrailFiles() {
    EXPECT_NE(mkdtemp(dir), nullptr);
    audit = dir + std::string("/audit.log"), record = dir + std::string("/record"), log = dir + std::string("/log");
    std::ofstream(audit).flush();
    paths = {"/site", "/tool", audit.c_str(), record.c_str(), log.c_str()};
  }
  TrailFiles(const TrailFiles&) = delete;
  TrailFiles& operator=(const TrailFiles&) = delete;
  ~TrailFiles() {
    remove();
    unlink(log.c_str());
    rmdir(dir);
  }
  void remove() const {
    unlink(audit.c_str());
    unlink(record.c_str());
  }
  char dir[32] = "/tmp/zel-trail-XXXXXX";
  std::string audit, record, log;
  SitePaths paths{};
};

// The records of the audit file, each one's text after its header, which must be zel-site's as written
// by this process's real user, each after the empty line it is written with.
std::vector<std::string> records_of(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> texts;
  const std::regex header(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z zel-site\[\d+\]: uid=)" + std::to_string(getuid()) +
                          R"( (.*))");
  std::smatch match;
  for (std::string line; std::getline(in, line) && line.empty() && std::getline(in, line);) {
    texts.push_back(std::regex_match(line, match, header) ? match[1].str() : "no record: " + line);
  }
  return texts;
}

constexpr const char* kAbc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";  // sha256sum of "abc"
constexpr const char* kEmpty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

TEST(ChangeTrail, EachChangeAndEachOutsideOneInTheAuditFileTheHashRecorded) {
  const TrailFiles files;
  const auto recorded = [&] {
    std::string hash;
    std::getline(std::ifstream(files.record), hash);
    return hash;
  };
  {
    SCOPED_TRACE("nothing recorded yet, a live file: an outside change, then the change from it");
    ChangeTrail trail;
    ASSERT_TRUE(trail.open(files.paths));
    EXPECT_EQ(trail.reconcile(true, "abc"), 0);
    EXPECT_EQ(recorded(), kAbc);
    EXPECT_EQ(trail.send("edit by=alice stanzas=same", ""), 0);
    EXPECT_EQ(recorded(), kEmpty);
  }
  {
    SCOPED_TRACE("the live file as recorded: no outside change; then removed by hand: one, to none");
    ChangeTrail trail;
    ASSERT_TRUE(trail.open(files.paths));
    EXPECT_EQ(trail.reconcile(true, ""), 0);
    EXPECT_EQ(trail.reconcile(false, ""), 0);
    EXPECT_EQ(recorded(), "none");
  }
  EXPECT_EQ(records_of(files.audit),
            (std::vector<std::string>{"outside-change recorded=none live=" + std::string(kAbc),
                                      "edit by=alice stanzas=same before=" + std::string(kAbc) + " after=" + kEmpty,
                                      "outside-change recorded=" + std::string(kEmpty) + " live=none"}));
  {
    SCOPED_TRACE("check's finding: the live file other than the one recorded (none), or as recorded");
    const std::optional<Finding> outside = outside_change(files.paths, "abc");
    ASSERT_TRUE(outside.has_value());
    EXPECT_EQ(outside->severity, Severity::kWarning);
    EXPECT_EQ(outside->text, "changed outside zel-site; not in the audit file (SHA-256 " + std::string(kAbc) +
                                 ", last recorded none): the next zel-site edit, install or set-token records it "
                                 "as an outside change");
    EXPECT_FALSE(outside_change(files.paths, std::nullopt).has_value());
  }
  {
    SCOPED_TRACE("the recorded hash unreadable (a link): refused before anything changes");
    unlink(files.record.c_str());
    ASSERT_EQ(symlink("/dev/null", files.record.c_str()), 0);
    ChangeTrail trail;
    ASSERT_TRUE(trail.open(files.paths));
    testing::internal::CaptureStderr();
    EXPECT_EQ(trail.reconcile(true, "abc"), 2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "zel-site: " + files.record + ": a symbolic link; /site is unchanged\n");
    unlink(files.record.c_str());
  }
  {
    SCOPED_TRACE("the audit file a link, or gone: refused before anything changes");
    files.remove();
    ASSERT_EQ(symlink("/dev/null", files.audit.c_str()), 0);
    for (int i = 0; i < 2; ++i) {
      ChangeTrail trail;
      testing::internal::CaptureStderr();
      EXPECT_FALSE(trail.open(files.paths));
      EXPECT_EQ(testing::internal::GetCapturedStderr(),
                "zel-site: the audit file " + files.audit + " can't be opened for appending: " +
                    (i == 0 ? "Too many levels of symbolic links" : "No such file or directory") +
                    "; /site is unchanged: no change goes in without its record\n");
      unlink(files.audit.c_str());
    }
  }
}

// A socket of type bound at path, a stream one listening, as log daemons have; or, closed, a log
// daemon that has gone.
int bind_socket(const std::string& path, int type = SOCK_DGRAM) {
  const int fd = socket(AF_UNIX, type, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  if (type == SOCK_STREAM) {
    EXPECT_EQ(listen(fd, 4), 0);
  }
  return fd;
}

TEST(ChangeTrail, RefusedBeforeAChangeUnloggedAfterIt) {
  const TrailFiles files;
  const std::string& path = files.log;
  {
    SCOPED_TRACE("a log nobody reads refuses the change");
    close(bind_socket(path));
    ChangeTrail trail;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(trail.open(files.paths));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "zel-site: the system log (" + path + ") can't be reached: Connection refused; /site is "
              "unchanged: no change goes in without its line in the log\n");
    unlink(path.c_str());
  }
  {
    SCOPED_TRACE("the line is received as syslog() would send it");
    const int log = bind_socket(path);
    ChangeTrail trail;
    ASSERT_TRUE(trail.open(files.paths));
    EXPECT_EQ(trail.send("edit by=alice stanzas=same", "text"), 0);
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
    EXPECT_EQ(trail.send("edit by=alice stanzas=same", "text"), kChangeUnlogged);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "zel-site: /site is changed and in force, but the system log did not take its line (No such "
              "file or directory): record the change yourself: edit by=alice stanzas=same\n");
  }
  {
    SCOPED_TRACE("no log at all: the commands work as without one");
    ChangeTrail trail;
    EXPECT_TRUE(trail.open(files.paths));
    EXPECT_EQ(trail.send("edit by=alice stanzas=same", "text"), 0);
  }
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
  const TrailFiles files;
  const std::string& path = files.log;
  const int log = bind_socket(path);
  ChangeTrail trail;
  ASSERT_TRUE(trail.open(files.paths));
  // Eleven hours either side of UTC: whatever the machine's zone, one of them differs from it.
  for (const char* tz : {"UTC+11", "UTC-11"}) {
    SCOPED_TRACE(tz);
    const std::string before = clock_in(nullptr);
    clock_in(tz);  // the caller's zone, in force in the process as the line is made
    EXPECT_EQ(trail.send("edit by=alice stanzas=same", "text"), 0);
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
}

TEST(ChangeTrail, AStreamLogRestartedDuringAnEditIsConnectedAgain) {
  const TrailFiles files;
  const std::string& path = files.log;
  int daemon = bind_socket(path, SOCK_STREAM);
  ChangeTrail trail;
  ASSERT_TRUE(trail.open(files.paths));
  // The daemon restarts: the old connection is gone, a new socket listens.
  close(accept(daemon, nullptr, nullptr));
  close(daemon);
  unlink(path.c_str());
  daemon = bind_socket(path, SOCK_STREAM);
  testing::internal::CaptureStderr();
  EXPECT_EQ(trail.send("edit by=alice stanzas=same", "text"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  const int connection = accept(daemon, nullptr, nullptr);
  char got[512] = {};
  const ssize_t n = connection >= 0 ? recv(connection, got, sizeof got - 1, MSG_DONTWAIT) : -1;
  EXPECT_NE(std::string(got, n > 0 ? static_cast<std::size_t>(n) : 0).find("]: edit by=alice stanzas=same"),
            std::string::npos);
  if (connection >= 0) close(connection);
  close(daemon);
  unlink(path.c_str());
}

}  // namespace
}  // namespace zel
