#include "util/audit_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace zel {
namespace {

TEST(AuditRecord, IsOneLineWithUtcTimePidAndRealUid) {
  const std::timespec now{1765275072, 123456789};
  EXPECT_EQ(audit_record("zel-auth", now, 4242, 1000, "refused actor=bob user=alice site=default"),
            "2025-12-09T10:11:12.123456Z zel-auth[4242]: uid=1000 refused actor=bob user=alice "
            "site=default\n");
}

TEST(OpenAuditFile, TakesOnlyARegularFileNoOneElseCanWrite) {
  char dir[] = "/tmp/zel-audit-file-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/audit.log";
  const uid_t me = geteuid();
  const gid_t group = getegid();
  const struct {
    const char* name;
    mode_t mode;  // 0: a directory; 1: a link to a file
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
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.mode == 0) {
      ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    } else if (c.mode == 1) {
      ASSERT_EQ(symlink("/dev/null", path.c_str()), 0);
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

}  // namespace
}  // namespace zel
