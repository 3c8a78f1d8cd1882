// The local time of the system's own zone for a program that keeps the caller's
// TZ in its environment, as zel-site does for the editor it starts: its log
// lines still carry the time of the machine's zone (util/log_socket.h). Not
// linked into zel-auth, which drops TZ from its environment before it logs.
#ifndef ZEL_UTIL_SYSTEM_TIME_H_
#define ZEL_UTIL_SYSTEM_TIME_H_

#include <ctime>

namespace zel {

// The local time of now in the system's zone, whatever TZ says; the environment is left as it was.
std::tm system_local_time(std::time_t now);

}  // namespace zel

#endif  // ZEL_UTIL_SYSTEM_TIME_H_
