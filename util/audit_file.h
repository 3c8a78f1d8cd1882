// The audit file: the record of truth of every signature zel-auth makes and of
// every change zel-site puts in force. Its path is fixed when the programs are
// built. zel-auth opens it while it still holds the service group and appends
// through that descriptor after the group is gone; zel-site appends as root.
// No user can write a line into it, drop one from it or read it.
//
// A record is one line, "TIME PROGRAM[PID]: uid=UID TEXT", written with a
// single write() on a descriptor opened with O_APPEND, so the records of
// parallel runs never interleave. It is written as "\n" + line + "\n", so it
// starts a line of its own whatever precedes it: a record the kernel cut short
// (the writer's file size limit reached by others' appends after its check,
// or lowered from outside, as a caller may lower its own running tool's)
// stands on its own line, as a line that doesn't parse, and never swallows the
// next. Readers skip the empty lines between records.
// TIME is UTC to the microsecond, "2026-12-09T10:11:12.123456Z"; UID is the
// real user ID; TEXT is the program's line, its fields escaped as
// util/log_field.h says, so a record can't hold a newline or fake a field.
#ifndef ZEL_UTIL_AUDIT_FILE_H_
#define ZEL_UTIL_AUDIT_FILE_H_

#include <sys/types.h>

#include <ctime>
#include <string>
#include <string_view>

#include "util/unique_fd.h"

namespace zel {

// The group of an audit file for a program with no service group to compare
// it to (zel-auth in the older set-user-ID form, or run without set-ID).
inline constexpr gid_t kAnyGroup = static_cast<gid_t>(-1);

// Opens path for appending, never following a link and never blocking; 0 with
// fd, or the errno. A file that is not regular gives EINVAL; one whose owner is
// neither root nor owner, whose group is not group (unless kAnyGroup), or that
// others may write, EPERM.
int open_audit_file(const char* path, uid_t owner, gid_t group, UniqueFd& fd);

// The record of one line of program's, pid's and uid's at the time now.
std::string audit_record(std::string_view program, const std::timespec& now, long pid, uid_t uid,
                         std::string_view text);

// Appends "\n" + record with one write(); 0, or the errno: EFBIG, with nothing
// written, when the file would pass the caller's file size limit; EIO for a
// short write, which the file then holds in part on a line of its own.
int append_record(int fd, std::string_view record);

}  // namespace zel

#endif  // ZEL_UTIL_AUDIT_FILE_H_
