// Putting a new site file in force, all at once or not at all. The new text is
// written to a new file beside the live one (O_EXCL, mode 0600), given its owner,
// group and mode through its descriptor, synced, and renamed over the live
// path; then the directory is synced. A directory with a default ACL, or a
// new file that has an ACL all the same, is refused before the text is
// written: the ACL would let others read it once the mode is set. Just before
// the rename the live file is read again: if it is no longer the file, or the
// text, that the command read (another writer replaced or changed it), nothing
// is installed and the other writer's change stays. A failure at any step
// removes the new file and leaves the live one as it was; no other copy is made.
#ifndef ZEL_ADMIN_INSTALL_H_
#define ZEL_ADMIN_INSTALL_H_

#include <sys/types.h>

#include <string>
#include <string_view>

#include "admin/deployment.h"
#include "util/secret.h"
#include "util/unique_fd.h"

namespace zel {

// The live site file as a writing command read it: absent, or its identity and text.
struct LiveFile {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  SecretBytes text;
  bool mended = false;  // the deployment check found its mode, group or ACL wrong: a write mends them
};

// Reads the live site file, a link refused (O_NOFOLLOW); false with "PATH: reason".
bool read_live_file(const std::string& site_path, LiveFile& live, std::string& error);

// Opens path, with no symbolic link anywhere along it, as a file only root can have written: a
// regular file of root's with one name, none of the mode bits in forbidden (others may write: 022),
// in directories only root can write (admin/deployment.h). Else none, with the reason and then how
// (a sentence that follows a colon); refused tells a file refused for what it is from one that
// can't be read.
UniqueFd open_roots_file(const std::string& path, mode_t forbidden, const char* how, std::string& error,
                         bool& refused);

// Why fd, standard input and a FIFO, is not taken as a pipe: empty for a pipe a command's output
// was joined to (cmd | zel-site), which lives on no file system and no one else can open; a named
// pipe (mkfifo) is refused, since whoever can open its name writes into it, and so is a FIFO that
// can't be examined. The reason is a sentence to be followed by a colon and the way that works.
std::string named_pipe_fault(int fd);

// Reads the file `install` is given: open_roots_file's, or ("-") standard input, a pipe alone
// (named_pipe_fault); false with the reason it is refused (refused: as open_roots_file's).
bool read_candidate(const std::string& path, SecretBytes& text, std::string& error, bool& refused);

// False with the reason and the fix when the site file's directory has a default ACL, which
// every new site file would inherit.
bool directory_gives_no_acl(const std::string& site_path, std::string& error);

// Installs text at site_path with the given ownership if the live file is still as read; false
// with a whole sentence that names site_path. True with a non-empty error: in force, but the
// directory's sync failed.
bool install_site_text(const std::string& site_path, std::string_view text,
                       const SiteOwnership& ownership, const LiveFile& as_read, std::string& error);

}  // namespace zel

#endif  // ZEL_ADMIN_INSTALL_H_
