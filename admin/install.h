// Putting a new site file in force, all at once or not at all. The new text is
// written to a new file beside the live one (O_EXCL, mode 0600), given its owner,
// group and mode through its descriptor, synced, and renamed over the live
// path; then the directory is synced. A directory with a default ACL, or a
// new file that has an ACL all the same, is refused before the text is
// written: the ACL would let others read it once the mode is set. A failure at any step removes the new
// file and leaves the live one as it was; no other copy is made.
#ifndef ZEL_ADMIN_INSTALL_H_
#define ZEL_ADMIN_INSTALL_H_

#include <string>
#include <string_view>

#include "admin/deployment.h"
#include "admin/lock.h"

namespace zel {

// False with the reason and the fix when the site file's directory has a default ACL, which
// every new site file would inherit.
bool directory_gives_no_acl(const std::string& site_path, std::string& error);

// What every command that installs does first: the ownership from the installed
// zel-auth, a directory without a default ACL, then the lock; false with the message.
bool prepare_install(const std::string& site_path, const char* tool_path, SiteOwnership& ownership,
                     SiteLock& lock, std::string& error);

// Installs text at site_path with the given ownership; false with the failed step and the
// system's text. True with a non-empty error: in force, but the directory's sync failed.
bool install_site_text(const std::string& site_path, std::string_view text,
                       const SiteOwnership& ownership, std::string& error);

}  // namespace zel

#endif  // ZEL_ADMIN_INSTALL_H_
