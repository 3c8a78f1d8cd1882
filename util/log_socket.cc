#include "util/log_socket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace zel {

namespace {

int connect_to(int fd, const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return ENAMETOOLONG;
  std::memcpy(address.sun_path, path.data(), path.size());
  for (;;) {
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return 0;
    if (errno != EINTR) return errno;
  }
}

// Sends the line whole: a datagram in one piece (a cut one is EMSGSIZE), a
// stream's line in as many pieces as it takes.
int send_line(int fd, const std::string& line, bool stream) {
  for (std::size_t done = 0; done < line.size();) {
    // MSG_NOSIGNAL: a log that went away must show as an error here, not
    // as a SIGPIPE that ends the run before it can say so.
    const ssize_t sent = ::send(fd, line.data() + done, line.size() - done, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0) return errno;
    if (!stream && static_cast<std::size_t>(sent) != line.size()) return EMSGSIZE;
    done += static_cast<std::size_t>(sent);
  }
  return 0;
}

}  // namespace

LogSocket::State LogSocket::open(const char* path) {
  fd_.reset();
  path_ = path;
  error_ = 0;
  stream_ = false;
  for (const int type : {SOCK_DGRAM, SOCK_STREAM}) {
    UniqueFd opened(socket(AF_UNIX, type | SOCK_CLOEXEC, 0));
    // The kernel then ends every wait for a log that takes no more with EAGAIN.
    const bool bounded =
        opened && setsockopt(opened.get(), SOL_SOCKET, SO_SNDTIMEO, &wait_, sizeof wait_) == 0;
    error_ = bounded ? connect_to(opened.get(), path_) : errno;
    if (error_ == 0) {
      fd_ = std::move(opened);
      stream_ = type == SOCK_STREAM;
      return state_ = State::kConnected;
    }
    // A log daemon that listens on a stream socket, as some still do, refuses
    // a datagram one; any other error is the same for both kinds.
    if (error_ != EPROTOTYPE) break;
  }
  // No socket file at all is a system without a log, which is allowed;
  // anything else is a log that exists and can't be reached.
  struct stat status {};
  const bool absent = error_ == ENOENT || (stat(path, &status) != 0 && errno == ENOENT);
  return state_ = absent ? State::kNoLog : State::kFailed;
}

int LogSocket::send(int priority, std::string_view tag, std::string_view text) {
  if (state_ == State::kFailed) return error_;
  if (state_ != State::kConnected) return 0;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::string line = log_line_head(priority, local_time_(now.tv_sec), tag, getpid());
  line.append(text);
  // A stream log takes the line and a NUL after it, as syslog() sends it
  // there; a stream can't be connected again: a daemon that went away is a failure.
  if (stream_) return send_line(fd_.get(), line + '\0', true);
  int failure = send_line(fd_.get(), line, false);
  if (failure == ECONNREFUSED || failure == ENOTCONN) {
    // The log daemon was restarted since the connect: the same socket, which
    // needs no new descriptor, is connected to the new one.
    failure = connect_to(fd_.get(), path_);
    if (failure == 0) failure = send_line(fd_.get(), line, false);
  }
  return failure;
}

std::string log_line_head(int priority, const std::tm& local, std::string_view tag, long pid) {
  // The month in English whatever the locale, as syslog() writes it.
  static constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const int month = local.tm_mon >= 0 && local.tm_mon < 12 ? local.tm_mon : 0;
  char stamp[64];
  const int size = std::snprintf(stamp, sizeof stamp, "<%d>%s %2d %02d:%02d:%02d ", priority,
                                 kMonths[month], local.tm_mday, local.tm_hour, local.tm_min,
                                 local.tm_sec);
  std::string head(stamp, size > 0 ? static_cast<std::size_t>(size) : 0);
  return head.append(tag).append("[").append(std::to_string(pid)).append("]: ");
}

std::tm process_local_time(std::time_t now) {
  // Only a time_t beyond the years a tm holds makes it fail; now is not one.
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

}  // namespace zel
