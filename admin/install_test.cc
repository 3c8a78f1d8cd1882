#include "admin/install.h"

#include <dirent.h>
#include <fcntl.h>
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
#include "admin/text_file.h"

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
  LiveFile live() const {
    LiveFile file;
    std::string error;
    EXPECT_TRUE(read_live_file(path_, file, error)) << error;
    return file;
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

// The live file is read as it stands, never through a link put in its place:
// a link is no live file, and a missing one is none at all.
TEST_F(InstallTest, TheLiveFileIsReadNeverThroughALink) {
  const std::string target = std::string(dir_) + "/elsewhere";
  ASSERT_EQ(rename(path_.c_str(), target.c_str()), 0);
  ASSERT_EQ(symlink(target.c_str(), path_.c_str()), 0);
  LiveFile file;
  std::string error;
  EXPECT_FALSE(read_live_file(path_, file, error));
  EXPECT_FALSE(file.exists);
  EXPECT_NE(error.find("a symbolic link"), std::string::npos) << error;
  unlink(path_.c_str());
  error.clear();
  EXPECT_TRUE(read_live_file(path_, file, error)) << error;
  EXPECT_FALSE(file.exists);
  unlink(target.c_str());
}

TEST_F(InstallTest, PutsTheNewTextInPlaceWithItsModeAndLeavesNothingElse) {
  std::string error;
  ASSERT_TRUE(install_site_text(path_, "new text\n", owner_, live(), error)) << error;
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
  const bool ok = install_site_text(path_, "a text longer than the limit\n", owner_, live(), error);
  setrlimit(RLIMIT_FSIZE, &old_limit);
  sigaction(SIGXFSZ, &old_action, nullptr);
  EXPECT_FALSE(ok);
  EXPECT_EQ(error.rfind(path_ + " is unchanged: writing " + std::string(dir_) + "/.site.conf.new-", 0), 0U)
      << error;
  EXPECT_NE(error.find("File too large"), std::string::npos) << error;
  EXPECT_EQ(content(), "old text\n");
  EXPECT_EQ(entries(), 1);
}

TEST_F(InstallTest, AMissingDirectoryIsReportedByStep) {
  std::string error;
  EXPECT_FALSE(install_site_text(std::string(dir_) + "/none/site.conf", "x", owner_, LiveFile(), error));
  EXPECT_EQ(error, std::string(dir_) + "/none/site.conf is unchanged: creating a new file in " + dir_ +
                       "/none: No such file or directory");
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
  EXPECT_FALSE(install_site_text(path_, "new text\n", owner_, live(), error));
  EXPECT_EQ(error, path_ + " is unchanged: " + dir_ + " has a default ACL, which the new site file would inherit: "
                                       "remove it with setfacl -k " + dir_);
  EXPECT_EQ(content(), "old text\n");
  EXPECT_EQ(entries(), 1);
  removexattr(dir_, "system.posix_acl_default");
  EXPECT_TRUE(directory_gives_no_acl(path_, error)) << error;
}

TEST_F(InstallTest, AnotherWritersChangeSinceTheReadStaysAndNothingIsInstalled) {
  const struct {
    const char* name;
    bool read_before;  // false: the command found no live file
    const char* other;  // what the other writer did, by rename over the live path or in place
    bool in_place;
  } cases[] = {
      {"renamed over the live path", true, "other writer's text\n", false},
      {"rewritten in place", true, "other writer's text\n", true},
      {"same text, another file", true, "old text\n", false},
      {"created where there was none", false, "other writer's text\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.read_before) unlink(path_.c_str());
    const LiveFile as_read = c.read_before ? live() : LiveFile();
    if (c.in_place) {
      std::ofstream(path_) << c.other;
    } else {
      const std::string staged = std::string(dir_) + "/staged";
      std::ofstream(staged) << c.other;
      ASSERT_EQ(rename(staged.c_str(), path_.c_str()), 0);
    }
    std::string error;
    EXPECT_FALSE(install_site_text(path_, "my text\n", owner_, as_read, error));
    EXPECT_NE(error.find("by another writer after zel-site read it: that change stays"), std::string::npos)
        << error;
    EXPECT_EQ(content(), c.other);
    EXPECT_EQ(entries(), 1);
    std::ofstream(path_) << "old text\n";
  }
}

// read_candidate(path) reads the candidate, or, with a refusal, refuses it with that text.
void expect_candidate(const std::string& path, const char* refusal) {
  SecretBytes text;
  std::string error;
  bool refused = false;
  const bool ok = read_candidate(path, text, error, refused);
  EXPECT_EQ(ok, refusal[0] == '\0') << error;
  if (ok) {
    EXPECT_EQ(std::string(view_of(text)), "site.name = x\n");
  }
  if (!ok) {
    EXPECT_NE(error.find(refusal), std::string::npos) << error;
    EXPECT_TRUE(refused);
  }
}

TEST_F(InstallTest, ACandidateMustBeRootsOwnRegularFileReachedWithoutLinks) {
  if (geteuid() != 0) GTEST_SKIP() << "the candidate's owners can only be set up by root";
  // A candidate is read only from directories that root alone can write; /run is one where
  // the system has it (a root-owned tmpfs of mode 0755), unlike the /tmp of dir_.
  struct stat run {};
  if (stat("/run", &run) != 0 || run.st_uid != 0 || (run.st_mode & 022) != 0) {
    GTEST_SKIP() << "no /run that only root can write, for a candidate's directory";
  }
  char base[] = "/run/zel-candidate-test.XXXXXX";
  ASSERT_NE(mkdtemp(base), nullptr);
  const std::string file = std::string(base) + "/candidate";
  const std::string sub = std::string(base) + "/sub";
  const std::string users = std::string(base) + "/users";
  const std::string open_dir = std::string(base) + "/open";
  const std::string in_tmp = std::string(dir_) + "/candidate";
  const struct {
    const char* name;
    std::string path;
    uid_t owner;
    mode_t mode;
    const char* made;  // file, link (to the candidate), dirlink (sub -> dir_), fifo, hardlink
    const char* refusal;  // empty: read
  } cases[] = {
      {"root's, 0600", file, 0, 0600, "file", ""},
      {"root's, 0644", file, 0, 0644, "file", ""},
      {"a link to root's file", file + ".link", 0, 0600, "link", "is, or lies under, a symbolic link: root can"},
      {"under a linked directory", sub + "/candidate", 0, 0600, "dirlink", "is, or lies under, a symbolic link"},
      {"a user's file", file, 4242, 0600, "file", "is owned by user ID 4242, not root: root can read"},
      {"writable by the group", file, 0, 0660, "file", "is writable by others than root (mode 0660)"},
      {"writable by all", file, 0, 0606, "file", "is writable by others than root (mode 0606)"},
      {"a second name", file, 0, 0600, "hardlink", "has 2 names (hard links)"},
      {"a FIFO", file + ".fifo", 0, 0600, "fifo", "is not a regular file"},
      {"in a user's directory", users + "/candidate", 0, 0600, "users",
       "users, a directory on its path, is owned by user ID 4242, not root, so someone else could have put"},
      {"in a directory the group writes", open_dir + "/candidate", 0, 0600, "open",
       "open, a directory on its path, is writable by others than root (mode 0775)"},
      {"in /tmp, sticky", in_tmp, 0, 0600, "tmp", "/tmp, a directory on its path, is writable by others than "
                                                  "root (mode 1777)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(file) << "site.name = x\n";
    ASSERT_EQ(chown(file.c_str(), c.owner, 0), 0);
    ASSERT_EQ(chmod(file.c_str(), c.mode), 0);
    const std::string made = c.made;
    if (made == "link") {
      ASSERT_EQ(symlink(file.c_str(), c.path.c_str()), 0);
    }
    if (made == "dirlink") {
      ASSERT_EQ(symlink(dir_, sub.c_str()), 0);
    }
    if (made == "hardlink") {
      ASSERT_EQ(link(file.c_str(), (file + ".2").c_str()), 0);
    }
    if (made == "fifo") {
      ASSERT_EQ(mkfifo(c.path.c_str(), 0600), 0);
    }
    if (made == "users" || made == "open" || made == "tmp") {
      const std::string dir = split_path(c.path).first;
      if (made != "tmp") {
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
      }
      if (made == "users") {
        ASSERT_EQ(chown(dir.c_str(), 4242, 4242), 0);
      }
      if (made == "open") {
        ASSERT_EQ(chmod(dir.c_str(), 0775), 0);
      }
      std::ofstream(c.path) << "site.name = x\n";
      ASSERT_EQ(chown(c.path.c_str(), c.owner, 0), 0);
      ASSERT_EQ(chmod(c.path.c_str(), c.mode), 0);
    }
    expect_candidate(c.path, c.refusal);
    for (const char* left : {".link", ".2", ".fifo", ""}) unlink((file + left).c_str());
    unlink(sub.c_str());
    for (const std::string& dir : {users, open_dir}) {
      unlink((dir + "/candidate").c_str());
      rmdir(dir.c_str());
    }
    unlink(in_tmp.c_str());
  }
  rmdir(base);
}

// Standard input is taken only as a command's pipe: a redirected file was opened by root's shell,
// which may have followed a user's link to a file only root can read, and whoever can open a named
// pipe writes into it.
TEST_F(InstallTest, StandardInputMustBeACommandsPipe) {
  enum class Input { kPipe, kFile, kNamedPipe };
  const struct {
    const char* name;
    Input input;
    const char* refusal;  // empty: read
  } cases[] = {
      {"a pipe", Input::kPipe, ""},
      {"a redirected file", Input::kFile, "standard input is a regular file, and only a pipe is taken: the shell "
                                          "that opened it as root may have followed a user's link"},
      {"a named pipe", Input::kNamedPipe, "standard input is a named pipe (FIFO), which whoever can open it may "
                                          "write into, and only a command's output piped in is taken: the shell"},
  };
  const std::string fifo = std::string(dir_) + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int saved = dup(STDIN_FILENO);
  ASSERT_GE(saved, 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int fd = -1;
    if (c.input == Input::kFile) {
      fd = open(path_.c_str(), O_RDONLY);
    } else {
      int ends[2] = {-1, -1};
      if (c.input == Input::kPipe) {
        ASSERT_EQ(pipe(ends), 0);
      } else {
        // Opened without waiting for a writer, then blocking again as a pipe is.
        ends[0] = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        ends[1] = open(fifo.c_str(), O_WRONLY);
        ASSERT_EQ(fcntl(ends[0], F_SETFL, 0), 0);
      }
      ASSERT_EQ(write(ends[1], "site.name = x\n", 14), 14);
      close(ends[1]);
      fd = ends[0];
    }
    ASSERT_GE(fd, 0);
    ASSERT_EQ(dup2(fd, STDIN_FILENO), STDIN_FILENO);
    close(fd);
    expect_candidate("-", c.refusal);
    ASSERT_EQ(dup2(saved, STDIN_FILENO), STDIN_FILENO);
  }
  close(saved);
  unlink(fifo.c_str());
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
