# shellcheck shell=bash
# The audit trail zel-auth sends to /dev/log: one exact line for each signing,
# refusal and failure, none for a listing or a usage error, no token value in
# any line, a hostile site name escaped; and the same output and status with a
# log nobody reads and with no log at all. Sourced by run.sh; a new case about
# what is logged is a new row of audit_cases.
#
# A datagram socket of the test's own stands at /dev/log, on a tmpfs over /dev
# that only this namespace sees (the device nodes the runs need are bound back),
# so nothing is left in the machine's /dev and no line reaches its real log.
# Each line received is compared after its header: "<PRI>", then the text.
# shellcheck disable=SC2034,SC2153,SC2154  # variables shared with run.sh and the other parts

audit_trail() {
  section
  A=/opt/zel-test-audit
  mkdir -p "$A/host-dev" && chmod 0700 "$A"
  cat >"$A/logsink.c" <<'EOF'
/* logsink SOCKET OUT SECONDS: each datagram to SOCKET, which anyone may send to, is a line of OUT. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
int main(int argc, char **argv) {
  struct sockaddr_un addr = {.sun_family = AF_UNIX};
  static char line[65536];
  FILE *out = argc == 4 ? fopen(argv[2], "a") : NULL;
  int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  strncpy(addr.sun_path, argv[1], sizeof addr.sun_path - 1);
  umask(0);
  if (out == NULL || fd < 0 || bind(fd, (struct sockaddr *)&addr, sizeof addr) != 0) return 1;
  alarm((unsigned)atoi(argv[3]));
  for (ssize_t n; (n = recv(fd, line, sizeof line, 0)) >= 0; fflush(out)) fprintf(out, "%.*s\n", (int)n, line);
  return 1;
}
EOF
  "$cc" -O2 -o "$A/logsink" "$A/logsink.c" || fail "cannot build the log receiver"
  mount --bind /dev "$A/host-dev" && mount -t tmpfs -o mode=0755,size=1m zel-deploy-dev /dev
  # Nothing may be made in the machine's own /dev: all of it only on the cover.
  if [ "$(findmnt -n -o SOURCE /dev | tail -n 1)" = zel-deploy-dev ]; then
    for d in null zero full random urandom; do : >"/dev/$d" && mount --bind "$A/host-dev/$d" "/dev/$d"; done
    ln -s /proc/self/fd /dev/fd
    # TAG|USER|INPUT|ARGS|the lines expected (" ;; " between two), or -. "hostile"
    # stands for a site name with a newline and a fake entry. "cut" runs under a
    # file size limit of 0: the signature is logged before the listing fails. The last case logs: once its line is in, any
    # line a case before it should not have sent is in too.
    hostile_site=$'x\nzel-auth[1]: signed for actor=root'
    audit_cases=(
      "self|$user|$T/body-$user||<86>signed for actor=$user user=$user site=default via=self key=site digest=$(digest_of "$T/body-$user")"
      "autobuild|autobuild|$T/body-$other|-s staging|<86>signed for actor=$other user=autobuild site=[staging] via=autobuild key=site digest=$(digest_of "$T/body-$other")"
      "key|$user|$T/body-$other|-k own-key-7f3e9a1c|<86>signed for actor=$other user=$user site=default via=own-key key=own digest=$(digest_of "$T/body-$other")"
      "refused|$user|$T/body-$other||<85>refused actor=$other user=$user site=default"
      "cut|$user|$T/body-$user||<86>signed for actor=$user user=$user site=default via=self key=site digest=$(digest_of "$T/body-$user") ;; <85>failed user=$user site=default status=9 message=Unable to write to standard output: File too large."
      "listing|$user|$T/empty||-"
      "usage|$user|$T/body-$user|-x|-"
      "hostile|$user|$T/body-$user|-s hostile|<85>failed user=$user site=[x\\x0azel-auth[1]:\\x20signed\\x20for\\x20actor=root] status=7 message=Site stanza for specified site (x\\x0azel-auth[1]: signed for actor=root) not found in site file ($SITE_FILE)."
      "broken|$user|$T/body-$user|-s broken|<83>failed user=$user site=[broken] status=8 message=Token value cannot be empty."
    )
    audit_runs() {  # PREFIX: every case, with /dev/log as it stands
      local c tag who input args want
      for c in "${audit_cases[@]}"; do
        IFS='|' read -r tag who input args want <<<"$c"
        read -ra argv <<<"$args"
        [ "${argv[1]:-}" = hostile ] && argv[1]=$hostile_site
        if [ "$tag" = cut ]; then tool=$T/fsize-0; else tool=$TOOL; fi
        run_tool "$1-$tag" "$who" "$input" "${argv[@]}"
      done
      tool=$TOOL
    }
    printf '#!/bin/sh\nulimit -f 0\nexec %s "$@"\n' "$TOOL" >"$T/fsize-0" && chmod 0755 "$T/fsize-0"
    for c in "${audit_cases[@]}"; do
      want=${c##*|}
      [ "$want" = - ] || printf '%s\n' "${want// ;; /$'\n'}"
    done >"$R/audit.want"
    received_all() { [ "$(wc -l <"$R/audit.received")" -ge "$(wc -l <"$R/audit.want")" ]; }
    "$A/logsink" /dev/log "$R/audit.received" 60 &
    sink=$!
    started+=("$sink")
    wait_for test -S /dev/log || fail "the log receiver did not start"
    audit_runs log
    wait_for received_all || fail "lines missing from the log"
    sed -E 's/^(<[0-9]+>)[A-Z][a-z]{2} [ 0-9][0-9] [0-9:]{8} zel-auth\[[0-9]+\]: /\1/' "$R/audit.received" |
      diff "$R/audit.want" - >"$R/audit.diff" || { fail "log lines (- wanted, + received):"; sed 's/^/    /' "$R/audit.diff"; }
    grep -qF -e "$canary" -e "$canary2" -e own-key-7f3e9a1c "$R/audit.received" && fail "a token value reached the log"
    # The same runs give the same output and status with a socket that nobody
    # reads any more, and with no /dev/log at all.
    kill "$sink" && wait "$sink" 2>/dev/null
    audit_runs unread
    rm -f /dev/log
    audit_runs nolog
    for c in "${audit_cases[@]}"; do same_run "unread-${c%%|*}" "log-${c%%|*}"; same_run "nolog-${c%%|*}" "log-${c%%|*}"; done
    same_run log-self self
    for d in null zero full random urandom; do umount "/dev/$d"; done
    umount /dev && umount "$A/host-dev" || fail "cannot uncover /dev"
  else
    fail "cannot cover /dev with a tmpfs"
    umount "$A/host-dev" 2>/dev/null
  fi
  section_ok "the audit trail: one exact line for each signing, refusal and failure, none for a listing; the same output without a log"
}
