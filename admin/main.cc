// zel-site: the administrator's tool for zel-auth's site file. It checks a site
// file and its deployment, shows what every user sees of it, and changes the
// live file only whole, checked and under a lock: by an editor, from a finished
// file, or one token value at a time. The commands are admin/commands.h.
#include <sys/stat.h>

#include <cstdio>
#include <new>

#include "admin/commands.h"
#include "admin/interrupt.h"
#include "util/hardening.h"

#if !defined(ZEL_SITE_FILE) || !defined(ZEL_AUTH_PATH) || !defined(ZEL_AUDIT_FILE) || !defined(ZEL_SITE_RECORD)
#error "ZEL_SITE_FILE, ZEL_AUTH_PATH, ZEL_AUDIT_FILE and ZEL_SITE_RECORD must be defined"
#endif

int main(int argc, char* argv[]) {
  // Before anything is opened: a closed standard descriptor must not be taken
  // by the log socket or a file, and no token may reach a core dump.
  zel::harden_process();
  // Every file zel-site makes is root's alone until it is given its place.
  umask(077);
  int status = 2;
  try {
    status = zel::run_zel_site(argc, argv, {ZEL_SITE_FILE, ZEL_AUTH_PATH, ZEL_AUDIT_FILE, ZEL_SITE_RECORD});
  } catch (const std::bad_alloc&) {
    std::fputs("zel-site: out of memory\n", stderr);
  }
  zel::end_if_interrupted();
  return status;
}
