// `zel-site edit`: the live site file edited the safe way. Under the lock, the
// file is copied into a private directory (mode 0700, beside the site file, so
// no copy of the tokens lands anywhere else), the editor runs on the copy, and
// the result is checked. With errors, the administrator is asked "What now?"
// on standard error and answers on standard input: e edits again, x leaves the
// live file as it is (also at the end of the input), Q installs anyway after a
// second confirmation. The result is put in force by commit_change()
// (admin/commit.h): an unchanged copy is not installed unless the live file's
// mode, group or ACL is to be mended. The private directory goes before the
// result is installed, and on every way out, interrupts included.
#ifndef ZEL_ADMIN_EDITOR_H_
#define ZEL_ADMIN_EDITOR_H_

#include <cstdio>
#include <string>
#include <vector>

#include "admin/commit.h"

namespace zel {

// The editor's command: the first set of SUDO_EDITOR, VISUAL, EDITOR split at blanks; empty for the default.
std::vector<std::string> editor_command();

// Edits the live site file, answers read from answers, the change recorded (admin/commit.h).
SiteStatus edit_site(const SitePaths& paths, std::FILE* answers);

}  // namespace zel

#endif  // ZEL_ADMIN_EDITOR_H_
