#include "admin/deployment.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <functional>
#include <sstream>
#include <map>
#include <set>
#include <string>

namespace zel {
namespace {

constexpr const char* kTool = "/opt/zel/bin/zel-auth";
constexpr const char* kSite = "/opt/zel/etc/zel-site.conf";
constexpr const char* kAudit = "/var/log/zel-auth/audit.log";
constexpr const char* kRecord = "/var/lib/zel-auth/site-file.sha256";
constexpr gid_t kZel = 1234;

struct stat made(mode_t type, uid_t uid, gid_t gid, mode_t mode) {
  struct stat st {};
  st.st_mode = type | mode;
  st.st_uid = uid;
  st.st_gid = gid;
  st.st_nlink = 1;
  return st;
}

// A made-up system: a sound deployment until a row changes it.
class FakeSystem : public System {
 public:
  FakeSystem() {
    for (const char* dir : {"/", "/opt", "/opt/zel", "/opt/zel/bin", "/opt/zel/etc"}) {
      files[dir] = made(S_IFDIR, 0, 0, 0755);
    }
    files[kTool] = made(S_IFREG, 0, kZel, 02711);
    files[kSite] = made(S_IFREG, 0, kZel, 0640);
    for (const char* dir : {"/var", "/var/log", "/var/lib"}) files[dir] = made(S_IFDIR, 0, 0, 0755);
    files["/var/log/zel-auth"] = made(S_IFDIR, 0, kZel, 0710);
    files[kAudit] = made(S_IFREG, 0, kZel, 0620);
    files["/var/lib/zel-auth"] = made(S_IFDIR, 0, 0, 0755);
    data.users = {{"root", 0, 0}, {"nobody", 65534, 65534}, {"alice", 1000, 1000}, {"zelsvc", 999, kZel + 1}};
    data.groups = {group("root", 0),       group("nogroup", 65534),   group("alice", 1000),
                   group("zel", kZel),     group("zelsvc", kZel + 1), group("builders", 1500, {"alice"}),
                   group("tty", 5),        group("shadow", 42),       group("utmp", 43),
                   group("last99", 99)};
    data.overflow_gid = 65534;
  }
  static GroupEntry group(const char* name, gid_t gid, std::vector<std::string> members = {}) {
    GroupEntry g;
    g.name = name;
    g.gid = gid;
    g.password = "x";
    g.members = std::move(members);
    g.shadowed = true;
    g.shadow_password = "!";
    return g;
  }
  GroupEntry& named(const std::string& name) {
    for (GroupEntry& g : data.groups) {
      if (g.name == name) return g;
    }
    return data.groups.emplace_back(group(name.c_str(), 0));
  }
  int stat_path(const std::string& path, bool follow, struct stat& st) const override {
    if (const auto target = link_targets.find(path); follow && target != link_targets.end()) {
      st = target->second;
      return 0;
    }
    const auto found = files.find(path);
    if (found == files.end()) return ENOENT;
    st = found->second;
    return 0;
  }
  std::string resolved(const std::string& path) const override {
    const auto found = real_paths.find(path);
    return found != real_paths.end() ? found->second : path;
  }
  bool mounted_nosuid(const std::string&) const override { return nosuid; }
  int acl(const std::string& path, AclKind kind, bool& present) const override {
    present = acls.count(path + (kind == AclKind::kDefault ? " default" : "")) != 0;
    return 0;
  }
  std::vector<std::string> names_in(const std::string&) const override { return names; }
  Accounts accounts() const override { return data; }

  std::map<std::string, struct stat> files;
  std::set<std::string> acls;
  std::map<std::string, std::string> real_paths;  // a directory's path with its links resolved
  std::map<std::string, struct stat> link_targets;  // what a link in files names, where it is followed
  std::vector<std::string> names{".", "..", "zel-site.conf", "zel-site.conf.lock"};
  bool nosuid = false;
  Accounts data;
};

enum class Verdict { kClean, kWarned, kRefused };

TEST(Deployment, EachRuleOnMadeUpFilesAccountsAndGroups) {
  const auto tool = [](uid_t uid, gid_t gid, mode_t mode) {
    return [=](FakeSystem& f) { f.files[kTool] = made(S_IFREG, uid, gid, mode); };
  };
  const auto site = [](mode_t type, uid_t uid, gid_t gid, mode_t mode) {
    return [=](FakeSystem& f) { f.files[kSite] = made(type, uid, gid, mode); };
  };
  const auto beside = [](const char* name) { return [=](FakeSystem& f) { f.names.emplace_back(name); }; };
  constexpr const char* kCopy = "beside the site file, and its name says it may be a copy of it";
  const struct {
    const char* name;
    std::function<void(FakeSystem&)> change;
    Purpose purpose;
    Verdict verdict;
    const char* text;  // in the first finding
    bool exposed;      // it says the tokens are exposed
  } cases[] = {
      {"sound", [](FakeSystem&) {}, Purpose::kCheck, Verdict::kClean, "", false},
      {"chgrp builders zel-auth", tool(0, 1500, 0711), Purpose::kWrite, Verdict::kRefused,
       "mode 0711, not 2711", false},
      {"a group with members, mode kept", tool(0, 1500, 02711), Purpose::kWrite, Verdict::kRefused,
       "group builders (group ID 1500) has members (alice), who can read every token", true},
      {"chown alice zel-auth", tool(1000, kZel, 0711), Purpose::kWrite, Verdict::kRefused,
       "owned by alice with mode 0711", false},
      {"set-user-ID to an account no one has", tool(4242, kZel, 04711), Purpose::kWrite, Verdict::kRefused,
       "set-user-ID to user ID 4242, which no account has", false},
      {"groupadd -o: an alias with a member",
       [](FakeSystem& f) { f.data.groups.push_back(FakeSystem::group("zelalias", kZel, {"bob"})); },
       Purpose::kCheck, Verdict::kRefused, "group zelalias (group ID 1234) has members (bob)", true},
      {"members in gshadow", [](FakeSystem& f) { f.named("zel").shadow_members = {"carol"}; }, Purpose::kCheck,
       Verdict::kRefused, "has members (carol) in /etc/gshadow", true},
      {"administrators in gshadow", [](FakeSystem& f) { f.named("zel").administrators = {"dave"}; },
       Purpose::kCheck, Verdict::kRefused, "has administrators (dave) in /etc/gshadow", true},
      {"a group password", [](FakeSystem& f) { f.named("zel").password = "$6$x"; }, Purpose::kCheck,
       Verdict::kRefused, "group zel (group ID 1234) has a password, with which", true},
      {"a gshadow password", [](FakeSystem& f) { f.named("zel").shadow_password = "$6$x"; }, Purpose::kCheck,
       Verdict::kRefused, "has a password in /etc/gshadow", true},
      {"gshadow not shadowing the group", [](FakeSystem& f) {
         f.named("zel").shadowed = false;
         f.named("zel").shadow_members = {"carol"};
       }, Purpose::kCheck, Verdict::kClean, "", false},
      {"an account's primary group", [](FakeSystem& f) { f.data.users.push_back({"svc", 998, kZel}); },
       Purpose::kCheck, Verdict::kRefused, "group zel (group ID 1234) is the primary group of svc", true},
      {"chgrp shadow zel-auth", tool(0, 42, 02711), Purpose::kWrite, Verdict::kRefused,
       "group shadow (group ID 42) is one of the groups 0-99 that the system's own programs hold", true},
      {"chgrp tty zel-auth", tool(0, 5, 02711), Purpose::kCheck, Verdict::kRefused,
       "group tty (group ID 5) is one of the groups 0-99", true},
      {"group 99, the last static one", tool(0, 99, 02711), Purpose::kCheck, Verdict::kRefused,
       "group last99 (group ID 99) is one of the groups 0-99", true},
      {"group 0", tool(0, 0, 02711), Purpose::kCheck, Verdict::kRefused, "group root (group ID 0) is root's", false},
      {"nogroup", tool(0, 65534, 02711), Purpose::kCheck, Verdict::kRefused,
       "group nogroup (group ID 65534) has the ID of nogroup, nobody or the overflow ID", false},
      {"nobody's primary group", [](FakeSystem& f) { f.data.users[1].gid = kZel; }, Purpose::kCheck,
       Verdict::kRefused, "has the ID of nogroup, nobody or the overflow ID", false},
      {"the overflow ID", [](FakeSystem& f) { f.data.overflow_gid = kZel; }, Purpose::kCheck, Verdict::kRefused,
       "has the ID of nogroup, nobody or the overflow ID", false},
      {"a group named nobody", [](FakeSystem& f) { f.named("zel").name = "nobody"; }, Purpose::kCheck,
       Verdict::kRefused, "group nobody (group ID 1234) has the ID of nogroup", false},
      {"a group gone", tool(0, 4444, 02711), Purpose::kCheck, Verdict::kRefused,
       "group ID 4444 no longer exists", false},
      {"zel-auth 0755", tool(0, kZel, 0755), Purpose::kWrite, Verdict::kRefused, "mode 0755, not 2711", false},
      {"zel-auth 2755: others may read it", tool(0, kZel, 02755), Purpose::kWrite, Verdict::kRefused,
       "mode 2755, not 2711", false},
      {"zel-auth 6711: set-user-ID to root too", tool(0, kZel, 06711), Purpose::kCheck, Verdict::kRefused,
       "mode 6711, not 2711", false},
      {"zel-auth missing", [](FakeSystem& f) { f.files.erase(kTool); }, Purpose::kWrite, Verdict::kRefused,
       "zel-auth is not installed here", false},
      {"zel-auth a link", [](FakeSystem& f) { f.files[kTool] = made(S_IFLNK, 0, 0, 0777); }, Purpose::kWrite,
       Verdict::kRefused, "not a regular file: install zel-auth itself", false},
      {"nosuid", [](FakeSystem& f) { f.nosuid = true; }, Purpose::kWrite, Verdict::kRefused,
       "mounted nosuid", false},
      {"the older form", [](FakeSystem& f) {
         f.files[kTool] = made(S_IFREG, 999, kZel + 1, 04711);
         f.files[kSite] = made(S_IFREG, 999, kZel + 1, 0600);
       }, Purpose::kWrite, Verdict::kWarned, "set-user-ID to the account zelsvc (the older form)", false},
      {"the older form to a login account", [](FakeSystem& f) {
         f.files[kTool] = made(S_IFREG, 1000, 1000, 04711);
         f.files[kSite] = made(S_IFREG, 1000, 1000, 0600);
       }, Purpose::kWrite, Verdict::kRefused,
       "set-user-ID to the account alice (user ID 1000), which is no system account", true},
      {"the older form to nobody", [](FakeSystem& f) {
         f.files[kTool] = made(S_IFREG, 65534, 65534, 04711);
         f.files[kSite] = made(S_IFREG, 65534, 65534, 0600);
       }, Purpose::kCheck, Verdict::kRefused, "set-user-ID to the account nobody (user ID 65534)", true},
      {"the older form, UID_MIN 500 in login.defs", [](FakeSystem& f) {
         f.data.uid_min = 500;
         f.files[kTool] = made(S_IFREG, 999, kZel + 1, 04711);
         f.files[kSite] = made(S_IFREG, 999, kZel + 1, 0600);
       }, Purpose::kCheck, Verdict::kRefused, "the account zelsvc (user ID 999), which is no system account (those "
                                              "are below UID_MIN, 500, of /etc/login.defs)", true},
      {"site 0644, checked", site(S_IFREG, 0, kZel, 0644), Purpose::kCheck, Verdict::kRefused,
       "mode 0644, not 0640: chmod 0640", true},
      {"site 0644, written", site(S_IFREG, 0, kZel, 0644), Purpose::kWrite, Verdict::kWarned,
       "mode 0644, not 0640: the new file is root:zel 0640", true},
      {"site 0600, checked: no one else read it", site(S_IFREG, 0, kZel, 0600), Purpose::kCheck,
       Verdict::kRefused, "mode 0600, not 0640", false},
      {"site of group builders, checked", site(S_IFREG, 0, 1500, 0640), Purpose::kCheck, Verdict::kRefused,
       "its group is not zel, the group of /opt/zel/bin/zel-auth: chgrp zel", true},
      {"site of group builders, written", site(S_IFREG, 0, 1500, 0640), Purpose::kWrite, Verdict::kWarned,
       "its group is not zel, the group of /opt/zel/bin/zel-auth: the new file is root:zel 0640", true},
      {"site owned by alice", site(S_IFREG, 1000, kZel, 0640), Purpose::kWrite, Verdict::kRefused,
       "owned by alice, not root", true},
      {"site a link", site(S_IFLNK, 0, 0, 0777), Purpose::kWrite, Verdict::kRefused,
       "a symbolic link: the site file must be the file itself, and whoever could change the link could have "
       "zel-auth list a file of their choice: remove the link (rm /opt/zel/etc/zel-site.conf), then write the "
       "file with zel-site install FILE or zel-site edit", true},
      {"site a FIFO", site(S_IFIFO, 0, kZel, 0640), Purpose::kWrite, Verdict::kRefused, "not a regular file",
       false},
      {"no site file, checked", [](FakeSystem& f) { f.files.erase(kSite); }, Purpose::kCheck, Verdict::kRefused,
       "there is no site file yet: write one with zel-site edit", false},
      {"no site file, written", [](FakeSystem& f) { f.files.erase(kSite); }, Purpose::kWrite, Verdict::kClean, "",
       false},
      {"site directory writable by all", [](FakeSystem& f) { f.files["/opt/zel/etc"].st_mode = S_IFDIR | 0777; },
       Purpose::kWrite, Verdict::kRefused, "writable by others than root (mode 0777): chmod go-w", false},
      {"site directory alice's", [](FakeSystem& f) { f.files["/opt/zel/etc"].st_uid = 1000; }, Purpose::kWrite,
       Verdict::kRefused, "owned by alice, not root: chown root /opt/zel/etc", false},
      {"an edit copy left", [](FakeSystem& f) { f.names.push_back(".zel-site-edit.Ab12Cd"); }, Purpose::kWrite,
       Verdict::kRefused, "left by an edit or install that was killed (or one still running): remove it "
                          "(rm -r /opt/zel/etc/.zel-site-edit.Ab12Cd)", true},
      {"an install's new file left", [](FakeSystem& f) { f.names.push_back(".zel-site.conf.new-0a1b"); },
       Purpose::kCheck, Verdict::kRefused, "rm -r /opt/zel/etc/.zel-site.conf.new-0a1b", true},
      {"a backup", beside("site.bak"), Purpose::kCheck, Verdict::kWarned, kCopy, false},
      {"an editor's backup", beside("site~"), Purpose::kCheck, Verdict::kWarned, kCopy, false},
      {"an editor's swap file", beside(".zel-site.conf.swp"), Purpose::kCheck, Verdict::kWarned, kCopy, false},
      {"a package's kept one", beside("site.dpkg-old"), Purpose::kWrite, Verdict::kWarned, kCopy, false},
      {"a patch's original", beside("site.orig"), Purpose::kCheck, Verdict::kWarned, kCopy, false},
      {"a copy by hand", beside("old-zel-site.conf-2025"), Purpose::kCheck, Verdict::kWarned, kCopy, false},
      {"another file", beside("other.conf"), Purpose::kCheck, Verdict::kClean, "", false},
      {"a hard link, checked", [](FakeSystem& f) { f.files[kSite].st_nlink = 2; }, Purpose::kCheck, Verdict::kWarned,
       "has 2 names (hard links): each other name keeps the tokens", false},
      {"a hard link, written", [](FakeSystem& f) { f.files[kSite].st_nlink = 3; }, Purpose::kWrite, Verdict::kWarned,
       "(find / -xdev -samefile /opt/zel/etc/zel-site.conf)", false},
      {"twenty copies, reported in the order the directory lists them", [](FakeSystem& f) {
         for (int i = 0; i < 20; ++i) f.names.push_back("copy" + std::to_string(i) + ".bak");
       }, Purpose::kCheck, Verdict::kWarned, "(rm /opt/zel/etc/copy0.bak)", false},
      {"site ACL, checked", [](FakeSystem& f) { f.acls.insert(kSite); }, Purpose::kCheck, Verdict::kRefused,
       "carries an extended ACL", true},
      {"site ACL, written", [](FakeSystem& f) { f.acls.insert(kSite); }, Purpose::kWrite, Verdict::kWarned,
       "carries an extended ACL, which the new file will not", true},
      {"directory default ACL", [](FakeSystem& f) { f.acls.insert("/opt/zel/etc default"); }, Purpose::kWrite,
       Verdict::kRefused, "carries a default ACL", false},
      {"the site file's directory a link into a directory others may write",
       [](FakeSystem& f) {
         f.real_paths["/opt/zel/etc"] = "/srv/zel/etc";
         f.files["/srv"] = made(S_IFDIR, 0, 0, 01777);
         for (const char* dir : {"/srv/zel", "/srv/zel/etc"}) f.files[dir] = made(S_IFDIR, 0, 0, 0755);
       },
       Purpose::kCheck, Verdict::kRefused, "writable by others than root (mode 1777): chmod go-w /srv", false},
      {"gshadow unreadable", [](FakeSystem& f) { f.data.unreadable_shadow = "Permission denied"; },
       Purpose::kCheck, Verdict::kWarned, "/etc/gshadow can't be read (Permission denied)", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystem system;
    c.change(system);
    const DeploymentVerdict verdict = check_deployment(kSite, kTool, c.purpose, system);
    std::string all;
    for (const Finding& f : verdict.findings) {
      all += f.path + ": " + (f.severity == Severity::kError ? "error: " : "warning: ") + f.text + "\n";
    }
    const Verdict got = has_errors(verdict.findings, false) ? Verdict::kRefused
                        : verdict.findings.empty()          ? Verdict::kClean
                                                            : Verdict::kWarned;
    EXPECT_EQ(got, c.verdict) << all;
    EXPECT_EQ(verdict.ownership.has_value(), c.verdict != Verdict::kRefused) << all;
    if (verdict.findings.empty()) continue;
    EXPECT_NE(verdict.findings.front().text.find(c.text), std::string::npos) << all;
    EXPECT_EQ(verdict.findings.front().text.find("treat them as exposed and rotate them") != std::string::npos,
              c.exposed)
        << all;
  }
}

TEST(Deployment, ACopyAnEditLeftIsReportedOnceAsSuch) {
  FakeSystem system;
  system.names.push_back(".zel-site.conf.new-0a1b");
  EXPECT_EQ(check_deployment(kSite, kTool, Purpose::kCheck, system).findings.size(), 1U);
}

TEST(Deployment, TheAuditFileAndTheRecordEachRootsWithTheirGroupAndMode) {
  const auto file = [](const char* path, mode_t type, gid_t gid, mode_t mode) {
    return [=](FakeSystem& f) { f.files[path] = made(type, 0, gid, mode); };
  };
  const auto gone = [](const char* path) { return [=](FakeSystem& f) { f.files.erase(path); }; };
  const struct {
    const char* name;
    std::function<void(FakeSystem&)> change;
    const char* text;  // the first finding; empty: none
  } cases[] = {
      {"sound, nothing recorded yet", [](FakeSystem&) {}, ""},
      {"a record", file(kRecord, S_IFREG, 0, 0600), ""},
      {"no audit file", gone(kAudit),
       "/var/log/zel-auth/audit.log: No such file or directory: it must be root:zel 0620, a file (zel-site check "
       "--deployment --create makes what is missing)"},
      {"the audit file a link", file(kAudit, S_IFLNK, 0, 0777), "audit.log: root 0777, a link: it must be root:zel 0620, a file"},
      {"the audit file readable by the group", file(kAudit, S_IFREG, kZel, 0640), "audit.log: root 0640: it must be root:zel 0620"},
      {"the audit file another group's", file(kAudit, S_IFREG, 1500, 0620), "audit.log: root 0620: it must be root:zel 0620"},
      {"the audit file alice's", [](FakeSystem& f) { f.files[kAudit].st_uid = 1000; }, "audit.log: alice 0620: it must be root:zel 0620"},
      {"the audit file with an ACL", [](FakeSystem& f) { f.acls.insert(kAudit); },
       "carries an extended ACL (or one that can't be read): setfacl -b /var/log/zel-auth/audit.log"},
      {"its directory listable", file("/var/log/zel-auth", S_IFDIR, kZel, 0750),
       "/var/log/zel-auth: root 0750: it must be root:zel 0710, a directory"},
      {"no directory", [](FakeSystem& f) { f.files.erase("/var/log/zel-auth"); f.files.erase(kAudit); },
       "/var/log/zel-auth: No such file or directory: it must be root:zel 0710, a directory"},
      {"/var/log writable by others", file("/var/log", S_IFDIR, 0, 0777), "/var/log: writable by others than root"},
      {"the record readable by all", file(kRecord, S_IFREG, 0, 0644), "site-file.sha256: root 0644: it must be root:root 0600, a file"},
      {"no record directory", gone("/var/lib/zel-auth"), "/var/lib/zel-auth: can't be examined: No such file"},
      {"the record directory writable by others", file("/var/lib/zel-auth", S_IFDIR, 0, 0777),
       "/var/lib/zel-auth: writable by others than root"},
      {"no zel-auth: nothing to judge by", gone(kTool), ""},
      {"zel-auth reached through a link: judged by the file it names",
       [](FakeSystem& f) {
         f.link_targets[kTool] = f.files[kTool];
         f.files[kTool] = made(S_IFLNK, 0, 0, 0777);
         f.files.erase(kAudit);
       },
       "/var/log/zel-auth/audit.log: No such file or directory"},
      {"zel-auth of a group with members", [](FakeSystem& f) { f.files[kTool].st_gid = 1500; }, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystem system;
    c.change(system);
    const std::vector<Finding> findings = check_audit_trail(kAudit, kRecord, kTool, system);
    if (c.text[0] == '\0') {
      EXPECT_TRUE(findings.empty()) << findings.front().path << ": " << findings.front().text;
      continue;
    }
    ASSERT_FALSE(findings.empty());
    EXPECT_NE((findings.front().path + ": " + findings.front().text).find(c.text), std::string::npos)
        << findings.front().path << ": " << findings.front().text;
  }
}

// While zel-auth is unsound, no finding tells the site file to follow its owner or group:
// following that advice would hand the tokens to the account or group it names.
TEST(Deployment, AnUnsoundZelAuthNeverHasTheSiteFileFollowIt) {
  const auto both = [](uid_t tool_uid, gid_t tool_gid, mode_t tool_mode, uid_t uid, gid_t gid, mode_t mode) {
    return [=](FakeSystem& f) {
      f.files[kTool] = made(S_IFREG, tool_uid, tool_gid, tool_mode);
      f.files[kSite] = made(S_IFREG, uid, gid, mode);
    };
  };
  const struct {
    const char* name;
    std::function<void(FakeSystem&)> change;
    const char* site_text;  // in the site file's first finding; empty: none
    bool exposed = false;   // that finding says the tokens are exposed
  } cases[] = {
      {"chown alice, chmod 4711 zel-auth; site root:zel 0640", both(1000, kZel, 04711, 0, kZel, 0640), ""},
      {"chown alice zel-auth; site root:zel 0600", both(1000, kZel, 0711, 0, kZel, 0600), ""},
      {"site alice's after the advice", both(1000, kZel, 04711, 1000, kZel, 0600),
       "owned by alice, not root: chown root /opt/zel/etc/zel-site.conf (zel-auth is not sound", true},
      {"site 0644", both(1000, kZel, 04711, 0, kZel, 0644), "mode 0644 lets every user at it: chmod o=", true},
      {"site 0602: every user may write, not read", both(1000, kZel, 04711, 0, kZel, 0602),
       "mode 0602 lets every user at it: chmod o="},
      {"chgrp builders zel-auth; site root:zel 0640", both(0, 1500, 02711, 0, kZel, 0640), ""},
      {"chgrp builders zel-auth and the site", both(0, 1500, 02711, 0, 1500, 0640),
       "mode 0640 lets its group builders, which is no sound service group, at it: chmod g=", true},
      {"chgrp builders both; site 0620: the group may write, not read", both(0, 1500, 02711, 0, 1500, 0620),
       "mode 0620 lets its group builders, which is no sound service group, at it: chmod g="},
      {"chgrp shadow both", both(0, 42, 02711, 0, 42, 0640), "lets its group shadow, which is no sound", true},
      {"chgrp builders both; site 0600: the group has no way in", both(0, 1500, 02711, 0, 1500, 0600), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystem system;
    c.change(system);
    const DeploymentVerdict verdict = check_deployment(kSite, kTool, Purpose::kCheck, system);
    std::string all;
    std::string site_first;
    for (const Finding& f : verdict.findings) {
      all += f.path + ": " + f.text + "\n";
      if (f.path == kSite && site_first.empty()) site_first = f.text;
    }
    EXPECT_FALSE(verdict.ownership.has_value()) << all;
    EXPECT_EQ(all.find("chown alice"), std::string::npos) << all;
    EXPECT_EQ(all.find("chgrp builders"), std::string::npos) << all;
    EXPECT_EQ(all.find("chgrp shadow"), std::string::npos) << all;
    EXPECT_EQ(all.find("chmod 0600"), std::string::npos) << all;
    if (c.site_text[0] == '\0') {
      EXPECT_EQ(site_first, "") << all;
    } else {
      EXPECT_NE(site_first.find(c.site_text), std::string::npos) << all;
      EXPECT_EQ(site_first.find("treat them as exposed") != std::string::npos, c.exposed) << all;
    }
  }
}

TEST(Deployment, TheOwnershipOfANewFileComesFromTheDeploymentThatPassed) {
  FakeSystem system;
  const DeploymentVerdict sound = check_deployment(kSite, kTool, Purpose::kWrite, system);
  ASSERT_TRUE(sound.ownership.has_value());
  EXPECT_EQ(sound.ownership->uid, 0U);
  EXPECT_EQ(sound.ownership->gid, kZel);
  EXPECT_EQ(sound.ownership->mode, 0640U);
  EXPECT_EQ(sound.ownership->group_name, "zel");
  system.files[kTool] = made(S_IFREG, 999, kZel + 1, 04711);
  system.files[kSite] = made(S_IFREG, 999, kZel + 1, 0600);
  const DeploymentVerdict older = check_deployment(kSite, kTool, Purpose::kWrite, system);
  ASSERT_TRUE(older.ownership.has_value());
  EXPECT_EQ(older.ownership->uid, 999U);
  EXPECT_EQ(older.ownership->owner_name, "zelsvc");
  EXPECT_EQ(older.ownership->mode, 0600U);
}

// UID_MIN as this system's /etc/login.defs has it, read here the way a reader of that file
// would, or 1000 without one: the first user ID the older form refuses.
TEST(Deployment, TheFirstLoginUserIdComesFromLoginDefs) {
  uid_t expected = 1000;
  std::ifstream defs("/etc/login.defs");
  std::string key;
  for (std::string line; std::getline(defs, line);) {
    std::istringstream words(line);
    unsigned long value = 0;
    if (words >> key >> value && key == "UID_MIN") expected = static_cast<uid_t>(value);
  }
  EXPECT_EQ(System().accounts().uid_min, expected);
}

TEST(Deployment, AServiceGroupByName) {
  const struct {
    const char* group;
    const char* departing;
    const char* text;  // empty: fit
  } cases[] = {
      {"zel", "", ""},
      {"builders", "", "group builders (group ID 1500) has members (alice)"},
      {"zelsvc", "", "group zelsvc (group ID 1235) is the primary group of zelsvc"},
      {"zelsvc", "zelsvc", ""},
      {"root", "", "group root (group ID 0) is root's group"},
      {"shadow", "", "group shadow (group ID 42) is one of the groups 0-99"},
      {"utmp", "", "group utmp (group ID 43) is one of the groups 0-99"},
      {"missing", "", "no such group: create it"},
  };
  FakeSystem system;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.group) + " except " + c.departing);
    const std::vector<Finding> findings = check_service_group(c.group, c.departing, system);
    if (c.text[0] == '\0') {
      EXPECT_TRUE(findings.empty()) << findings.front().text;
    } else {
      ASSERT_FALSE(findings.empty());
      EXPECT_EQ(findings.front().path, std::string("group ") + c.group);
      EXPECT_NE(findings.front().text.find(c.text), std::string::npos) << findings.front().text;
    }
  }
}

// What deploy.sh asks before it installs to a path: the first link or directory fault along it.
TEST(Deployment, APathToInstallToHasNoLinkAndOnlyRootsDirectories) {
  const struct {
    const char* name;
    std::function<void(FakeSystem&)> change;
    const char* path;
    const char* text;  // the one finding; empty: none
  } cases[] = {
      {"sound", [](FakeSystem&) {}, kTool, ""},
      {"a prefix not made yet", [](FakeSystem&) {}, "/opt/zel/new/bin/zel-auth", ""},
      {"the prefix itself", [](FakeSystem&) {}, "/opt/zel", ""},
      {"a link for bin/", [](FakeSystem& f) { f.files["/opt/zel/bin"] = made(S_IFLNK, 0, 0, 0777); }, kTool,
       "/opt/zel/bin: a symbolic link, which could be pointed elsewhere: give the real path"},
      {"the site file a link", [](FakeSystem& f) { f.files[kSite] = made(S_IFLNK, 0, 0, 0777); }, kSite,
       "/opt/zel/etc/zel-site.conf: a symbolic link"},
      {"a prefix others may write", [](FakeSystem& f) { f.files["/opt/zel"].st_mode = S_IFDIR | 01777; }, kTool,
       "/opt/zel: writable by others than root (mode 1777): chmod go-w /opt/zel"},
      {"a bin/ alice owns", [](FakeSystem& f) { f.files["/opt/zel/bin"].st_uid = 1000; }, kTool,
       "/opt/zel/bin: owned by alice, not root: chown root /opt/zel/bin"},
      {"a file where a directory goes", [](FakeSystem& f) { f.files["/opt/zel/bin"] = made(S_IFREG, 0, 0, 0644); },
       kTool, "/opt/zel/bin: not a directory"},
      {"not plain", [](FakeSystem&) {}, "/opt/zel/../bin", "/opt/zel/../bin: not a plain absolute path"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystem system;
    c.change(system);
    const std::vector<Finding> findings = check_install_path(c.path, system);
    std::string all;
    for (const Finding& f : findings) all += f.path + ": " + f.text + "\n";
    if (c.text[0] == '\0') {
      EXPECT_EQ(all, "");
    } else {
      EXPECT_EQ(findings.size(), 1U) << all;
      EXPECT_EQ(all.rfind(c.text, 0), 0U) << all;
    }
  }
}

}  // namespace
}  // namespace zel
