// The system log's local socket, written without the C library's syslog(), which
// opens its socket only when the first line goes out and reports nothing when a
// line is lost. Here the socket is opened and connected once, early, and every
// line is sent with a checked send(), so a program that must not go on without
// its line can tell. A line has the shape syslog() gives it for openlog(tag,
// LOG_PID, facility): "<PRI>Mmm dd hh:mm:ss TAG[PID]: TEXT". Its time is the
// local time of the system's own zone, whatever TZ the environment holds:
// zel-site keeps its caller's for the editor it starts.
// Shared by zel-auth and zel-site; it knows nothing of either's lines.
#ifndef ZEL_UTIL_LOG_SOCKET_H_
#define ZEL_UTIL_LOG_SOCKET_H_

#include <ctime>
#include <string>
#include <string_view>

#include "util/unique_fd.h"

namespace zel {

inline constexpr const char* kSystemLogPath = "/dev/log";

class LogSocket {
 public:
  // What open() found: a connected socket, no log at all (no socket file), or a
  // socket that could not be opened or connected (error() tells why).
  enum class State { kClosed, kConnected, kNoLog, kFailed };

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
};

// The head of a line as syslog() writes it: "<PRI>Mmm dd hh:mm:ss TAG[PID]: ".
std::string log_line_head(int priority, const std::tm& local, std::string_view tag, long pid);

// The local time of now in the system's zone, whatever TZ says; the environment is left as it was.
std::tm system_local_time(std::time_t now);

}  // namespace zel

#endif  // ZEL_UTIL_LOG_SOCKET_H_
