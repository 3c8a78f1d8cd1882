// zel-site's changes in the audit trail. Every change a writing command puts in
// force (edit, install, set-token) sends one line to the system log, facility
// authpriv, severity notice, tag "zel-site", after the new file is in place;
// a refused or aborted change, and an install or edit that leaves the text as
// it was, send none. The lines, one fixed shape per command:
//   set-token by=A[ sudo=U] stanza=S token=new|changed|same id=I[ was=I]
//   edit|install by=A[ sudo=U][ forced] CHANGE...
//   edit|install by=A[ sudo=U][ forced] stanzas=same
// where each CHANGE, in the order of the new text (removed stanzas last, in
// the order of the old), is
//   added=S|removed=S|changed=S token=new|gone|changed|same|none[ id=I][ was=I]
// A is the login UID's account name ("unset" when the process has none, as
// under cron or a service; "uid:N" when no account has it; "unknown" when it
// can't be read); U is SUDO_USER when the real user is root. S is "default"
// or "[name]", as in zel-auth's lines. token= says what became of the
// stanza's counting token, the one zel-auth signs with: I is the identifier
// (sign/token_id.h) of the new one, was= that of the one before. "forced": the
// text had errors and was installed all the same (--force, or Q). "stanzas=same":
// the text changed where zel-auth reads no stanza (blank lines, after a NUL, a
// repeated header's lines), or only the mode or group was mended. Fields are
// escaped as util/log_field.h says; no token value or property line reaches a
// line. A stanza "changed" when zel-auth would list or sign differently: its
// listed lines or any of its token lines differ.
//
// The log is connected before anything changes: a log that exists and can't be
// reached refuses the change (no change without its line); no /dev/log at all
// is a system without a log, and the commands work without one. A log daemon
// restarted during an edit is connected to again. A line the log doesn't take
// once the file is in force can't undo the change: the command says the change
// is in force and unlogged, and ends with status 3.
#ifndef ZEL_ADMIN_TRAIL_H_
#define ZEL_ADMIN_TRAIL_H_

#include <optional>
#include <string>
#include <string_view>

#include "util/log_socket.h"
#include "util/system_time.h"

namespace zel {

// The status of a change in force whose line the log did not take.
inline constexpr int kChangeUnlogged = 3;

// Who made a change.
struct Administrator {
  std::string by;                   // the login UID's name, or "unset", "uid:N", "unknown"
  std::optional<std::string> sudo;  // SUDO_USER, when set and not empty and the real user is root
};

// The by= word for the text of /proc/self/loginuid (null: it could not be read).
std::string login_name(const char* loginuid);

// This process's administrator, from /proc/self/loginuid, the real user ID and SUDO_USER.
Administrator administrator();

// What an edit or install did besides its texts.
struct Change {
  const char* command;  // "edit" or "install"
  Administrator admin;
  bool forced = false;  // installed with errors
};

// The line of an edit or install from before (none: no live file) to after; 0, or 10 or 11 with the message.
int change_line(const Change& change, std::optional<std::string_view> before, std::string_view after,
                std::string& line);

// The line of set-token for the stanza name (null: the default one); 0, or 10 or 11 with the message.
int set_token_line(const Administrator& admin, const char* name, std::string_view before,
                   std::string_view after, std::string& line);

// The system log as the writing commands use it.
class ChangeTrail {
 public:
  // Connects to the log at path; false, with the message written, when a log exists and can't be reached.
  bool open(const char* path, const std::string& site_path);
  // Sends the line of a change in force, connecting again once if it must; 0, or 3 with the message.
  int send(const std::string& line, const std::string& site_path);

 private:
  // The editor keeps the caller's TZ; the log's lines keep the system's zone.
  LogSocket log_{system_local_time};
  std::string path_;
};

}  // namespace zel

#endif  // ZEL_ADMIN_TRAIL_H_
