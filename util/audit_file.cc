#include "util/audit_file.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

namespace zel {

int open_audit_file(const char* path, uid_t owner, gid_t group, UniqueFd& fd) {
  UniqueFd opened(open(path, O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!opened) return errno;
  struct stat st {};
  if (fstat(opened.get(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return EINVAL;
  const bool group_ok = group == kAnyGroup || st.st_gid == group;
  if ((st.st_uid != 0 && st.st_uid != owner) || !group_ok || (st.st_mode & S_IWOTH) != 0) return EPERM;
  fd = std::move(opened);
  return 0;
}

std::string audit_record(std::string_view program, const std::timespec& now, long pid, uid_t uid,
                         std::string_view text) {
  // The civil date from the count of days: a UTC time needs no time zone,
  // so none is ever loaded.
  using namespace std::chrono;
  const sys_seconds at{seconds{now.tv_sec}};
  const sys_days day = floor<days>(at);
  const year_month_day date{day};
  const long second = (at - day).count();
  char head[96];
  const int size = std::snprintf(head, sizeof head, "%04d-%02u-%02uT%02ld:%02ld:%02ld.%06ldZ ",
                                 static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                                 static_cast<unsigned>(date.day()), second / 3600, second / 60 % 60,
                                 second % 60, now.tv_nsec / 1000);
  std::string record(head, size > 0 ? static_cast<std::size_t>(size) : 0);
  record.append(program).append("[").append(std::to_string(pid)).append("]: uid=");
  return record.append(std::to_string(uid)).append(" ").append(text).append("\n");
}

int append_record(int fd, std::string_view record) {
  const std::string framed = std::string("\n").append(record);
  struct stat st {};
  struct rlimit limit {};
  if (fstat(fd, &st) != 0 || getrlimit(RLIMIT_FSIZE, &limit) != 0) return errno;
  if (limit.rlim_cur != RLIM_INFINITY && static_cast<rlim_t>(st.st_size) + framed.size() > limit.rlim_cur) return EFBIG;
  for (;;) {
    const ssize_t written = write(fd, framed.data(), framed.size());
    if (written >= 0) return static_cast<std::size_t>(written) == framed.size() ? 0 : EIO;
    if (errno != EINTR) return errno;
  }
}

}  // namespace zel
