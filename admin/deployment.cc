#include "admin/deployment.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>

#include "admin/acl.h"

namespace zel {

namespace {

std::string octal(mode_t mode) {
  char text[16];
  (void)std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::string user_name(uid_t uid) {
  const passwd* entry = getpwuid(uid);
  return entry != nullptr ? entry->pw_name : "user ID " + std::to_string(uid);
}

std::string parent_of(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Every directory above path, as written and as resolved: root's, and writable by no one else.
void check_directories(const std::string& path, std::set<std::string>& seen, Findings& findings) {
  std::vector<std::string> dirs;
  for (std::string dir = parent_of(path);; dir = parent_of(dir)) {
    dirs.push_back(dir);
    if (dir == "/" || dir == ".") break;
  }
  const std::unique_ptr<char, decltype(&std::free)> real(realpath(parent_of(path).c_str(), nullptr),
                                                         &std::free);
  if (real) {
    for (std::string dir = real.get();; dir = parent_of(dir)) {
      dirs.push_back(dir);
      if (dir == "/") break;
    }
  }
  for (const std::string& dir : dirs) {
    if (!seen.insert(dir).second) continue;
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0) {
      findings.error(dir, std::string("can't be examined: ") + std::strerror(errno));
      continue;
    }
    if (st.st_uid != 0) {
      findings.error(dir, "owned by " + user_name(st.st_uid) + ", not root: chown root " + dir);
    }
    if ((st.st_mode & 022) != 0) {
      findings.error(dir, "writable by others than root (mode " + octal(st.st_mode) +
                              "): chmod go-w " + dir);
    }
  }
}

// The service group: not group 0, no members, no account's primary group.
void check_group(const std::string& tool, gid_t gid, Findings& findings) {
  if (gid == 0) {
    findings.error(tool, "its group is group 0: give zel-auth a service group of its own (chgrp zel " +
                             tool + ")");
    return;
  }
  const group* entry = getgrgid(gid);
  if (entry == nullptr) {
    findings.error(tool, "its group (group ID " + std::to_string(gid) +
                             ") no longer exists: create the service group and chgrp zel-auth to it");
    return;
  }
  const std::string name = entry->gr_name;
  std::string members;
  for (char* const* member = entry->gr_mem; *member != nullptr; ++member) {
    members += (members.empty() ? "" : ", ") + std::string(*member);
  }
  if (!members.empty()) {
    findings.error(tool, "the service group " + name + " has members (" + members +
                             "), who can read every token: remove them (gpasswd -d USER " + name + ")");
  }
  setpwent();
  while (const passwd* account = getpwent()) {
    if (account->pw_gid == gid) {
      findings.error(tool, "the service group " + name + " is the primary group of the account " +
                               account->pw_name + ", whose processes can read every token: give " +
                               account->pw_name + " another primary group");
    }
  }
  endpwent();
}

// The site file without an extended ACL, its directory without any: an entry that
// is dormant while the group bits are --- reads the tokens once they are r--.
void check_acls(const std::string& site, bool site_is_file, Findings& findings) {
  const std::string dir = parent_of(site);
  struct Examined {
    const std::string& path;
    AclKind kind;
    bool examine;
    const char* fault;
  };
  const Examined examined[] = {
      {site, AclKind::kAccess, site_is_file,
       "an extended ACL, whose users and groups read the tokens once the mode grants the group read "
       "access (its mask): setfacl -b "},
      {dir, AclKind::kDefault, true,
       "a default ACL, which every new file in it inherits, the site file zel-site installs too: setfacl -k "},
      {dir, AclKind::kAccess, true, "an extended ACL, which may let others than root change it: setfacl -b "},
  };
  for (const Examined& e : examined) {
    if (!e.examine) continue;
    bool present = false;
    if (!path_has_acl(e.path, e.kind, present)) {
      findings.error(e.path, std::string("its ACLs can't be examined: ") + std::strerror(errno));
    } else if (present) {
      findings.error(e.path, std::string("carries ") + e.fault + e.path);
    }
  }
}

}  // namespace

bool site_ownership(const char* tool_path, SiteOwnership& ownership, std::string& error) {
  struct stat st {};
  if (lstat(tool_path, &st) != 0) {
    error = std::string(tool_path) + ": " + std::strerror(errno);
    return false;
  }
  if (st.st_uid != 0) {
    // The older form: the account zel-auth is set-user-ID to reads its own 0600 file.
    const passwd* account = getpwuid(st.st_uid);
    if (account == nullptr) {
      error = std::string(tool_path) + ": its owner (user ID " + std::to_string(st.st_uid) +
              ") no longer exists";
      return false;
    }
    ownership = {st.st_uid, st.st_gid, 0600, account->pw_name, {}};
  } else {
    ownership = {0, st.st_gid, 0640, "root", {}};
  }
  const group* entry = getgrgid(st.st_gid);
  if (entry == nullptr) {
    error = std::string(tool_path) + ": its group, the service group (group ID " +
            std::to_string(st.st_gid) + "), no longer exists";
    return false;
  }
  if (st.st_gid == 0) {
    error = std::string(tool_path) + ": its group is group 0, which can't be the service group";
    return false;
  }
  ownership.group_name = entry->gr_name;
  return true;
}

std::vector<Finding> check_deployment(const char* site_path, const char* tool_path) {
  Findings findings;
  const std::string tool = tool_path;
  const std::string site = site_path;
  std::set<std::string> seen;

  struct stat tool_st {};
  const int tool_errno = lstat(tool_path, &tool_st) == 0 ? 0 : errno;
  const bool tool_ok = tool_errno == 0 && S_ISREG(tool_st.st_mode);
  if (tool_errno == ENOENT) {
    findings.error(tool, "zel-auth is not installed here: install it (tools/deploy.sh, or the package)");
  } else if (tool_errno != 0) {
    findings.error(tool, std::string("can't be examined: ") + std::strerror(tool_errno));
  } else if (!tool_ok) {
    findings.error(tool, "not a regular file: install zel-auth itself here, not a link");
  }
  const bool setuid_form = tool_ok && tool_st.st_uid != 0;
  if (tool_ok && !setuid_form) {
    if ((tool_st.st_mode & 07777) != 02711) {
      findings.error(tool, "mode " + octal(tool_st.st_mode) + ", not 2711: chmod 2711 " + tool);
    }
    check_group(tool, tool_st.st_gid, findings);
  } else if (setuid_form) {
    const std::string owner = user_name(tool_st.st_uid);
    if ((tool_st.st_mode & 07777) != 04711) {
      findings.error(tool, "owned by " + owner + " with mode " + octal(tool_st.st_mode) +
                               ": make it root:zel 2711 (tools/deploy.sh)");
    } else {
      findings.warning(tool, "set-user-ID to the account " + owner +
                                 " (the older form): it works, but whoever gets that account can "
                                 "replace zel-auth; prefer root:zel 2711 with a root:zel 0640 "
                                 "site file (tools/deploy.sh)");
    }
  }
  if (tool_ok) {
    struct statvfs fs {};
    if (statvfs(tool_path, &fs) == 0 && (fs.f_flag & ST_NOSUID) != 0) {
      findings.error(tool, "on a file system mounted nosuid, where set-group-ID has no effect: "
                           "install it elsewhere or remount without nosuid");
    }
  }
  check_directories(tool, seen, findings);

  struct stat site_st {};
  const bool site_seen = lstat(site_path, &site_st) == 0;
  if (!site_seen) {
    findings.error(site, std::string("can't be examined: ") + std::strerror(errno) +
                             ": write it with zel-site edit");
  } else if (S_ISLNK(site_st.st_mode)) {
    findings.error(site, "a symbolic link: the site file must be the file itself (zel-site install "
                         "FILE puts one in its place)");
  } else if (!S_ISREG(site_st.st_mode)) {
    findings.error(site, "not a regular file");
  } else if (tool_ok) {
    const uid_t want_uid = setuid_form ? tool_st.st_uid : 0;
    const mode_t want_mode = setuid_form ? 0600 : 0640;
    if (site_st.st_uid != want_uid) {
      findings.error(site, "owned by " + user_name(site_st.st_uid) + ", not " + user_name(want_uid) +
                               ": chown " + user_name(want_uid) + " " + site);
    }
    if (site_st.st_gid != tool_st.st_gid) {
      const group* want = getgrgid(tool_st.st_gid);
      const std::string name = want != nullptr ? want->gr_name : std::to_string(tool_st.st_gid);
      findings.error(site, "its group is not " + name + ", the group of " + tool + ": chgrp " + name +
                               " " + site);
    }
    if ((site_st.st_mode & 07777) != want_mode) {
      findings.error(site, "mode " + octal(site_st.st_mode) + ", not " + octal(want_mode) + ": chmod " +
                               octal(want_mode) + " " + site);
    }
  }
  check_acls(site, site_seen && S_ISREG(site_st.st_mode), findings);
  check_directories(site, seen, findings);
  return findings.done();
}

}  // namespace zel
