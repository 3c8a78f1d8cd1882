// The site file: opened once, at the start of a run, while the tool still holds the
// service group's privilege (set-group-ID; in the older set-user-ID form, the
// service account's), and read later through that descriptor only.
// The path is never looked at again after the open, so what is read is what was
// opened. The outcome of the open is kept and reported when the run reaches the
// step that reads the file, so a refused user never learns anything about it.
// Before a byte is read, the open file is checked for exposure: readable by
// other users, readable by a group but the one zel-auth runs as (the service
// group; none in the older set-user-ID form), writable by its group or others,
// owned by anyone but root (in the older set-user-ID form: the service
// account), or carrying a POSIX ACL
// (which grants someone more than the mode says) means its tokens must be
// treated as known, and the run stops there rather than sign with them.
#ifndef ZEL_SITE_SITE_FILE_H_
#define ZEL_SITE_SITE_FILE_H_

#include <sys/types.h>

#include <cstddef>

#include "util/secret.h"
#include "util/unique_fd.h"

namespace zel {

// The owner of a file whose owner is not checked.
inline constexpr auto kAnyOwner = static_cast<uid_t>(-1);
// The group of a file no group may read: no file has it.
inline constexpr auto kNoGroup = static_cast<gid_t>(-1);

// An opened site file, or why its open failed.
struct SiteFile {
  UniqueFd fd;
  int open_errno = 0;
  mode_t mode = 0;  // the path's type when the open failed, or 0
  // The one owner besides root the file may have, and the one group that may
  // read it; with kAnyOwner, exposure is not checked (a test's file).
  uid_t owner = kAnyOwner;
  gid_t group = kNoGroup;
};

// Opens the file read-only, to be checked against owner and group; never
// blocks on a FIFO and never takes a terminal. When the open fails, the path's
// type is kept too, so that a socket or device is reported as the wrong kind
// of file rather than by the open's error.
SiteFile open_site_file(const char* path, uid_t owner = kAnyOwner, gid_t group = kNoGroup);

// Reads fd from where it stands to its end into text, which is all the memory the bytes ever pass
// through, expecting about expected bytes; 0, or the errno of the read that failed (text then empty).
int read_secret(int fd, SecretBytes& text, std::size_t expected = 0);

// Checks the opened file for exposure, then reads all of it into text
// (NUL-terminated); 0, or 6 with its message.
int read_site_file(const SiteFile& file, const char* path, SecretBytes& text);

}  // namespace zel

#endif  // ZEL_SITE_SITE_FILE_H_
