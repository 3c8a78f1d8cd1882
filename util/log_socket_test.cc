#include "util/log_socket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <regex>
#include <string>

namespace zel {
namespace {

// A receiver bound at a path of a private directory, as a log daemon binds /dev/log.
class Receiver {
 public:
  explicit Receiver(const std::string& path) : fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << path;
    const timeval bound{5, 0};  // a lost datagram fails the test, never hangs it
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  ~Receiver() { close(fd_); }
  std::string receive() {
    char buffer[4096];
    const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    return n < 0 ? std::string("(nothing)") : std::string(buffer, static_cast<std::size_t>(n));
  }

 private:
  int fd_;
};

class LogSocketTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zel-log-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/log";
  }
  void TearDown() override {
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  std::string dir_;
  std::string path_;
};

TEST(LogLineHead, HasSyslogsShapeForEveryMonthAndDay) {
  const struct {
    int month, day, hour, minute, second, priority;
    long pid;
    const char* head;
  } cases[] = {
      {0, 1, 0, 0, 0, 86, 1, "<86>Jan  1 00:00:00 zel-auth[1]: "},
      {11, 9, 2, 53, 38, 83, 25911, "<83>Dec  9 02:53:38 zel-auth[25911]: "},
      {4, 31, 23, 59, 59, 85, 4194304, "<85>May 31 23:59:59 zel-auth[4194304]: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.head);
    std::tm local{};
    local.tm_mon = c.month;
    local.tm_mday = c.day;
    local.tm_hour = c.hour;
    local.tm_min = c.minute;
    local.tm_sec = c.second;
    EXPECT_EQ(log_line_head(c.priority, local, "zel-auth", c.pid), c.head);
  }
}

TEST_F(LogSocketTest, SendsEachLineWholeToAConnectedLog) {
  Receiver receiver(path_);
  LogSocket log;
  ASSERT_EQ(log.open(path_.c_str()), LogSocket::State::kConnected);
  EXPECT_NE(fcntl(log.fd(), F_GETFD) & FD_CLOEXEC, 0) << "the socket must not reach an exec'd program";
  EXPECT_EQ(log.send(86, "zel-auth", "signed for actor=a x"), 0);
  const std::regex shape("<86>[A-Z][a-z]{2} [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] zel-auth\\[" +
                         std::to_string(getpid()) + "\\]: signed for actor=a x");
  const std::string line = receiver.receive();
  EXPECT_TRUE(std::regex_match(line, shape)) << line;
}

TEST_F(LogSocketTest, TellsNoLogFromALogThatCantBeReached) {
  LogSocket absent;
  EXPECT_EQ(absent.open(path_.c_str()), LogSocket::State::kNoLog);
  EXPECT_EQ(absent.send(86, "zel-auth", "x"), 0) << "a system without a log runs as without one";
  EXPECT_EQ(absent.fd(), -1);

  { Receiver gone(path_); }  // a socket file that nobody listens on any more
  LogSocket stale;
  EXPECT_EQ(stale.open(path_.c_str()), LogSocket::State::kFailed);
  EXPECT_EQ(stale.error(), ECONNREFUSED);
  EXPECT_EQ(stale.send(86, "zel-auth", "x"), ECONNREFUSED);
  EXPECT_EQ(stale.fd(), -1);
  unlink(path_.c_str());

  // Neither is a path that is no socket, nor one whose file can't be looked
  // at: that a log exists can't be ruled out.
  const struct {
    const char* name;
    void (*make)(const std::string& path);
    int error;
  } others[] = {
      {"a regular file", [](const std::string& path) { close(open(path.c_str(), O_WRONLY | O_CREAT, 0600)); },
       ECONNREFUSED},
      {"a link to itself", [](const std::string& path) { EXPECT_EQ(symlink(path.c_str(), path.c_str()), 0); },
       ELOOP},
  };
  for (const auto& c : others) {
    SCOPED_TRACE(c.name);
    c.make(path_);
    LogSocket log;
    EXPECT_EQ(log.open(path_.c_str()), LogSocket::State::kFailed);
    EXPECT_EQ(log.error(), c.error);
    unlink(path_.c_str());
  }
}

TEST_F(LogSocketTest, ReportsALogThatWentAwayAndReconnectsToItsSuccessor) {
  LogSocket log;
  {
    Receiver first(path_);
    ASSERT_EQ(log.open(path_.c_str()), LogSocket::State::kConnected);
    EXPECT_EQ(log.send(86, "t", "one"), 0);
  }
  EXPECT_NE(log.send(86, "t", "lost"), 0) << "a line nobody took must not count as sent";
  unlink(path_.c_str());
  Receiver second(path_);
  EXPECT_EQ(log.send(86, "t", "two"), 0);
  EXPECT_TRUE(second.receive().ends_with(": two"));
}

// A log that takes no more lines (its daemon stalled, or kept busy by others'
// lines) fails a send once the wait is over; it never holds the run. In a child
// of its own, whose alarm ends a send that would wait for ever.
TEST_F(LogSocketTest, FailsASendThatALogWontTakeInsteadOfWaitingForIt) {
  Receiver deaf(path_);  // never reads
  EXPECT_EXIT(
      {
        alarm(30);
        LogSocket log(process_local_time, timeval{0, 1000});
        int error = log.open(path_.c_str()) == LogSocket::State::kConnected ? 0 : -1;
        for (int sent = 0; error == 0 && sent < 100000; ++sent) error = log.send(86, "t", "line");
        std::_Exit(error == EAGAIN ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

// The same for a stream log whose daemon accepts no more connections.
TEST_F(LogSocketTest, FailsTheConnectToAStreamLogThatAcceptsNoMore) {
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path_.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 0), 0);
  const int waiting = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  ASSERT_EQ(connect(waiting, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  EXPECT_EXIT(
      {
        alarm(30);
        LogSocket log(process_local_time, timeval{0, 1000});
        const bool failed = log.open(path_.c_str()) == LogSocket::State::kFailed;
        std::_Exit(failed && log.error() == EAGAIN ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
  close(waiting);
  close(listener);
}

TEST_F(LogSocketTest, SendsToAStreamLogWithTheNulThatEndsEachLine) {
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path_.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  LogSocket log;
  ASSERT_EQ(log.open(path_.c_str()), LogSocket::State::kConnected);
  EXPECT_EQ(log.send(86, "t", "one"), 0);
  const int accepted = accept(listener, nullptr, nullptr);
  ASSERT_GE(accepted, 0);
  const timeval bound{5, 0};
  setsockopt(accepted, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  char buffer[256];
  const ssize_t n = recv(accepted, buffer, sizeof buffer, 0);
  ASSERT_GT(n, 0);
  const std::string got(buffer, static_cast<std::size_t>(n));
  EXPECT_TRUE(got.ends_with(std::string("]: one") + '\0')) << got;
  close(accepted);
  close(listener);
}

}  // namespace
}  // namespace zel
