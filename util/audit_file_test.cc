#include "util/audit_file.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace zel {
namespace {

TEST(AuditRecord, IsOneLineWithUtcTimePidAndRealUid) {
  const std::timespec now{1765275072, 123456789};
  EXPECT_EQ(audit_record("zel-auth", now, 4242, 1000, "refused actor=bob user=alice site=default"),
            "2025-12-09T10:11:12.123456Z zel-auth[4242]: uid=1000 refused actor=bob user=alice "
            "site=default\n");
}

TEST(AuditRecord, TheTimeIsTheCivilUtcTimeWhateverTheZone) {
  setenv("TZ", "Asia/Tokyo", 1);
  const struct {
    std::time_t seconds;
    const char* time;
  } cases[] = {
      {0, "1970-01-01T00:00:00.000007Z"},
      {951868799, "2000-02-29T23:59:59.000007Z"},
      {1709251199, "2024-02-29T23:59:59.000007Z"},
      {4102444799, "2099-12-31T23:59:59.000007Z"},
  };
  for (const auto& c : cases) {
    const std::timespec now{c.seconds, 7999};
    EXPECT_EQ(audit_record("p", now, 1, 2, "t"), std::string(c.time) + " p[1]: uid=2 t\n");
  }
  unsetenv("TZ");
}

TEST(OpenAuditFile, TakesOnlyARegularFileNoOneElseCanWrite) {
  char dir[] = "/tmp/zel-audit-file-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/audit.log";
  const uid_t me = geteuid();
  const gid_t group = getegid();
  const struct {
    const char* name;
    mode_t mode;  // 0: a directory; 1: a link to a file; 2: a FIFO a reader holds open
    uid_t owner;
    gid_t group;
    int want;
  } cases[] = {
      {"the service group's", 0620, me, group, 0},
      {"another group's", 0620, me, group + 1, EPERM},
      {"another owner's (root's is always taken)", 0620, me + 1, group, me == 0 ? 0 : EPERM},
      {"writable by others", 0622, me, group, EPERM},
      {"no service group to compare", 0620, me, kAnyGroup, 0},
      {"no service group, writable by others", 0602, me, kAnyGroup, EPERM},
      {"a directory", 0, me, group, EISDIR},
      {"a link", 1, me, group, ELOOP},
      {"a FIFO, though it opens", 2, me, group, EINVAL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UniqueFd reader;
    if (c.mode == 0) {
      ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    } else if (c.mode == 1) {
      ASSERT_EQ(symlink("/dev/null", path.c_str()), 0);
    } else if (c.mode == 2) {
      ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
      reader.reset(open(path.c_str(), O_RDONLY | O_NONBLOCK));
    } else {
      close(open(path.c_str(), O_CREAT | O_WRONLY, 0600));
      ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
    }
    UniqueFd fd;
    // The owner asked for is root's stand-in: this test's own user, or another.
    EXPECT_EQ(open_audit_file(path.c_str(), c.owner, c.group, fd), c.want);
    EXPECT_EQ(static_cast<bool>(fd), c.want == 0);
    if (c.mode == 0) rmdir(path.c_str()); else unlink(path.c_str());
  }
  rmdir(dir);
}

TEST(AppendRecord, StartsEachRecordOnALineOfItsOwnAndWritesNothingOverTheSizeLimit) {
  char dir[] = "/tmp/zel-audit-file-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/audit.log";
  const UniqueFd fd(open(path.c_str(), O_CREAT | O_WRONLY | O_APPEND | O_CLOEXEC, 0600));
  ASSERT_TRUE(fd);
  const std::string first = "T zel-auth[1]: uid=1002 signed for actor=bob\n";
  const std::string second = "T zel-auth[2]: uid=1001 signed for actor=alice\n";
  EXPECT_EQ(append_record(fd.get(), first), 0);
  // A record cut short by the kernel: its first bytes, no newline.
  ASSERT_EQ(write(fd.get(), "\nT zel-auth[3]: uid=1002 sig", 28), 28);
  // The file size limit one byte short of the next record: refused before a byte is written.
  struct sigaction ignore {}, old_action {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &old_action);
  rlimit old_limit{};
  getrlimit(RLIMIT_FSIZE, &old_limit);
  rlimit small = old_limit;
  struct stat st {};
  fstat(fd.get(), &st);
  small.rlim_cur = static_cast<rlim_t>(st.st_size) + second.size();
  setrlimit(RLIMIT_FSIZE, &small);
  const int refused = append_record(fd.get(), second);
  setrlimit(RLIMIT_FSIZE, &old_limit);
  sigaction(SIGXFSZ, &old_action, nullptr);
  EXPECT_EQ(refused, EFBIG);
  EXPECT_EQ(append_record(fd.get(), second), 0);
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  EXPECT_EQ(text.str(), "\n" + first + "\nT zel-auth[3]: uid=1002 sig\n" + second);
  unlink(path.c_str());
  rmdir(dir);
}

}  // namespace
}  // namespace zel
