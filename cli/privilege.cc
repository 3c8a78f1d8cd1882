#include "cli/privilege.h"

#include <pwd.h>
#include <sys/auxv.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "util/hardening.h"
#include "util/message.h"
#include "util/status.h"

namespace zel {

namespace {

class SystemKernel final : public Kernel {
 public:
  bool set_id() override { return getauxval(AT_SECURE) != 0; }
  void clear_environment() override { clearenv(); }
  void harden() override { harden_process(); }
  int ids(Ids& ids) override {
    return getresuid(&ids.ruid, &ids.euid, &ids.suid) == 0 &&
                   getresgid(&ids.rgid, &ids.egid, &ids.sgid) == 0
               ? 0
               : errno;
  }
  int set_group_ids(gid_t real, gid_t effective, gid_t saved) override {
    return setresgid(real, effective, saved) == 0 ? 0 : errno;
  }
  int set_user_ids(uid_t real, uid_t effective, uid_t saved) override {
    return setresuid(real, effective, saved) == 0 ? 0 : errno;
  }
  void make_undumpable() override { prctl(PR_SET_DUMPABLE, 0, 0, 0, 0); }
  const char* login_name(uid_t uid) override {
    // One thread: getpwuid's static entry is safe here.
    // cppcheck-suppress getpwuidCalled
    const passwd* entry = getpwuid(uid);
    return entry != nullptr ? entry->pw_name : nullptr;
  }
};

constexpr auto kKeep = static_cast<uid_t>(-1);  // setres*id's "leave this one"

int drop_privileges(Kernel& kernel, const Ids& at_start) {
  const uid_t uid = at_start.ruid;
  const gid_t gid = at_start.rgid;
  // Changing the effective IDs resets dumpability to fs.suid_dumpable, which
  // may allow tracing. While the saved IDs still hold the privilege, the caller
  // may not trace the process anyway, so the real and effective IDs go first,
  // then dumpability is taken away again, then the saved IDs go, which leaves
  // it alone. Group before user: once the user ID is given up, the group can no
  // longer be.
  int error = kernel.set_group_ids(gid, gid, kKeep);
  if (error == 0) error = kernel.set_user_ids(uid, uid, kKeep);
  if (error != 0) return error;
  kernel.make_undumpable();
  error = kernel.set_group_ids(kKeep, kKeep, gid);
  if (error == 0) error = kernel.set_user_ids(kKeep, kKeep, uid);
  if (error != 0) return error;
  Ids now;
  if ((error = kernel.ids(now)) != 0) return error;
  const bool dropped = now.ruid == uid && now.euid == uid && now.suid == uid && now.rgid == gid &&
                       now.egid == gid && now.sgid == gid;
  return dropped ? 0 : EPERM;
}

}  // namespace

Kernel& system_kernel() {
  static SystemKernel kernel;
  return kernel;
}

void enter(Kernel& kernel, const std::function<void(const Ids& at_start)>& open_files) {
  // A set-ID run reads no variable of the caller's, and neither may the
  // libraries it calls: the C library reads TZ for the time of a log line, and
  // the name-service modules that look the caller up may read any variable with
  // plain getenv. Nothing in such a run needs the environment.
  if (kernel.set_id()) kernel.clear_environment();
  kernel.harden();
  Ids at_start;
  int error = kernel.ids(at_start);
  if (error == 0) {
    open_files(at_start);
    error = drop_privileges(kernel, at_start);
  }
  if (error == 0) return;
  throw RunEnded{fail(kPrivilege, "Unable to drop privileges: %s.\n", std::strerror(error))};
}

int invoking_user(Kernel& kernel, const Ids& ids, std::string& name) {
  const char* login = kernel.login_name(ids.ruid);
  if (login == nullptr) {
    return fail(kUnknownUser, "Unable to determine invoking user name for uid %d.\n",
                static_cast<int>(ids.ruid));
  }
  name = login;
  return kOk;
}

}  // namespace zel
