// The one way zel-site changes the live site file, for edit, install and
// set-token alike. commit_change() first checks the audit file's deployment
// and opens it and the system log (admin/trail.h): an error, or a file or log
// that can't be opened, refuses the change before anything is read or changed.
// It then takes the lock (admin/lock.h), checks the site file's deployment (an
// error refuses; the live file's mode, group or ACL found wrong are mended by
// the write, said as warnings), reads the live file, which must be the file
// checked, records a live file other than the one last recorded as an outside
// change, and has the command compose the new text from it. The same text with
// nothing to mend is "unchanged": nothing is written or logged. Any other text
// is installed (admin/install.h), the command says so, and the change's record
// goes to the trail, which records the new file's SHA-256. Findings go to
// standard output, other messages to standard error unless a command names its
// stream.
#ifndef ZEL_ADMIN_COMMIT_H_
#define ZEL_ADMIN_COMMIT_H_

#include <cstdio>
#include <functional>
#include <string>

#include "admin/install.h"
#include "admin/trail.h"
#include "util/secret.h"

namespace zel {

// zel-site's exit statuses.
enum class SiteStatus {
  kDone = 0,     // done: nothing wrong found, or the change in force, or nothing to change
  kRefused = 1,  // errors found, or a value, file, answer or stanza refused: nothing changed
  kFailed = 2,   // a usage error, or a file or step that failed: nothing changed by this command
  kUnlogged = kChangeUnlogged,  // the change is in force, but the audit file or the log did not take it
};

// Writes "zel-site: MESSAGE" to standard error; status.
SiteStatus failure(const std::string& message, SiteStatus status = SiteStatus::kFailed);

// The text a command puts in force, and whether it had errors (installed all the same).
struct Composed {
  SecretBytes text;
  bool forced = false;
};

// One writing command's part in a change.
struct Commit {
  const char* command;          // "edit", "install" or "set-token": the first word of its line
  const char* stanza = nullptr;  // set-token's stanza (null: the default one)
  std::FILE* out = stdout;      // where unchanged and installed are said
  std::string unchanged;        // said when there is nothing to write
  std::string installed;        // said once the new text is in force
  bool ownership_said = true;   // the new file's owner, group and mode follow installed
  std::function<void()> locked = nullptr;  // run first under the lock, if set
  // The new text from the live file; kDone, or the status the command ends with (its message written).
  std::function<SiteStatus(const LiveFile& live, Composed& next)> compose = nullptr;
};

// Puts commit's text in force as described above; the command's status.
SiteStatus commit_change(const SitePaths& paths, const Commit& commit);

}  // namespace zel

#endif  // ZEL_ADMIN_COMMIT_H_
