// zel-auth: lists a site's properties and the checksum of the request on standard
// input. Installed set-group-ID to the group that alone, beside root, can read the
// site file (or, in the older form, set-user-ID to such an account); that
// privilege serves the one open of the site file and is then given up.
#include <sys/auxv.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "cli/audit.h"
#include "cli/driver.h"
#include "cli/privilege.h"
#include "site/site_file.h"
#include "util/message.h"
#include "util/status.h"

#ifndef ZEL_SITE_FILE
#error "ZEL_SITE_FILE must name the site file"
#endif

namespace {

// Where an allocation fails, even one the C++ runtime makes for an exception it
// is about to throw, the run ends with its status. Secrets need no wiping on
// this path: the process ends here and the kernel takes its pages back.
void out_of_memory() {
  static constexpr char kMessage[] = "Out of memory.\n";
  // Once, even when the run had already said so and was ending with its status.
  // Nothing is left to report a failed write with; the status still tells.
  if (zel::last_report() != kMessage &&
      write(STDERR_FILENO, kMessage, sizeof kMessage - 1) < 0) {
    _exit(zel::kOutOfMemory);
  }
  _exit(zel::kOutOfMemory);
}

}  // namespace

int main(int argc, char* argv[]) {
  // A set-ID run reads no variable of the caller's, and neither may the
  // libraries it calls: the C library reads TZ for the time of a log line, and
  // the name-service modules that look the caller up may read any variable with
  // plain getenv. Nothing in such a run needs the environment.
  if (getauxval(AT_SECURE) != 0) clearenv();
  std::set_new_handler(out_of_memory);
  zel::ensure_standard_descriptors();
  // A listing cut off by the caller's file size limit must end as a failed
  // write with its status and message, not as a killed process.
  static_cast<void>(std::signal(SIGXFSZ, SIG_IGN));  // cannot fail for this signal
  zel::make_undumpable();
  try {
    const zel::SiteFile site = zel::open_site_file(ZEL_SITE_FILE);
    if (zel::drop_privileges() != zel::kOk) return zel::kPrivilege;
    // Only now, with the invoking user's rights, and before anything is read:
    // once the caller owns the process it may lower its descriptor limit, and
    // a socket opened when the line is due could then never be opened.
    zel::open_audit_log();
    return zel::run(argc, argv, site, ZEL_SITE_FILE, stdin, stdout);
  } catch (const std::bad_alloc&) {
    // Every owner has released (and wiped) its state on the way out here.
    std::fputs("Out of memory.\n", stderr);
    return zel::kOutOfMemory;
  }
}
