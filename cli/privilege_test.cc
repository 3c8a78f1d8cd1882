#include "cli/privilege.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "util/message.h"
#include "util/status.h"

namespace zel {
namespace {

// A kernel that keeps the IDs as the real one would and records every call.
class FakeKernel final : public Kernel {
 public:
  FakeKernel(bool set_id, Ids ids) : set_id_(set_id), ids_(ids) {}
  bool set_id() override { return set_id_; }
  void clear_environment() override { calls.emplace_back("clearenv"); }
  void harden() override { calls.emplace_back("harden"); }
  int ids(Ids& ids) override {
    calls.emplace_back("getresid");
    ids = ids_;
    return 0;
  }
  int set_group_ids(gid_t real, gid_t effective, gid_t saved) override {
    calls.push_back("setresgid " + id(real) + " " + id(effective) + " " + id(saved));
    if (const int error = next_set_error()) return error;
    if (ids_stay_) return 0;
    if (real != kKeep) ids_.rgid = real;
    if (effective != kKeep) ids_.egid = effective;
    if (saved != kKeep) ids_.sgid = saved;
    return 0;
  }
  int set_user_ids(uid_t real, uid_t effective, uid_t saved) override {
    calls.push_back("setresuid " + id(real) + " " + id(effective) + " " + id(saved));
    if (const int error = next_set_error()) return error;
    if (ids_stay_) return 0;
    if (real != kKeep) ids_.ruid = real;
    if (effective != kKeep) ids_.euid = effective;
    if (saved != kKeep) ids_.suid = saved;
    return 0;
  }
  void make_undumpable() override { calls.emplace_back("undumpable"); }
  const char* login_name(uid_t uid) override {
    calls.push_back("getpwuid " + std::to_string(uid));
    return uid == 1000 ? "alice" : uid == 0 ? "root" : nullptr;
  }

  std::vector<std::string> calls;
  int failing_set_ = 0;  // which setres*id call (1 = the first) fails and changes nothing; 0 = none
  int set_errno_ = EPERM;
  bool ids_stay_ = false;  // every setres*id call succeeds and changes nothing

 private:
  static constexpr auto kKeep = static_cast<uid_t>(-1);
  static std::string id(uid_t value) { return value == kKeep ? "-" : std::to_string(value); }
  int next_set_error() { return ++sets_ == failing_set_ ? set_errno_ : 0; }
  int sets_ = 0;
  bool set_id_;
  Ids ids_;
};

// alice (1000:1000) running a tool set-group-ID to 50, or set-user-ID to 60.
constexpr Ids kSetGroupId{1000, 1000, 1000, 1000, 50, 50};
constexpr Ids kSetUserId{1000, 60, 60, 1000, 1000, 1000};

using Calls = std::vector<std::string>;

TEST(Enter, ClearsHardensOpensThenDropsGroupBeforeUserAndSavedIdsLastAndVerifies) {
  const Calls kDrop = {"setresgid 1000 1000 -", "setresuid 1000 1000 -", "undumpable",
                       "setresgid - - 1000",    "setresuid - - 1000",    "getresid"};
  const struct {
    const char* name;
    bool set_id;
    Ids ids;
    Calls head;
  } cases[] = {
      {"set-group-ID", true, kSetGroupId, {"clearenv", "harden", "getresid", "open"}},
      {"older set-user-ID form", true, kSetUserId, {"clearenv", "harden", "getresid", "open"}},
      {"no set-ID: the caller's environment stays", false, kSetGroupId, {"harden", "getresid", "open"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeKernel kernel(c.set_id, c.ids);
    Ids seen;
    enter(kernel, [&](const Ids& at_start) {
      kernel.calls.emplace_back("open");
      seen = at_start;
    });
    Calls want = c.head;
    want.insert(want.end(), kDrop.begin(), kDrop.end());
    EXPECT_EQ(kernel.calls, want);
    EXPECT_EQ(seen.egid, c.ids.egid) << "the files are opened with the IDs the process started with";
    EXPECT_EQ(seen.euid, c.ids.euid);
  }
}

TEST(Enter, AFailedDropIsStatus12WithTheKernelsReason) {
  const struct {
    const char* name;
    Ids ids;
    int failing_set;
    int set_errno;
    bool ids_stay;
    std::string err;
    std::string last_call;
  } cases[] = {
      {"the group ID stays", kSetGroupId, 1, EPERM, false, "Unable to drop privileges: Operation not permitted.\n",
       "setresgid 1000 1000 -"},
      {"the saved group ID stays: its own errno, not the check's", kSetGroupId, 3, EINVAL, false,
       "Unable to drop privileges: Invalid argument.\n", "setresgid - - 1000"},
      {"the saved user ID stays: its own errno, not the check's", kSetUserId, 4, EAGAIN, false,
       "Unable to drop privileges: Resource temporarily unavailable.\n", "setresuid - - 1000"},
      {"every call succeeds and the IDs stay: the check finds it", kSetGroupId, 0, 0, true,
       "Unable to drop privileges: Operation not permitted.\n", "getresid"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeKernel kernel(true, c.ids);
    kernel.failing_set_ = c.failing_set;
    kernel.set_errno_ = c.set_errno;
    kernel.ids_stay_ = c.ids_stay;
    testing::internal::CaptureStderr();
    int status = kOk;
    try {
      enter(kernel, [](const Ids&) {});
    } catch (const RunEnded& ended) {
      status = ended.status;
    }
    EXPECT_EQ(status, kPrivilege) << "the run ends where the drop fails, not after it";
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
    EXPECT_EQ(kernel.calls.back(), c.last_call) << "nothing goes on after a failed drop";
  }
}

TEST(InvokingUser, IsTheRealUserIdsLoginNameNeverTheEffectiveOnes) {
  const struct {
    const char* name;
    Ids ids;
    int status;
    std::string user;
    std::string err;
  } cases[] = {
      {"set-user-ID to root", {1000, 0, 0, 1000, 1000, 1000}, kOk, "alice", ""},
      {"older set-user-ID form", kSetUserId, kOk, "alice", ""},
      {"no password entry", {1234, 0, 0, 1234, 1234, 1234}, kUnknownUser, "",
       "Unable to determine invoking user name for uid 1234.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeKernel kernel(true, c.ids);
    std::string user;
    testing::internal::CaptureStderr();
    EXPECT_EQ(invoking_user(kernel, c.ids, user), c.status);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
    EXPECT_EQ(user, c.user);
    EXPECT_EQ(kernel.calls, Calls{"getpwuid " + std::to_string(c.ids.ruid)}) << "the IDs are not queried again";
  }
}

// The running process's kernel does what each call's name says. In a child of
// its own, whose environment and dumpability it changes; each check its own
// exit status.
TEST(SystemKernel, EachCallReachesTheProcess) {
  EXPECT_EXIT(
      {
        alarm(30);
        Kernel& kernel = system_kernel();
        if (kernel.set_id()) std::_Exit(1);  // the test runs set-ID to nothing
        setenv("ZEL_TEST_VARIABLE", "1", 1);
        kernel.clear_environment();
        if (std::getenv("ZEL_TEST_VARIABLE") != nullptr) std::_Exit(2);
        prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
        kernel.make_undumpable();
        if (prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) != 0) std::_Exit(3);
        prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
        kernel.harden();
        rlimit core{};
        if (prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) != 0 || getrlimit(RLIMIT_CORE, &core) != 0 || core.rlim_cur != 0) {
          std::_Exit(4);
        }
        Ids ids;
        Ids real;
        getresuid(&real.ruid, &real.euid, &real.suid);
        getresgid(&real.rgid, &real.egid, &real.sgid);
        errno = EINTR;
        if (kernel.ids(ids) != 0 || ids.ruid != real.ruid || ids.euid != real.euid || ids.suid != real.suid ||
            ids.rgid != real.rgid || ids.egid != real.egid || ids.sgid != real.sgid) {
          std::_Exit(5);
        }
        errno = EINTR;  // left by an earlier call: a success is still 0
        if (kernel.set_group_ids(real.rgid, real.egid, real.sgid) != 0 ||
            kernel.set_user_ids(real.ruid, real.euid, real.suid) != 0) {
          std::_Exit(6);
        }
        const passwd* entry = getpwuid(real.ruid);
        const char* name = kernel.login_name(real.ruid);
        if (entry == nullptr || name == nullptr || std::string(name) != entry->pw_name) std::_Exit(8);
        std::_Exit(0);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace zel
