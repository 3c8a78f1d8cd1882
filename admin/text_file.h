// Whole site texts in and out of files, for zel-site: one reader into wiped
// memory (the live file, a candidate, the edited copy), one write loop, and the
// directory and name of a path. Only a regular file is read, and a file is
// opened without following a link where the caller asks, so that what was read
// is the file that was named.
#ifndef ZEL_ADMIN_TEXT_FILE_H_
#define ZEL_ADMIN_TEXT_FILE_H_

#include <sys/stat.h>

#include <string>
#include <string_view>
#include <utility>

#include "util/secret.h"

namespace zel {

// How read_text_file opens its path and what it tells besides the text.
struct ReadOptions {
  bool follow_link = true;             // false: a symbolic link in the last place is refused (O_NOFOLLOW)
  bool* missing = nullptr;             // set when the path does not exist
  struct stat* status = nullptr;       // the status of the file read (its identity: st_dev, st_ino)
};

// Reads the regular file at path into text; false with "PATH: reason".
bool read_text_file(const std::string& path, SecretBytes& text, std::string& error,
                    const ReadOptions& options = {});

// Reads the open file fd, named name in messages, to its end; false with "NAME: reason".
bool read_text_fd(int fd, const std::string& name, SecretBytes& text, std::string& error);

// Writes all of text to fd, through interrupted and short writes; false with errno.
bool write_all(int fd, std::string_view text);

// Writes text to a file of root's alone at path, no link followed, opened with flags besides
// (O_EXCL: a new file; O_TRUNC: in place); false with errno.
bool write_file(const std::string& path, std::string_view text, int flags);

// The directory of path ("." for a bare name, "/" for the root's entries) and its last name.
std::pair<std::string, std::string> split_path(const std::string& path);

}  // namespace zel

#endif  // ZEL_ADMIN_TEXT_FILE_H_
