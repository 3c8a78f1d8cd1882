// The local time of the system's own zone for a program whose environment may
// hold the caller's TZ: zel-site keeps it for the editor it starts. Its log
// lines still carry the time of the machine's zone (util/log_socket.h).
#ifndef ZEL_UTIL_SYSTEM_TIME_H_
#define ZEL_UTIL_SYSTEM_TIME_H_

#include <ctime>

namespace zel {

// The local time of now in the system's zone, whatever TZ says; the environment is left as it was.
std::tm system_local_time(std::time_t now);

}  // namespace zel

#endif  // ZEL_UTIL_SYSTEM_TIME_H_
