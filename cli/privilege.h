// What the set-group-ID helper does with its privilege, in this order: a set-ID
// run clears its environment (nothing it runs may read a variable of the
// caller's); the process is hardened (util/hardening.h); the files it needs the
// service group for are opened; then the privilege is given up for good, the
// group before the user, the real and effective IDs before the saved ones, and
// the result verified. The user IDs are reset too, so an installation of the
// older set-user-ID form gives up its service account the same way. The
// invoking user is the one the real user ID names, never the effective one.
//
// Every call into the kernel goes through Kernel, so that tests run the
// sequence without privilege and see each call in its place.
#ifndef ZEL_CLI_PRIVILEGE_H_
#define ZEL_CLI_PRIVILEGE_H_

#include <sys/types.h>

#include <functional>
#include <string>

namespace zel {

// The real, effective and saved user and group IDs.
struct Ids {
  uid_t ruid = 0, euid = 0, suid = 0;
  gid_t rgid = 0, egid = 0, sgid = 0;
};

// Thrown where a run ends before its listing: by enter() when the privilege
// can't be given up, by the run (cli/driver.h) once a failed run's record is
// out. status is the exit status.
struct RunEnded {
  int status;
};

// The process's side of privilege.
class Kernel {
 public:
  virtual bool set_id() = 0;                     // getauxval(AT_SECURE)
  virtual void clear_environment() = 0;          // clearenv()
  virtual void harden() = 0;                     // harden_process()
  virtual int ids(Ids& ids) = 0;                 // getresuid, getresgid; 0 or the errno
  virtual int set_group_ids(gid_t real, gid_t effective, gid_t saved) = 0;  // setresgid
  virtual int set_user_ids(uid_t real, uid_t effective, uid_t saved) = 0;   // setresuid
  virtual void make_undumpable() = 0;            // prctl(PR_SET_DUMPABLE, 0)
  virtual const char* login_name(uid_t uid) = 0;  // getpwuid's pw_name, or null

 protected:
  ~Kernel() = default;
};

// The running process's kernel.
Kernel& system_kernel();

// Clears the environment of a set-ID run, hardens the process, calls
// open_files with the IDs the process started with, then gives up the
// privilege. If it can't, it writes the message and throws RunEnded with 12:
// nothing of the run may go on with the privilege kept.
void enter(Kernel& kernel, const std::function<void(const Ids& at_start)>& open_files);

// The login name of the real user ID of ids (the IDs the process started
// with, never queried again); fails with 2 when it has none.
int invoking_user(Kernel& kernel, const Ids& ids, std::string& name);

}  // namespace zel

#endif  // ZEL_CLI_PRIVILEGE_H_
