// The commands of zel-site, from the command line to the exit status, apart
// from the process's own set-up (admin/main.cc), so that tests can run them with
// paths of their own. Findings, of every command, go to standard output, as
// check's do; other messages and prompts go to standard error.
#ifndef ZEL_ADMIN_COMMANDS_H_
#define ZEL_ADMIN_COMMANDS_H_

#include "admin/commit.h"

namespace zel {

// Runs zel-site with argv (argv[0] the program); the exit status (a SiteStatus).
int run_zel_site(int argc, char* argv[], const SitePaths& paths);

}  // namespace zel

#endif  // ZEL_ADMIN_COMMANDS_H_
