#include "admin/deployment.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gshadow.h>
#include <pwd.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <set>

#include "admin/text_file.h"
#include "util/unique_fd.h"

namespace zel {

int System::stat_path(const std::string& path, bool follow, struct stat& st) const {
  return (follow ? stat(path.c_str(), &st) : lstat(path.c_str(), &st)) == 0 ? 0 : errno;
}

std::string System::resolved(const std::string& path) const {
  std::error_code error;
  return std::filesystem::canonical(path, error).string();
}

bool System::mounted_nosuid(const std::string& path) const {
  struct statvfs fs {};
  return statvfs(path.c_str(), &fs) == 0 && (fs.f_flag & ST_NOSUID) != 0;
}

int System::acl(const std::string& path, AclKind kind, bool& present) const {
  return path_has_acl(path, kind, present) ? 0 : errno;
}

std::vector<std::string> System::names_in(const std::string& dir) const {
  std::vector<std::string> names;
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) return names;
  while (const dirent* entry = readdir(listing)) names.emplace_back(entry->d_name);
  closedir(listing);
  return names;
}

namespace {

void read_passwd_and_group(Accounts& all) {
  setpwent();
  while (const passwd* account = getpwent()) {
    all.users.push_back({account->pw_name, account->pw_uid, account->pw_gid});
  }
  endpwent();
  setgrent();
  while (const group* entry = getgrent()) {
    GroupEntry& g = all.groups.emplace_back();
    g.name = entry->gr_name;
    g.gid = entry->gr_gid;
    g.password = entry->gr_passwd != nullptr ? entry->gr_passwd : "";
    for (char* const* member = entry->gr_mem; *member != nullptr; ++member) g.members.emplace_back(*member);
  }
  endgrent();
}

void read_gshadow(Accounts& all) {
  std::FILE* shadow = std::fopen("/etc/gshadow", "re");
  if (shadow == nullptr) {
    if (errno != ENOENT) all.unreadable_shadow = std::strerror(errno);
    return;
  }
  while (const sgrp* entry = fgetsgent(shadow)) {
    for (GroupEntry& g : all.groups) {
      if (g.name != entry->sg_namp) continue;
      g.shadowed = true;
      g.shadow_password = entry->sg_passwd != nullptr ? entry->sg_passwd : "";
      for (char* const* name = entry->sg_adm; *name != nullptr; ++name) g.administrators.emplace_back(*name);
      for (char* const* name = entry->sg_mem; *name != nullptr; ++name) g.shadow_members.emplace_back(*name);
    }
  }
  (void)std::fclose(shadow);
}

// The number after key and a blank on a line of path that starts with it (key empty: the number a
// line starts with), the last one if several; none where no value can be read as an Id.
template <typename Id>
std::optional<Id> read_id(const char* path, std::string_view key) {
  std::optional<Id> value;
  std::FILE* file = std::fopen(path, "re");
  if (file == nullptr) return value;
  char line[256];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    const char* text = line + std::strspn(line, " \t");
    // The key, then a blank (or the line's end, which strchr finds too: strtoul
    // then takes no digit, and the line gives no value).
    if (!key.empty() && (std::string_view(text).substr(0, key.size()) != key ||
                         std::strchr(" \t", text[key.size()]) == nullptr)) {
      continue;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long id = std::strtoul(text + key.size(), &end, 10);
    if (end != text + key.size() && errno == 0 && id <= std::numeric_limits<Id>::max()) value = static_cast<Id>(id);
  }
  (void)std::fclose(file);
  return value;
}

}  // namespace

Accounts System::accounts() const {
  Accounts all;
  read_passwd_and_group(all);
  read_gshadow(all);
  all.uid_min = read_id<uid_t>("/etc/login.defs", "UID_MIN").value_or(all.uid_min);
  all.overflow_gid = read_id<gid_t>("/proc/sys/kernel/overflowgid", "");
  return all;
}

namespace {

// Said of every finding where others could have read the site file.
constexpr const char* kExposed =
    "; others could have read every token in the site file: treat them as exposed and rotate them "
    "(zel-site set-token)";

std::string user_name(const Accounts& accounts, uid_t uid) {
  const auto found = std::find_if(accounts.users.begin(), accounts.users.end(),
                                  [&](const Account& a) { return a.uid == uid; });
  return found != accounts.users.end() ? found->name : "user ID " + std::to_string(uid);
}

const GroupEntry* group_of(const Accounts& accounts, gid_t gid) {
  const auto found = std::find_if(accounts.groups.begin(), accounts.groups.end(),
                                  [&](const GroupEntry& g) { return g.gid == gid; });
  return found != accounts.groups.end() ? &*found : nullptr;
}

// A group's name, or its ID where no group has it.
std::string group_name(const Accounts& accounts, gid_t gid) {
  const GroupEntry* group = group_of(accounts, gid);
  return group != nullptr ? group->name : std::to_string(gid);
}

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

// A group password lets whoever knows it join with newgrp; these let no one.
bool locked(const std::string& password) {
  return password.empty() || password == "x" || password.starts_with('!') || password.starts_with('*');
}

// path and every directory above it, up to "/" (or "." for a relative path).
std::vector<std::string> with_ancestors(const std::string& path) {
  std::vector<std::string> dirs{path};
  while (dirs.back() != "/" && dirs.back() != ".") dirs.push_back(split_path(dirs.back()).first);
  return dirs;
}

// Every directory above path, as written and as resolved: root's, and writable by no one else.
void check_directories(const std::string& path, const System& system, const Accounts& accounts,
                       std::set<std::string>& seen, Findings& findings) {
  std::vector<std::string> dirs = with_ancestors(split_path(path).first);
  const std::string real = system.resolved(split_path(path).first);
  if (!real.empty()) {
    const std::vector<std::string> resolved = with_ancestors(real);
    dirs.insert(dirs.end(), resolved.begin(), resolved.end());
  }
  for (const std::string& dir : dirs) {
    if (!seen.insert(dir).second) continue;
    struct stat st {};
    if (const int error = system.stat_path(dir, true, st); error != 0) {
      findings.error(dir, std::string("can't be examined: ") + std::strerror(error));
      continue;
    }
    for (const DirectoryFault& fault : directory_faults(st, user_name(accounts, st.st_uid))) {
      findings.error(dir, fault.fault + ": " + fault.fix + dir);
    }
  }
}

// The members, administrators and passwords of one name of the service group (id: its ID's words).
void check_group_entry(const std::string& path, const GroupEntry& g, const std::string& id, Findings& findings) {
  const struct {
    bool found;
    std::string fault;  // what is wrong, up to the gpasswd options that mend it
  } faults[] = {
      {!g.members.empty(),
       "has members (" + joined(g.members) + "), who can read every token: remove them (gpasswd -d USER "},
      {!locked(g.password), "has a password, with which anyone can join it: remove it (gpasswd -r "},
      {g.shadowed && !g.shadow_members.empty(),
       "has members (" + joined(g.shadow_members) + ") in /etc/gshadow, who can read every token: remove them "
       "(gpasswd -M '' "},
      {g.shadowed && !g.administrators.empty(),
       "has administrators (" + joined(g.administrators) + ") in /etc/gshadow, who can join it: remove them "
       "(gpasswd -A '' "},
      {g.shadowed && !locked(g.shadow_password),
       "has a password in /etc/gshadow, with which anyone can join it: remove it (gpasswd -r "},
  };
  for (const auto& f : faults) {
    if (f.found) findings.error(path, "group " + g.name + " (" + id + ") " + f.fault + g.name + ")" + kExposed);
  }
}

// Whether gid is that of nogroup, nobody or the overflow ID, which files of unmapped owners show.
bool unmapped_id(gid_t gid, const Accounts& accounts) {
  return accounts.overflow_gid == gid ||
         std::any_of(accounts.groups.begin(), accounts.groups.end(), [&](const GroupEntry& g) {
           return g.gid == gid && (g.name == "nogroup" || g.name == "nobody");
         }) ||
         std::any_of(accounts.users.begin(), accounts.users.end(),
                     [&](const Account& a) { return a.gid == gid && a.name == "nobody"; });
}

// The rules of the service group of ID gid, found under name; departing is an account not counted.
// Debian allocates the groups 0-99 statically to the system's own programs (shadow 42, tty 5, utmp
// 43, ...): their helpers would read the tokens, and zel-auth would read what those groups guard.
void check_group(const std::string& path, gid_t gid, const std::string& departing, const Accounts& accounts,
                 Findings& findings) {
  const GroupEntry* first = group_of(accounts, gid);
  const std::string id = "group ID " + std::to_string(gid);
  if (gid == 0) {
    findings.error(path, "group " + (first != nullptr ? first->name : "root") + " (" + id +
                             ") is root's group, which can't be the service group: give zel-auth a group of "
                             "its own (tools/deploy.sh --group NAME)");
    return;
  }
  if (first == nullptr) {
    findings.error(path, id + " no longer exists: create the service group and chgrp zel-auth to it");
    return;
  }
  const std::string named = "group " + first->name + " (" + id + ")";
  if (gid < 100) {
    findings.error(path, named + " is one of the groups 0-99 that the system's own programs hold (shadow, tty, "
                                 "utmp, ...), whose processes can read every token: give zel-auth a group of its "
                                 "own (tools/deploy.sh --group NAME)" + kExposed);
  }
  if (unmapped_id(gid, accounts)) {
    findings.error(path, named + " has the ID of nogroup, nobody or the overflow ID, which files of unmapped "
                                 "owners show: give zel-auth a group of its own");
  }
  for (const GroupEntry& g : accounts.groups) {
    if (g.gid == gid) check_group_entry(path, g, id, findings);
  }
  for (const Account& a : accounts.users) {
    if (a.gid != gid || a.name == departing) continue;
    findings.error(path, named + " is the primary group of " + a.name + ", whose processes can read every "
                                 "token: give " + a.name + " another primary group (usermod -g)" + kExposed);
  }
  if (!accounts.unreadable_shadow.empty()) {
    findings.warning(path, "/etc/gshadow can't be read (" + accounts.unreadable_shadow +
                               "): the members and administrators it gives group " + first->name +
                               " are not checked; run this as root");
  }
}

// The site file without an extended ACL, its directory without any: an entry that
// is dormant while the group bits are --- reads the tokens once they are r--.
// A new site file carries no ACL, so a write mends the file's own.
void check_acls(const std::string& site, bool site_is_file, Purpose purpose, const System& system,
                Findings& findings) {
  const std::string dir = split_path(site).first;
  bool present = false;
  if (site_is_file) {
    if (const int error = system.acl(site, AclKind::kAccess, present); error != 0) {
      findings.error(site, std::string("its ACLs can't be examined: ") + std::strerror(error));
    } else if (present && purpose == Purpose::kCheck) {
      findings.error(site, "carries an extended ACL, whose users and groups read the tokens once the mode "
                           "grants the group read access (its mask): setfacl -b " + site + kExposed);
    } else if (present) {
      findings.warning(site, "carries an extended ACL, which the new file will not" + std::string(kExposed));
    }
  }
  const struct {
    AclKind kind;
    const char* fault;
  } examined[] = {
      {AclKind::kDefault,
       "a default ACL, which every new file in it inherits, the site file zel-site installs too: setfacl -k "},
      {AclKind::kAccess, "an extended ACL, which may let others than root change it: setfacl -b "},
  };
  for (const auto& e : examined) {
    if (const int error = system.acl(dir, e.kind, present); error != 0) {
      findings.error(dir, std::string("its ACLs can't be examined: ") + std::strerror(error));
    } else if (present) {
      findings.error(dir, std::string("carries ") + e.fault + dir);
    }
  }
}

// Whether gid passes the rules of a service group.
bool sound_group(gid_t gid, const Accounts& accounts) {
  Findings scratch;
  check_group("", gid, "", accounts, scratch);
  return !has_errors(scratch.done(), false);
}

// zel-auth as check_tool found it: its status when it is a regular file, and whether its
// owner, mode and group are a sound form, whose owner and group the site file may then get.
struct ToolState {
  std::optional<struct stat> st;
  bool sound = false;
};

// zel-auth set-user-ID to an account, the older form; whether it is sound.
bool check_older_form(const std::string& tool, const struct stat& st, const Accounts& accounts, Findings& findings) {
  const std::string owner = user_name(accounts, st.st_uid);
  if ((st.st_mode & 07777) != 04711) {
    findings.error(tool, "owned by " + owner + " with mode " + octal(st.st_mode) +
                             ": make it root:zel 2711 (tools/deploy.sh)");
    return false;
  }
  if (owner.starts_with("user ID ")) {
    findings.error(tool, "set-user-ID to " + owner + ", which no account has: make it root:zel 2711 "
                                                     "(tools/deploy.sh)");
    return false;
  }
  if (st.st_uid >= accounts.uid_min) {
    // A login account, or one shared like nobody: whoever runs as it owns the site file.
    findings.error(tool, "set-user-ID to the account " + owner + " (user ID " + std::to_string(st.st_uid) +
                             "), which is no system account (those are below UID_MIN, " +
                             std::to_string(accounts.uid_min) + ", of /etc/login.defs): that account can "
                             "read every token; make zel-auth root:zel 2711 with a root:zel 0640 site file "
                             "(tools/deploy.sh)" + kExposed);
    return false;
  }
  findings.warning(tool, "set-user-ID to the account " + owner +
                             " (the older form): it works, but whoever gets that account can "
                             "replace zel-auth; prefer root:zel 2711 with a root:zel 0640 "
                             "site file (tools/deploy.sh)");
  return true;
}

// zel-auth itself.
ToolState check_tool(const std::string& tool, const System& system, const Accounts& accounts,
                     Findings& findings) {
  ToolState state;
  struct stat st {};
  const int error = system.stat_path(tool, false, st);
  if (error == ENOENT) {
    findings.error(tool, "zel-auth is not installed here: install it (tools/deploy.sh, or the package)");
    return state;
  }
  if (error != 0) {
    findings.error(tool, std::string("can't be examined: ") + std::strerror(error));
    return state;
  }
  if (!S_ISREG(st.st_mode)) {
    findings.error(tool, "not a regular file: install zel-auth itself here, not a link");
    return state;
  }
  state.st = st;
  if (st.st_uid == 0) {
    if ((st.st_mode & 07777) != 02711) {
      findings.error(tool, "mode " + octal(st.st_mode) + ", not 2711: chmod 2711 " + tool);
    }
    check_group(tool, st.st_gid, "", accounts, findings);
    state.sound = sound_group(st.st_gid, accounts);
  } else {
    state.sound = check_older_form(tool, st, accounts, findings);
    if (group_of(accounts, st.st_gid) == nullptr || st.st_gid == 0) check_group(tool, st.st_gid, "", accounts, findings);
  }
  if (system.mounted_nosuid(tool)) {
    findings.error(tool, "on a file system mounted nosuid, where set-group-ID has no effect: "
                         "install it elsewhere or remount without nosuid");
  }
  return state;
}

// The live site file while zel-auth is unsound: matching its owner or group could hand the
// tokens to whoever holds them, so each finding only narrows who can reach the file.
void check_site_alone(const std::string& site, const struct stat& st, const Accounts& accounts,
                      Findings& findings) {
  const std::string until = " (zel-auth is not sound: mend it first, as its findings say)";
  if (st.st_uid != 0) {
    findings.error(site, "owned by " + user_name(accounts, st.st_uid) + ", not root: chown root " + site + until +
                             kExposed);
  }
  if ((st.st_mode & 07) != 0) {
    findings.error(site, "mode " + octal(st.st_mode) + " lets every user at it: chmod o= " + site + until +
                             ((st.st_mode & 04) != 0 ? kExposed : ""));
  }
  if ((st.st_mode & 070) != 0 && !sound_group(st.st_gid, accounts)) {
    findings.error(site, "mode " + octal(st.st_mode) + " lets its group " + group_name(accounts, st.st_gid) +
                             ", which is no sound service group, at it: chmod g= " + site + until +
                             ((st.st_mode & 040) != 0 ? kExposed : ""));
  }
}

// A fault of the live site file that a write mends: an error with its fix for check, a warning
// that says what the new file is for a writing command; either says so when the tokens are exposed.
void mendable(const std::string& site, const std::string& fault, const std::string& fix, const std::string& mended,
              bool exposed, Purpose purpose, Findings& findings) {
  const std::string exposure = exposed ? kExposed : "";
  if (purpose == Purpose::kCheck) {
    findings.error(site, fault + ": " + fix + exposure);
  } else {
    findings.warning(site, fault + mended + exposure);
  }
}

// What a sound zel-auth (tool) asks of the site file: its owner (root, or the older form's account)
// and group, mode 0640 (0600 in the older form).
SiteOwnership ownership_for(const struct stat& tool, const Accounts& accounts) {
  return {tool.st_uid, tool.st_gid, tool.st_uid != 0 ? 0600U : 0640U, user_name(accounts, tool.st_uid),
          group_name(accounts, tool.st_gid)};
}

// The live site file, owned and moded as a sound zel-auth asks.
void check_site(const std::string& site, const std::string& tool_path, const ToolState& tool_state,
                const struct stat& st, Purpose purpose, const Accounts& accounts, Findings& findings) {
  if (S_ISLNK(st.st_mode)) {
    // Writing commands refuse a link in the live file's place: removing it is what works.
    findings.error(site, "a symbolic link: the site file must be the file itself, and whoever could change "
                         "the link could have zel-auth list a file of their choice: remove the link (rm " +
                             site + "), then write the file with zel-site install FILE or zel-site edit" +
                             kExposed);
    return;
  }
  if (!S_ISREG(st.st_mode)) {
    findings.error(site, "not a regular file");
    return;
  }
  if (st.st_nlink > 1) {
    findings.warning(site, "has " + std::to_string(st.st_nlink) + " names (hard links): each other name keeps "
                           "the tokens it holds now once a write replaces it, a copy outside the audit trail: find "
                           "them (find / -xdev -samefile " + site + ") and remove them");
  }
  if (!tool_state.st) return;
  if (!tool_state.sound) {
    check_site_alone(site, st, accounts, findings);
    return;
  }
  const SiteOwnership want = ownership_for(*tool_state.st, accounts);
  const std::string mended = ": the new file is " + want.owner_name + ":" + want.group_name + " " + octal(want.mode);
  if (st.st_uid != want.uid) {
    findings.error(site, "owned by " + user_name(accounts, st.st_uid) + ", not " + want.owner_name + ": chown " +
                             want.owner_name + " " + site + kExposed);
  }
  // The group and the mode are mended by a write, which says so.
  if (st.st_gid != want.gid) {
    mendable(site, "its group is not " + want.group_name + ", the group of " + tool_path,
             "chgrp " + want.group_name + " " + site, mended, (st.st_mode & 040) != 0, purpose, findings);
  }
  if ((st.st_mode & 07777) != want.mode) {
    mendable(site, "mode " + octal(st.st_mode) + ", not " + octal(want.mode), "chmod " + octal(want.mode) + " " + site,
             mended, (st.st_mode & ~want.mode & 0444) != 0, purpose, findings);
  }
}

// The files of the audit trail, each root's: the audit file in its directory, of zel-auth's group,
// which may only pass through to the file and append to it; zel-site's record, root's alone, in a
// directory that, as every one above these, is root's and writable by no one else.
struct TrailNode {
  std::string path;
  mode_t type;
  gid_t gid;
  mode_t mode;
};

std::vector<TrailNode> trail_nodes(const std::string& audit, const std::string& record, gid_t group) {
  return {{split_path(audit).first, S_IFDIR, group, 0710}, {audit, S_IFREG, group, 0620}, {record, S_IFREG, 0, 0600}};
}

// Any other name that may be a copy of the site file: one that holds its name (zel-site.conf.old, an
// editor's .zel-site.conf.swp), or the mark editors, package managers and hands give one.
void check_stray_copies(const std::string& site, const std::vector<std::string>& left, const System& system,
                        Findings& findings) {
  const auto [dir, base] = split_path(site);
  for (const std::string& name : system.names_in(dir)) {
    const std::string copy = (dir == "/" ? "" : dir) + "/" + name;
    if (name != base && name != base + ".lock" && std::find(left.begin(), left.end(), copy) == left.end() &&
        (name.find(base) != std::string::npos || name.ends_with('~') || name.ends_with(".bak") ||
         name.ends_with(".orig") || name.find(".dpkg-") != std::string::npos)) {
      findings.warning(copy, "beside the site file, and its name says it may be a copy of it, which would hold "
                             "every token outside the audit trail: if it is one, remove it (rm " + copy + ")");
    }
  }
}

}  // namespace

std::string octal(mode_t mode) {
  char text[16];
  (void)std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::vector<DirectoryFault> directory_faults(const struct stat& st, const std::string& owner) {
  std::vector<DirectoryFault> faults;
  if (st.st_uid != 0) faults.push_back({"owned by " + owner + ", not root", "chown root "});
  if ((st.st_mode & 022) != 0) {
    faults.push_back({"writable by others than root (mode " + octal(st.st_mode) + ")", "chmod go-w "});
  }
  return faults;
}

std::vector<Finding> check_install_path(const std::string& path, const System& system) {
  Findings findings;
  if (!path.starts_with('/') || (path + "/").find("//") != std::string::npos ||
      (path + "/").find("/./") != std::string::npos || (path + "/").find("/../") != std::string::npos) {
    findings.error(path, "not a plain absolute path (no \".\", \"..\" or \"//\"): give the real path");
    return findings.done();
  }
  std::vector<std::string> walked = with_ancestors(path);
  std::reverse(walked.begin(), walked.end());
  const Accounts accounts = system.accounts();
  bool faulty = false;
  for (const std::string& dir : walked) {
    struct stat st {};
    const int error = system.stat_path(dir, false, st);
    // What is missing yet is made by root.
    if (faulty || error == ENOENT) break;
    faulty = true;
    if (error != 0) {
      findings.error(dir, std::string("can't be examined: ") + std::strerror(error));
    } else if (S_ISLNK(st.st_mode)) {
      findings.error(dir, "a symbolic link, which could be pointed elsewhere: give the real path");
    } else if (!S_ISDIR(st.st_mode) && dir != path) {
      findings.error(dir, "not a directory");
    } else {
      const std::vector<DirectoryFault> faults =
          S_ISDIR(st.st_mode) ? directory_faults(st, user_name(accounts, st.st_uid)) : std::vector<DirectoryFault>();
      for (const DirectoryFault& fault : faults) findings.error(dir, fault.fault + ": " + fault.fix + dir);
      faulty = !faults.empty();
    }
  }
  return findings.done();
}

std::vector<Finding> check_audit_trail(const char* audit, const char* record, const char* tool,
                                       const System& system) {
  Findings findings;
  const Accounts accounts = system.accounts();
  struct stat tool_st {};
  std::set<std::string> seen;
  // Without zel-auth, or with a group unfit to serve, there is no group to judge by: its findings come first.
  if (system.stat_path(tool, true, tool_st) != 0 || !sound_group(tool_st.st_gid, accounts)) return findings.done();
  for (const TrailNode& node : trail_nodes(audit, record, tool_st.st_gid)) {
    struct stat st {};
    const std::string want = ": it must be root:" + group_name(accounts, node.gid) + " " + octal(node.mode) +
                             (node.type == S_IFDIR ? ", a directory" : ", a file") + " (zel-site check --deployment --create makes what is missing)";
    check_directories(node.path, system, accounts, seen, findings);
    // The record comes with the first change.
    if (const int error = system.stat_path(node.path, false, st); error != 0) {
      if (error != ENOENT || node.path != record) findings.error(node.path, std::strerror(error) + want);
    } else if ((st.st_mode & (S_IFMT | 07777)) != (node.type | node.mode) || st.st_uid != 0 || st.st_gid != node.gid) {
      findings.error(node.path, user_name(accounts, st.st_uid) + " " + octal(st.st_mode) +
                                    (S_ISLNK(st.st_mode) ? ", a link" : "") + want);
    } else if (bool acl = false; system.acl(node.path, AclKind::kAccess, acl) != 0 || acl) {
      findings.error(node.path, "carries an extended ACL (or one that can't be read): setfacl -b " + node.path);
    }
  }
  return findings.done();
}

bool create_audit_trail(const char* audit, const char* record, const char* tool, std::string& error) {
  struct stat tool_st {};
  if (stat(tool, &tool_st) != 0 || !sound_group(tool_st.st_gid, System().accounts())) {
    error = std::string(tool) + " is missing or its group unfit to serve, and the audit file takes its group";
    return false;
  }
  // Each is made with no access at all, then given its owner and mode; the record comes with the first change.
  if (mkdir(split_path(record).first.c_str(), 0700) != 0 && errno != EEXIST) {
    error = split_path(record).first + ": " + std::strerror(errno);
    return false;
  }
  for (const TrailNode& node : trail_nodes(audit, record, tool_st.st_gid)) {
    const bool dir = node.type == S_IFDIR;
    UniqueFd fd;
    if (node.path != record && (!dir || mkdir(node.path.c_str(), 0) == 0)) {
      fd.reset(open(node.path.c_str(), dir ? O_RDONLY | O_DIRECTORY | O_NOFOLLOW : O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0));
    }
    if (node.path == record || (!fd && errno == EEXIST)) continue;
    if (!fd || fchown(fd.get(), 0, node.gid) != 0 || fchmod(fd.get(), node.mode) != 0) {
      error = node.path + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

std::vector<std::string> left_copies(const std::string& site_path, const System& system) {
  const auto [dir, base] = split_path(site_path);
  std::vector<std::string> copies;
  for (const std::string& name : system.names_in(dir)) {
    if (name.starts_with(".zel-site-edit.") || name.starts_with("." + base + ".new-")) {
      copies.push_back((dir == "/" ? "" : dir) + "/" + name);
    }
  }
  std::sort(copies.begin(), copies.end());
  return copies;
}

std::vector<Finding> check_service_group(const std::string& name, const std::string& departing,
                                         const System& system) {
  Findings findings;
  const Accounts accounts = system.accounts();
  const std::string path = "group " + name;
  const auto entry = std::find_if(accounts.groups.begin(), accounts.groups.end(),
                                  [&](const GroupEntry& g) { return g.name == name; });
  if (entry == accounts.groups.end()) {
    findings.error(path, "no such group: create it (groupadd --system " + name + ")");
  } else {
    check_group(path, entry->gid, departing, accounts, findings);
  }
  return findings.done();
}

DeploymentVerdict check_deployment(const char* site_path, const char* tool_path, Purpose purpose,
                                   const System& system) {
  Findings findings;
  const std::string tool = tool_path;
  const std::string site = site_path;
  const Accounts accounts = system.accounts();
  std::set<std::string> seen;

  const ToolState tool_state = check_tool(tool, system, accounts, findings);
  const std::optional<struct stat>& tool_st = tool_state.st;
  check_directories(tool, system, accounts, seen, findings);

  struct stat site_st {};
  const int site_error = system.stat_path(site, false, site_st);
  if (site_error == ENOENT && purpose == Purpose::kCheck) {
    findings.error(site, "there is no site file yet: write one with zel-site edit");
  } else if (site_error != 0 && site_error != ENOENT) {
    findings.error(site, std::string("can't be examined: ") + std::strerror(site_error));
  } else if (site_error == 0) {
    check_site(site, tool, tool_state, site_st, purpose, accounts, findings);
  }
  check_acls(site, site_error == 0 && S_ISREG(site_st.st_mode), purpose, system, findings);
  check_directories(site, system, accounts, seen, findings);
  const std::vector<std::string> left = left_copies(site, system);
  for (const std::string& copy : left) {
    findings.error(copy, "a copy of the site file left by an edit or install that was killed (or one still "
                         "running): remove it (rm -r " + copy + ") once no zel-site runs" + kExposed);
  }
  check_stray_copies(site, left, system, findings);

  DeploymentVerdict verdict;
  verdict.findings = findings.done();
  if (has_errors(verdict.findings, false) || !tool_st || !tool_state.sound) return verdict;
  verdict.ownership = ownership_for(*tool_st, accounts);
  if (site_error == 0) verdict.site = site_st;
  return verdict;
}

}  // namespace zel
