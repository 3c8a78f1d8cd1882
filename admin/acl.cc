#include "admin/acl.h"

#include <sys/xattr.h>

#include <cerrno>

namespace zel {

namespace {

constexpr const char* kAccessName = "system.posix_acl_access";
constexpr const char* kDefaultName = "system.posix_acl_default";

// Whether an ACL is present, from getxattr's size query for its attribute:
// present at any size, absent when the attribute is missing or the file system
// knows no ACLs at all; false (with errno) when the query itself failed.
bool acl_presence_from_size(ssize_t size, bool& present) {
  if (size >= 0) {
    present = true;
    return true;
  }
  present = false;
  return errno == ENODATA || errno == ENOTSUP;
}

}  // namespace

bool path_has_acl(const std::string& path, AclKind kind, bool& present) {
  const char* name = kind == AclKind::kAccess ? kAccessName : kDefaultName;
  return acl_presence_from_size(getxattr(path.c_str(), name, nullptr, 0), present);
}

bool file_has_acl(int fd, bool& present) {
  return acl_presence_from_size(fgetxattr(fd, kAccessName, nullptr, 0), present);
}

}  // namespace zel
