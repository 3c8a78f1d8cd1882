// zel-auth: lists a site's properties and the checksum of the request on standard
// input. Installed set-group-ID to the group that alone, beside root, can read the
// site file (or, in the older form, set-user-ID to such an account); that
// privilege serves the one open of the site file and is then given up.
#include <csignal>
#include <cstdio>
#include <new>

#include "cli/audit.h"
#include "cli/driver.h"
#include "cli/privilege.h"
#include "site/site_file.h"
#include "util/status.h"

#ifndef ZEL_SITE_FILE
#error "ZEL_SITE_FILE must name the site file"
#endif

int main(int argc, char* argv[]) {
  zel::ensure_standard_descriptors();
  // A listing cut off by the caller's file size limit must end as a failed
  // write with its status and message, not as a killed process.
  static_cast<void>(std::signal(SIGXFSZ, SIG_IGN));  // cannot fail for this signal
  zel::make_undumpable();
  try {
    const zel::SiteFile site = zel::open_site_file(ZEL_SITE_FILE);
    if (zel::drop_privileges() != zel::kOk) return zel::kPrivilege;
    // Only now: no socket may be opened with the service group's rights.
    zel::open_audit_log();
    return zel::run(argc, argv, site, ZEL_SITE_FILE, stdin, stdout);
  } catch (const std::bad_alloc&) {
    // Every owner has released (and wiped) its state on the way out here.
    std::fputs("Out of memory.\n", stderr);
    return zel::kOutOfMemory;
  }
}
