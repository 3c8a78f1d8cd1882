# shellcheck shell=bash
# The race for the site file's descriptor while zel-auth drops its privilege,
# where the system lets set-ID programs be traced: with fs.suid_dumpable at 1,
# changing the effective IDs makes the process traceable again. The caller
# races each run, trying to take the site file's descriptor (3) with
# pidfd_getfd and read it; the drop must leave no moment in which that works.
# The race is bounded (3000 runs, 120 seconds). fs.suid_dumpable is restored
# here, by run.sh on every way out, and outside the namespace as well.
# Sourced by run.sh; a new case about the privileged window goes here.
# shellcheck disable=SC2034,SC2153,SC2154  # variables shared with run.sh and the other parts

race_privilege_drop() {
  section
  cat >"$T/race.c" <<'EOF'
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
/* race TOOL RUNS SECRET: in how many RUNS of TOOL a descriptor holding SECRET was taken. */
int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const int runs = atoi(argv[2]);
  const char* secret = argv[3];
  /* Kept clear of descriptor 3, which each child must first get from the tool. */
  int opened = open("/dev/null", O_RDWR | O_CLOEXEC);
  int null = opened < 0 ? -1 : fcntl(opened, F_DUPFD_CLOEXEC, 100);
  if (null < 0) return 2;
  close(opened);
  long wins = 0, tries = 0;
  for (int i = 0; i < runs; i++) {
    pid_t pid = fork();
    if (pid < 0) return 2;
    if (pid == 0) {
      dup2(null, 0), dup2(null, 1), dup2(null, 2);
      execl(argv[1], argv[1], (char*)NULL);
      _exit(127);
    }
    int pidfd = (int)syscall(SYS_pidfd_open, pid, 0);
    for (long spin = 0; pidfd >= 0 && spin < 1000000; spin++) {
      int fd = (int)syscall(SYS_pidfd_getfd, pidfd, 3, 0);
      if (fd >= 0) {
        char buf[8192];
        ssize_t n = pread(fd, buf, sizeof buf, 0);
        close(fd);
        if (n > 0 && memmem(buf, (size_t)n, secret, strlen(secret)) != NULL) {
          wins++;
          break;
        }
      }
      if ((++tries & 15) == 0 && waitpid(pid, NULL, WNOHANG) == pid) {
        pid = 0;
        break;
      }
    }
    if (pidfd >= 0) close(pidfd);
    if (pid > 0) waitpid(pid, NULL, 0);
  }
  printf("%ld %ld\n", wins, tries);
  return 0;
}
EOF
  if ! "$cc" -O2 -o "$T/race" "$T/race.c"; then
    fail "cannot build the race program"
  elif ! echo 1 >/proc/sys/fs/suid_dumpable 2>/dev/null; then
    echo "note: fs.suid_dumpable can't be set here; the race is not run"
  else
    as "$user" timeout 120 "$T/race" "$TOOL" 3000 "$canary" >"$R/race.log" 2>&1
    rc=$?
    echo "$ZD_SUID_DUMPABLE" >/proc/sys/fs/suid_dumpable
    read -r wins tries <"$R/race.log"
    if ((rc != 0)); then
      fail "the race program ended with status $rc"
    elif [ "$wins" != 0 ]; then
      fail "with fs.suid_dumpable = 1, $user read the site file through the tool's descriptor in $wins of 3000 runs"
    fi
    section_ok "with fs.suid_dumpable = 1, 3000 raced runs ($tries attempts) gave no descriptor away"
  fi
}
