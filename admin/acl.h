// POSIX ACLs on the site file and its directory, told by their extended
// attributes alone, so zel-site needs no ACL library. An extended access ACL
// on a file makes its group bits the ACL's mask: entries dormant under mode
// 0600 give their users and groups read access once the file is 0640. A
// directory's default ACL is copied onto every file made in it, the new site
// file of an install among them. The kernel keeps no access attribute for an
// ACL that says no more than the mode, so its presence means an extended one.
#ifndef ZEL_ADMIN_ACL_H_
#define ZEL_ADMIN_ACL_H_

#include <string>

namespace zel {

enum class AclKind { kAccess, kDefault };

// Whether path (followed if a link) carries an ACL of that kind; false with errno if it can't be told.
bool path_has_acl(const std::string& path, AclKind kind, bool& present);

// Whether the open file carries an access ACL; false with errno if it can't be told.
bool file_has_acl(int fd, bool& present);

}  // namespace zel

#endif  // ZEL_ADMIN_ACL_H_
