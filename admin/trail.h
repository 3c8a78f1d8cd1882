// zel-site's changes in the audit trail. Every change a writing command puts in
// force (edit, install, set-token) appends one record to the audit file
// (util/audit_file.h), as root, and sends its line to the system log, facility
// authpriv, severity notice, tag "zel-site", after the new file is in place;
// a refused or aborted change, and an install or edit that leaves the text as
// it was, send none. The lines, one fixed shape per command:
//   set-token by=A stanza=S token=new|changed|same id=I[ was=I]
//   edit|install by=A[ forced] CHANGE...
//   edit|install by=A[ forced] stanzas=same
// where each CHANGE, in the order of the new text (removed stanzas last, in
// the order of the old), is
//   added=S|removed=S|changed=S token=new|gone|changed|same|none[ id=I][ was=I]
// A is the login UID's account name ("unset" when the process has none, as
// under cron or a service; "uid:N" when no account has it; "unknown" when it
// can't be read): only what the kernel vouches for, no word of the
// environment such as SUDO_USER. S is "default" or "[name]", as in zel-auth's
// lines. token= says what became of the stanza's counting token, the one
// zel-auth signs with: I is the identifier
// (sign/token_id.h) of the new one, was= that of the one before. "forced": the
// text had errors and was installed all the same (--force, or Q). "stanzas=same":
// the text changed where zel-auth reads no stanza (blank lines, after a NUL, a
// repeated header's lines), or only the mode or group was mended. Fields are
// escaped as util/log_field.h says; no token value or property line reaches a
// line. A stanza "changed" when zel-auth would list or sign differently: its
// listed lines or any of its token lines differ.
//
// The audit file's record is the line and the site file's SHA-256 before and
// after ("none" for no live file); the system log's copy is the line alone:
//   LINE before=H|none after=H
// zel-site also keeps the SHA-256 of the file it last put in force, in a file
// of root's alone (SitePaths::record, 64 digits and a newline; "none" while
// nothing is recorded), so that a change made outside zel-site (sed -i, a copy
// by hand) is found: check reports it, and the next writing command records,
// before anything else,
//   outside-change recorded=H|none live=H|none
//
// The audit file is opened and the log connected before anything changes: an
// audit file that can't be opened for appending refuses the change, as does a
// log that exists and can't be reached (no change without its record); no
// /dev/log at all is a system without a log, and the file still has the record.
// A log daemon restarted during an edit is connected to again. A record the
// audit file, or a line the log, doesn't take once the file is in force can't
// undo the change: the command says the change is in force and unlogged, and
// ends with status 3.
#ifndef ZEL_ADMIN_TRAIL_H_
#define ZEL_ADMIN_TRAIL_H_

#include <optional>
#include <string>
#include <string_view>

#include "admin/check.h"
#include "util/log_socket.h"
#include "util/system_time.h"
#include "util/unique_fd.h"

namespace zel {

// The status of a change in force whose line the log did not take.
inline constexpr int kChangeUnlogged = 3;

// The paths compiled into zel-site: the live site file, the installed zel-auth, the audit file and
// zel-site's record of the site file it last put in force; and the system log's socket.
struct SitePaths {
  const char* site;
  const char* tool;
  const char* audit;
  const char* record;
  const char* log = kSystemLogPath;
};

// Who made a change: the login UID's name, or "unset", "uid:N", "unknown".
using Administrator = std::string;

// The by= word for the text of /proc/self/loginuid (null: it could not be read).
std::string login_name(const char* loginuid);

// This process's administrator, from /proc/self/loginuid.
Administrator administrator();

// What an edit or install did besides its texts.
struct Change {
  const char* command;  // "edit" or "install"
  Administrator admin;
  bool forced = false;  // installed with errors
};

// The line of an edit or install from before (none: no live file) to after.
std::string change_line(const Change& change, std::optional<std::string_view> before, std::string_view after);

// The line of set-token for the stanza name (null: the default one).
std::string set_token_line(const Administrator& admin, const char* name, std::string_view before,
                           std::string_view after);

// check's finding when the live text (none: no file) is not the one last recorded, or the record
// can't be read.
std::optional<Finding> outside_change(const SitePaths& paths, std::optional<std::string_view> live);

// The audit file and the system log as the writing commands use them.
class ChangeTrail {
 public:
  // Opens the audit file and connects to the log; false, with the message written, when either can't be.
  bool open(const SitePaths& paths);
  // Records a live file (or no file) other than the one last recorded; 0, or 2 with the message.
  int reconcile(bool exists, std::string_view live);
  // Records the change in force, whose new text is after, and sends its line; 0, or 3 with the message.
  int send(const std::string& line, std::string_view after);

 private:
  int append(const std::string& text) const;
  // The editor keeps the caller's TZ; the log's lines keep the system's zone.
  LogSocket log_{system_local_time};
  SitePaths paths_{};
  UniqueFd audit_;
  std::string before_ = "none";  // the SHA-256 of the live file as the command read it
};

}  // namespace zel

#endif  // ZEL_ADMIN_TRAIL_H_
