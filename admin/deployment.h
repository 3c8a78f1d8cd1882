// The deployment around the site file, as `zel-site check` judges it and as an
// install must leave it. zel-auth is root:GROUP mode 2711 (set-group-ID) and the
// site file root:GROUP 0640, GROUP being the group of the installed zel-auth (the
// service group: not group 0, no members, no account's primary group). The older
// form, zel-auth set-user-ID (4711) to an account that owns a 0600 site file,
// still works and is warned about.
#ifndef ZEL_ADMIN_DEPLOYMENT_H_
#define ZEL_ADMIN_DEPLOYMENT_H_

#include <sys/types.h>

#include <string>
#include <vector>

#include "admin/check.h"

namespace zel {

// The owner, group and mode an installed site file gets.
struct SiteOwnership {
  uid_t uid = 0;
  gid_t gid = 0;
  mode_t mode = 0640;
  std::string owner_name;
  std::string group_name;
};

// What the installed zel-auth asks of its site file; false with the reason if nothing sound.
bool site_ownership(const char* tool_path, SiteOwnership& ownership, std::string& error);

// The findings about the live site file, zel-auth and the directories above them.
std::vector<Finding> check_deployment(const char* site_path, const char* tool_path);

}  // namespace zel

#endif  // ZEL_ADMIN_DEPLOYMENT_H_
