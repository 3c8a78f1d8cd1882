// The system log's local socket, written without the C library's syslog(), which
// opens its socket only when the first line goes out and reports nothing when a
// line is lost. Here the socket is opened and connected once, early, and every
// line is sent with a checked send(), so a program that must not go on without
// its line can tell. A line has the shape syslog() gives it for openlog(tag,
// LOG_PID, facility): "<PRI>Mmm dd hh:mm:ss TAG[PID]: TEXT". By default the
// local time is converted with localtime_r alone, in the zone of the process's
// own environment: zel-auth's set-ID run has cleared it, so its lines carry the
// system's zone, and a run without set-ID has only its caller's rights. A
// program that keeps a caller's TZ passes system_local_time (util/system_time.h).
// No send waits for ever: a log that takes no more lines (a stalled daemon, or
// one kept busy by others' lines) fails it with EAGAIN once the wait is over,
// and the connect to a stream log that accepts no more is bounded the same way.
// Shared by zel-auth and zel-site; it knows nothing of either's lines.
#ifndef ZEL_UTIL_LOG_SOCKET_H_
#define ZEL_UTIL_LOG_SOCKET_H_

#include <sys/time.h>

#include <ctime>
#include <string>
#include <string_view>

#include "util/unique_fd.h"

namespace zel {

inline constexpr const char* kSystemLogPath = "/dev/log";

// The longest a send waits for the log to take its line.
inline constexpr timeval kLogSendWait{2, 0};

// The local time of now in the zone of this process's own environment.
std::tm process_local_time(std::time_t now);

class LogSocket {
 public:
  // What open() found: a connected socket, no log at all (no socket file), or a
  // socket that could not be opened or connected (error() tells why).
  enum class State { kClosed, kConnected, kNoLog, kFailed };

  // How now becomes the line's local time.
  using LocalTime = std::tm (*)(std::time_t now);

  // wait: the longest a send or a connect waits (not zero, which would be no bound).
  explicit LogSocket(LocalTime local_time = process_local_time, timeval wait = kLogSendWait)
      : local_time_(local_time), wait_(wait) {}

  // Opens a close-on-exec datagram socket (a stream one where the log takes
  // only those) and connects it to path; the outcome is kept.
  State open(const char* path = kSystemLogPath);

  // Sends one line at priority (facility included); 0, or the error number why not.
  int send(int priority, std::string_view tag, std::string_view text);

  int error() const { return error_; }  // why open() failed, for kFailed
  int fd() const { return fd_.get(); }  // -1 unless connected

 private:
  UniqueFd fd_;
  State state_ = State::kClosed;
  int error_ = 0;
  bool stream_ = false;
  std::string path_;
  LocalTime local_time_;
  timeval wait_;
};

// The head of a line as syslog() writes it: "<PRI>Mmm dd hh:mm:ss TAG[PID]: ".
std::string log_line_head(int priority, const std::tm& local, std::string_view tag, long pid);


}  // namespace zel

#endif  // ZEL_UTIL_LOG_SOCKET_H_
