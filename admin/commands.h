// The commands of zel-site, from the command line to the exit status, apart
// from the process's own set-up (admin/main.cc), so that tests can run them with
// paths of their own. Findings, of every command, go to standard output, as
// check's do; other messages and prompts go to standard error.
#ifndef ZEL_ADMIN_COMMANDS_H_
#define ZEL_ADMIN_COMMANDS_H_

#include "util/log_socket.h"

namespace zel {

// The paths compiled into zel-site: the live site file, the installed zel-auth, the audit file and
// zel-site's record of the site file it last put in force (admin/record.h); and the system log's socket.
struct SitePaths {
  const char* site;
  const char* tool;
  const char* audit;
  const char* record;
  const char* log = kSystemLogPath;
};

// Runs zel-site with argv (argv[0] the program); the exit status.
int run_zel_site(int argc, char* argv[], const SitePaths& paths);

}  // namespace zel

#endif  // ZEL_ADMIN_COMMANDS_H_
