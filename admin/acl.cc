#include "admin/acl.h"

#include <sys/xattr.h>

#include <cerrno>

namespace zel {

namespace {

constexpr const char* kAccessName = "system.posix_acl_access";
constexpr const char* kDefaultName = "system.posix_acl_default";

// The answer of a size query: none when the attribute is absent or the file
// system knows no ACLs at all.
bool told(ssize_t size, bool& present) {
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
  return told(getxattr(path.c_str(), name, nullptr, 0), present);
}

bool file_has_acl(int fd, bool& present) { return told(fgetxattr(fd, kAccessName, nullptr, 0), present); }

}  // namespace zel
