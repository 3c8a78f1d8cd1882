#include "site/site_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <thread>

#include "util/status.h"

namespace zel {
namespace {

class ReadSiteFile : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zel-site-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& content) {
    std::string path = dir_ + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
    return path;
  }

  // Reads path through the descriptor; returns status, stderr and the text.
  std::tuple<int, std::string, std::string> read(const std::string& path) {
    SiteFile file = open_site_file(path.c_str());
    SecretBytes text;
    testing::internal::CaptureStderr();
    int status = read_site_file(file, path.c_str(), text);
    std::string err = testing::internal::GetCapturedStderr();
    std::string content = text.empty() ? "" : std::string(text.data(), text.size() - 1);
    return {status, err, content};
  }

  std::string dir_;
};

TEST_F(ReadSiteFile, ReadsWholeFileAndKeepsNulBytes) {
  const std::string content = std::string("a=1\n\0b", 6) + std::string(100000, 'x');
  auto [status, err, text] = read(write("site", content));
  EXPECT_EQ(status, kOk);
  EXPECT_EQ(err, "");
  EXPECT_EQ(text, content);
}

// /proc/self/cmdline is a regular file whose size says 0 but which has bytes: it
// is read the way a file that grew after its size was taken is.
TEST_F(ReadSiteFile, AFileLongerThanItsSizeIsReadToItsEnd) {
  const std::string path = "/proc/self/cmdline";
  std::ifstream in(path, std::ios::binary);
  const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  ASSERT_LT(static_cast<std::size_t>(st.st_size), content.size());
  auto [status, err, text] = read(path);
  EXPECT_EQ(status, kOk);
  EXPECT_EQ(err, "");
  EXPECT_EQ(text, content);
}

TEST_F(ReadSiteFile, ReportsEachUnreadableKind) {
  std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // A socket can't even be opened; it is still the wrong kind of file.
  std::string socket_path = dir_ + "/socket";
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  socket_path.copy(address.sun_path, sizeof address.sun_path - 1);
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  const struct {
    std::string path;
    std::string message;
  } cases[] = {
      {write("empty", ""), ""},
      {dir_ + "/missing", "Unable to open site file (" + dir_ +
                              "/missing) for reading: No such file or directory.\n"},
      {dir_, "Unable to open site file (" + dir_ + ") for reading: Is a directory.\n"},
      {fifo, "Unable to open site file (" + fifo + ") for reading: Not a regular file.\n"},
      {socket_path,
       "Unable to open site file (" + socket_path + ") for reading: Not a regular file.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    auto [status, err, text] = read(c.path);
    EXPECT_EQ(status, kSiteUnreadable);
    EXPECT_EQ(err, c.message);
  }
  close(sock);
}

TEST_F(ReadSiteFile, AnExposedFileIsRefusedBeforeAByteIsRead) {
  const std::string path = write("site", "a=1\ntoken.value = t\n");
  const std::string tail = "; its tokens must be treated as exposed (see zel-site check).\n";
  // An access ACL as the kernel keeps it: the owner rw, user 12345 r, the group
  // r, the mask r, others nothing.
  const unsigned char kAcl[] = {2, 0, 0, 0,  1, 0, 6, 0, 0xff, 0xff, 0xff, 0xff,
                                2, 0, 4, 0, 0x39, 0x30, 0, 0,  4, 0, 4, 0, 0xff, 0xff, 0xff, 0xff,
                                0x10, 0, 4, 0, 0xff, 0xff, 0xff, 0xff,  0x20, 0, 0, 0, 0xff, 0xff, 0xff, 0xff};
  const uid_t me = geteuid();
  const gid_t mine = getegid();  // the file's group, as it was made
  const std::string other_group = " can be read by a group zel-auth does not run as";
  const struct {
    const char* name;
    mode_t mode;
    uid_t owner;  // besides root
    gid_t group;  // the one that may read it
    bool acl;
    std::string err;  // "" for a file that is read
  } cases[] = {
      {"deployed: the group reads", 0640, me, mine, false, ""},
      {"the older form: the account alone", 0600, me, kNoGroup, false, ""},
      {"readable by others", 0644, me, mine, false, " can be read by other users"},
      {"writable by the group", 0660, me, mine, false, " can be written by other users than its owner"},
      {"writable by others", 0602, me, mine, false, " can be written by other users than its owner"},
      {"another owner's", 0600, me + 1, mine, false,
       me == 0 ? "" : " is owned by neither root nor the service account"},
      {"an ACL", 0640, me, mine, true, " carries an ACL that may grant more than its mode"},
      {"readable by a group not the tool's", 0640, me, mine + 1, false, other_group},
      {"the older form: readable by any group", 0640, me, kNoGroup, false, other_group},
      {"the older form: writable, not readable, by the group", 0620, me, kNoGroup, false,
       " can be written by other users than its owner"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
    removexattr(path.c_str(), "system.posix_acl_access");
    if (c.acl && setxattr(path.c_str(), "system.posix_acl_access", kAcl, sizeof kAcl, 0) != 0) {
      std::printf("note: no ACL on %s (%s); the ACL row is not run\n", path.c_str(), std::strerror(errno));
      continue;
    }
    const SiteFile file = open_site_file(path.c_str(), c.owner, c.group);
    SecretBytes text;
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_site_file(file, path.c_str(), text), c.err.empty() ? kOk : kSiteUnreadable);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err.empty() ? "" : "The site file " + path + c.err + tail);
    EXPECT_EQ(text.empty(), !c.err.empty()) << "not a byte is read from an exposed file";
    if (c.acl) removexattr(path.c_str(), "system.posix_acl_access");
  }
}

TEST_F(ReadSiteFile, AFileLargerThanAnyBufferIsOutOfMemory) {
  const int fd = memfd_create("site", 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, std::numeric_limits<off_t>::max()), 0);
  const SiteFile file{UniqueFd(fd)};
  SecretBytes text;
  testing::internal::CaptureStderr();
  EXPECT_EQ(read_site_file(file, "memfd", text), kOutOfMemory);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Out of memory.\n");
}

TEST(ReadSecret, ReadsPastItsGuessToTheEndAndKeepsRoomForANul) {
  const std::string content = std::string(10000, 'x') + "end";
  for (const std::size_t expected : {std::size_t{0}, std::size_t{5}, std::size_t{20000}}) {
    SCOPED_TRACE(expected);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(write(ends[1], content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(ends[1]);
    SecretBytes text;
    errno = EINTR;  // left by an earlier call: no read may be taken for an interrupted one
    EXPECT_EQ(read_secret(ends[0], text, expected), 0);
    close(ends[0]);
    EXPECT_EQ(view_of(text), content);
    EXPECT_GT(text.capacity(), text.size());
  }
}

// A read that a signal interrupts is read again: the handler here writes the
// text and closes the pipe, so only the read after the interrupted one finds
// it. In a child of its own, whose alarm only ends a read that would wait for
// ever; the signal comes once the reader sleeps in its read.
int interrupt_pipe = -1;
void write_on_signal(int) {
  (void)!write(interrupt_pipe, "text", 4);
  close(interrupt_pipe);
}

TEST(ReadSecret, AReadASignalInterruptedIsReadAgain) {
  EXPECT_EXIT(
      {
        alarm(30);
        int ends[2];
        if (pipe(ends) != 0) std::_Exit(2);
        interrupt_pipe = ends[1];
        struct sigaction action {};
        action.sa_handler = write_on_signal;  // no SA_RESTART: the read ends with EINTR
        sigaction(SIGUSR1, &action, nullptr);
        const pid_t reader = gettid();
        std::thread signaller([reader] {
          const std::string stat = "/proc/self/task/" + std::to_string(reader) + "/stat";
          for (std::string text; text.find(") S ") == std::string::npos; sched_yield()) {
            std::ifstream file(stat);
            std::getline(file, text);
          }
          tgkill(getpid(), reader, SIGUSR1);
        });
        SecretBytes text;
        const int error = read_secret(ends[0], text);
        signaller.join();
        std::_Exit(error == 0 && view_of(text) == "text" ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST(ReadSecret, AFailedReadIsItsErrnoWithNothingKept) {
  const UniqueFd directory(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(directory);
  SecretBytes text;
  EXPECT_EQ(read_secret(directory.get(), text), EISDIR);
  EXPECT_TRUE(text.empty());
}

}  // namespace
}  // namespace zel
