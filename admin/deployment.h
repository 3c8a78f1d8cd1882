// The deployment around the site file, as `zel-site check` judges it and as a
// writing command must find it before it writes. zel-auth is root:GROUP mode
// 2711 (set-group-ID) and the site file root:GROUP 0640, GROUP being the group
// of the installed zel-auth (the service group): not group 0, not one of the
// groups 1-99 that the system's own programs hold (shadow, tty, utmp, ...), not
// nogroup, nobody's or the overflow ID, with no members or administrators and
// no password under any name its ID has, and no account's primary group. The
// older form, zel-auth set-user-ID (4711) to a system account (below UID_MIN)
// that owns a 0600 site file, still works and is warned about. While zel-auth
// is unsound, the site file is only told to narrow its access, never to match
// zel-auth's owner or group. Every directory above the site file, zel-auth, a
// candidate for install and a token file is root's and writable by no one
// else (directory_faults). These are the only copies of these rules: the
// package's postinst and tools/deploy.sh ask zel-site for them (deploy.sh
// judges zel-site's own path itself, since it must trust zel-site before it
// runs it as root). Any other name beside the site file that may be a copy of
// it (NAME.bak, NAME~, *.orig, *.dpkg-*, a name that holds the site file's) is
// warned about, and so is a site file with more than one name (a hard link
// keeps the old tokens once a write replaces the file). Every finding where
// others could have read the tokens says they are exposed.
// The rules read the system through System, so a test can feed them made-up
// files, accounts and groups.
#ifndef ZEL_ADMIN_DEPLOYMENT_H_
#define ZEL_ADMIN_DEPLOYMENT_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "admin/acl.h"
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

struct Account {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
};

// A group as /etc/group has it and, when present there, /etc/gshadow.
struct GroupEntry {
  std::string name;
  gid_t gid = 0;
  std::string password;  // the /etc/group field
  std::vector<std::string> members;
  bool shadowed = false;  // the fields below come from /etc/gshadow
  std::string shadow_password;
  std::vector<std::string> administrators;
  std::vector<std::string> shadow_members;
};

struct Accounts {
  std::vector<Account> users;
  std::vector<GroupEntry> groups;
  std::optional<gid_t> overflow_gid;   // /proc/sys/kernel/overflowgid
  std::string unreadable_shadow;       // why /etc/gshadow couldn't be read, if it couldn't
  uid_t uid_min = 1000;                // UID_MIN of /etc/login.defs: the first user ID of a login account
};

// What the deployment rules read from the system.
class System {
 public:
  virtual ~System() = default;
  // 0 with st, or the errno of lstat(2) (follow: stat(2)).
  virtual int stat_path(const std::string& path, bool follow, struct stat& st) const;
  // The path with every link resolved; empty if it can't be.
  virtual std::string resolved(const std::string& path) const;
  virtual bool mounted_nosuid(const std::string& path) const;
  // 0 with present, or the errno.
  virtual int acl(const std::string& path, AclKind kind, bool& present) const;
  virtual std::vector<std::string> names_in(const std::string& dir) const;
  virtual Accounts accounts() const;
};

// What a deployment check is for: `check`, or a command about to write the site file, whose new
// file mends the live file's mode, group and ACL (reported as warnings, never silently).
enum class Purpose { kCheck, kWrite };

// The findings about the live site file, zel-auth, the directories above them and the service
// group; with no error, ownership is what a new site file gets and site what was checked.
struct DeploymentVerdict {
  std::vector<Finding> findings;
  std::optional<SiteOwnership> ownership;
  std::optional<struct stat> site;
};
DeploymentVerdict check_deployment(const char* site_path, const char* tool_path, Purpose purpose,
                                   const System& system = System());

// The findings about the group NAME as zel-auth's service group, an account departing (about
// to be removed) not counted; path names the findings.
std::vector<Finding> check_service_group(const std::string& name, const std::string& departing,
                                         const System& system = System());

// A mode's permission bits as four octal digits, as chmod takes them: "0640".
std::string octal(mode_t mode);

// What lets someone besides root change the names in a directory (st), each once, with the command
// that mends it followed by the directory: none when only root can. A sticky directory such as /tmp
// counts: there anyone can still put a file of theirs, or a root file they can move, under a name
// root has yet to use.
struct DirectoryFault {
  std::string fault;  // "owned by OWNER, not root" or "writable by others than root (mode M)"
  const char* fix;    // "chown root " or "chmod go-w "
};
std::vector<DirectoryFault> directory_faults(const struct stat& st, const std::string& owner);

// The findings about a path deploy.sh installs to (zel-auth, its prefix, the site file): a plain
// absolute path with no symbolic link along it, each directory on it that exists root's and writable
// by no one else; the first fault found, or none.
std::vector<Finding> check_install_path(const std::string& path, const System& system = System());

// The copies of the site file an edit or install left beside it (.zel-site-edit.*, .NAME.new-*).
std::vector<std::string> left_copies(const std::string& site_path, const System& system = System());

// The findings about the audit file and zel-site's record of the site file (SitePaths::record).
// The audit file is root:GROUP 0620 in a directory root:GROUP 0710, GROUP being zel-auth's
// group: zel-auth may only pass through to the file and append to it, root alone reads it.
// The record, when there is one, is root:root 0600. None is a link or carries an extended
// ACL; every directory above them is root's and writable by no one else. While
// zel-auth is missing or its group unfit, there is no group to judge them by: none is made.
std::vector<Finding> check_audit_trail(const char* audit, const char* record, const char* tool,
                                       const System& system = System());

// Makes what check_audit_trail finds missing, each with its owner and mode; false with the reason.
bool create_audit_trail(const char* audit, const char* record, const char* tool, std::string& error);

}  // namespace zel

#endif  // ZEL_ADMIN_DEPLOYMENT_H_
