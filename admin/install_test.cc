#include "admin/install.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "admin/lock.h"

namespace zel {
namespace {

class InstallTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(mkdtemp(dir_), nullptr);
    path_ = std::string(dir_) + "/site.conf";
    std::ofstream(path_) << "old text\n";
    owner_ = {getuid(), getgid(), 0640, "me", "mine"};
  }
  void TearDown() override {
    unlink(path_.c_str());
    unlink((path_ + ".lock").c_str());
    rmdir(dir_);
  }
  std::string content() const {
    std::stringstream text;
    text << std::ifstream(path_).rdbuf();
    return text.str();
  }
  int entries() const {
    int n = 0;
    DIR* dir = opendir(dir_);
    while (const dirent* entry = readdir(dir)) n += entry->d_name[0] != '.' || entry->d_name[1] == 's';
    closedir(dir);
    return n;
  }
  char dir_[32] = "/tmp/zel-install-test.XXXXXX";
  std::string path_;
  SiteOwnership owner_;
};

TEST_F(InstallTest, PutsTheNewTextInPlaceWithItsModeAndLeavesNothingElse) {
  std::string error;
  ASSERT_TRUE(install_site_text(path_, "new text\n", owner_, error)) << error;
  EXPECT_EQ(content(), "new text\n");
  struct stat st {};
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640U);
  EXPECT_EQ(st.st_uid, owner_.uid);
  EXPECT_EQ(entries(), 1);
}

TEST_F(InstallTest, AFailedWriteLeavesTheOldFileAndNoNewOne) {
  // A file size limit makes the write fail halfway, as a full disk would.
  struct sigaction ignore {}, old_action {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &old_action);
  rlimit old_limit{};
  getrlimit(RLIMIT_FSIZE, &old_limit);
  rlimit small = old_limit;
  small.rlim_cur = 4;
  setrlimit(RLIMIT_FSIZE, &small);
  std::string error;
  const bool ok = install_site_text(path_, "a text longer than the limit\n", owner_, error);
  setrlimit(RLIMIT_FSIZE, &old_limit);
  sigaction(SIGXFSZ, &old_action, nullptr);
  EXPECT_FALSE(ok);
  EXPECT_EQ(error.rfind("writing " + std::string(dir_) + "/.site.conf.new-", 0), 0U) << error;
  EXPECT_NE(error.find("File too large"), std::string::npos) << error;
  EXPECT_EQ(content(), "old text\n");
  EXPECT_EQ(entries(), 1);
}

TEST_F(InstallTest, AMissingDirectoryIsReportedByStep) {
  std::string error;
  EXPECT_FALSE(install_site_text(std::string(dir_) + "/none/site.conf", "x", owner_, error));
  EXPECT_EQ(error, "creating a new file in " + std::string(dir_) + "/none: No such file or directory");
}

// A default ACL as the kernel keeps it in its extended attribute (version 2, then
// tag, permissions and ID of each entry, little-endian): the owner rw-, user ID
// 4242 r--, the group ---, the mask r--, others ---.
std::string default_acl() {
  std::string bytes = {2, 0, 0, 0};
  const auto entry = [&](char tag, char perm, unsigned id) {
    bytes += {tag, 0, perm, 0};
    for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>((id >> shift) & 0xff);
  };
  entry(0x01, 6, 0xffffffff);
  entry(0x02, 4, 4242);
  entry(0x04, 0, 0xffffffff);
  entry(0x10, 4, 0xffffffff);
  entry(0x20, 0, 0xffffffff);
  return bytes;
}

TEST_F(InstallTest, ADirectoryWithADefaultAclIsRefusedBeforeAnythingIsWritten) {
  const std::string acl = default_acl();
  if (setxattr(dir_, "system.posix_acl_default", acl.data(), acl.size(), 0) != 0) {
    GTEST_SKIP() << "no default ACL can be set in " << dir_ << ": " << std::strerror(errno);
  }
  std::string error;
  EXPECT_FALSE(directory_gives_no_acl(path_, error));
  EXPECT_FALSE(install_site_text(path_, "new text\n", owner_, error));
  EXPECT_EQ(error, std::string(dir_) + " has a default ACL, which the new site file would inherit: "
                                       "remove it with setfacl -k " + dir_);
  EXPECT_EQ(content(), "old text\n");
  EXPECT_EQ(entries(), 1);
  removexattr(dir_, "system.posix_acl_default");
  EXPECT_TRUE(directory_gives_no_acl(path_, error)) << error;
}

TEST_F(InstallTest, ASecondLockFailsAtOnce) {
  SiteLock first;
  SiteLock second;
  std::string error;
  ASSERT_TRUE(first.acquire(path_, error)) << error;
  EXPECT_FALSE(second.acquire(path_, error));
  EXPECT_NE(error.find("is being changed by another zel-site"), std::string::npos) << error;
  first = SiteLock();
  EXPECT_TRUE(second.acquire(path_, error)) << error;
}

}  // namespace
}  // namespace zel
