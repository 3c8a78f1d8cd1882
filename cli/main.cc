// zel-auth: lists a site's properties and the checksum of the request on standard
// input. Installed set-group-ID to the group that alone, beside root, can read the
// site file and append to the audit file (or, in the older form, set-user-ID to
// such an account); that privilege serves the two opens and is then given up.
// The whole path, in its order: the privileged start (cli/privilege.h), the
// audit trail (cli/audit.h), the run (cli/driver.h); any failure ends the run
// through fail() and the run's ending, and here the process ends with its status.
#include <unistd.h>

#include <cstdio>
#include <new>

#include "cli/audit.h"
#include "cli/driver.h"
#include "cli/privilege.h"
#include "site/site_file.h"
#include "util/audit_file.h"
#include "util/message.h"
#include "util/status.h"
#include "util/unique_fd.h"

#if !defined(ZEL_SITE_FILE) || !defined(ZEL_AUDIT_FILE)
#error "ZEL_SITE_FILE and ZEL_AUDIT_FILE must name the site file and the audit file"
#endif

namespace {

// Where an allocation fails, even one the C++ runtime makes for an exception it
// is about to throw, the run ends with its status, its record sent if it can be.
void out_of_memory() {
  zel::fail(zel::kOutOfMemory, "Out of memory.\n");
  // No run to end yet, or its record could not be made: nothing is left to do.
  _exit(zel::kOutOfMemory);
}

}  // namespace

int main(int argc, char* argv[]) {
  std::set_new_handler(out_of_memory);
  zel::Kernel& kernel = zel::system_kernel();
  try {
    zel::SiteFile site;
    zel::UniqueFd audit_file;
    int audit_error = 0;
    zel::Ids at_start;
    zel::enter(kernel, [&](const zel::Ids& ids) {
      at_start = ids;
      // Each root's, or in the older form the service account's; the audit
      // file of the service group, where the tool runs set-group-ID to one.
      // The site file readable by the group the tool runs as: the service
      // group, or without set-ID the caller's own, whose rights read it; by
      // none in the older form.
      const bool set_user_id = ids.euid != ids.ruid;
      const bool set_group_id = !set_user_id && ids.egid != ids.rgid;
      site = zel::open_site_file(ZEL_SITE_FILE, set_user_id ? ids.euid : 0,
                                 set_user_id ? zel::kNoGroup : ids.egid);
      audit_error = zel::open_audit_file(ZEL_AUDIT_FILE, set_user_id ? ids.euid : 0,
                                         set_group_id ? ids.egid : zel::kAnyGroup, audit_file);
    });
    // Only now, with the invoking user's rights, and before anything is read:
    // once the caller owns the process it may lower its descriptor limit, and
    // a socket opened when the record is due could then never be opened.
    zel::AuditTrail trail(std::move(audit_file), audit_error, at_start.ruid);
    // The body is read through a buffer of the tool's own, and the listing,
    // written whole, needs none: the C library would otherwise ask the kernel
    // what each stream is to size one. A stream these can't change (they fail
    // only for a mode they don't know) works as before.
    static char in_buffer[BUFSIZ];
    static_cast<void>(std::setvbuf(stdin, in_buffer, _IOFBF, sizeof in_buffer));
    static_cast<void>(std::setvbuf(stdout, nullptr, _IONBF, 0));
    zel::run(kernel, at_start, argc, argv, site, ZEL_SITE_FILE, &trail, stdin, stdout);
    return zel::kOk;
  } catch (const zel::RunEnded& ended) {
    // Every owner has released (and wiped) its state on the way out here.
    return ended.status;
  }
}
