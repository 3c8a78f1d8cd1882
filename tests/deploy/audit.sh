# shellcheck shell=bash
# The audit trail zel-auth sends to /dev/log: one exact line for each signing,
# refusal and failure, none for a listing or a usage error, no token value in
# any line, a hostile site name escaped; and the same output and status with a
# log nobody reads and with no log at all. Sourced by run.sh; a new case about
# what is logged is a new row of audit_cases.
#
# Then a caller that lowers the descriptor limit at each point of a run: no
# signature ever leaves the tool without its line. Later, once zel-site's
# part has run, the lines of zel-site's changes (audit_site_changes).
#
# A datagram socket of the test's own stands at /dev/log, on a tmpfs over /dev
# that only this namespace sees (the device nodes the runs need are bound back),
# so nothing is left in the machine's /dev and no line reaches its real log.
# Each line received is compared after its header: "<PRI>", then the text.
# shellcheck disable=SC2034,SC2153,SC2154  # variables shared with run.sh and the other parts

# token_id_of TOKEN: the token's identifier as the signed lines give it.
token_id_of() {
  printf 'zel-auth token identifier' | openssl dgst -sha256 -hmac "$1" -binary | head -c 4 | od -An -tx1 | tr -d ' \n'
}
# esc TEXT: TEXT as a line's field has it: space and newline escaped (the
# only such bytes the texts here hold).
esc() { local t=${1// /\\x20}; printf '%s' "${t//$'\n'/\\x0a}"; }

# log_cover: /dev covered by a tmpfs only this namespace sees, with the
# device nodes the runs need bound back; false, and nothing left, if it can't
# be. Nothing may be made in the machine's own /dev: all of it only on the
# cover. log_uncover takes it away.
log_cover() {
  mount --bind /dev "$A/host-dev" && mount -t tmpfs -o mode=0755,size=1m zel-deploy-dev /dev
  if [ "$(findmnt -n -o SOURCE /dev | tail -n 1)" != zel-deploy-dev ]; then
    umount "$A/host-dev" 2>/dev/null
    return 1
  fi
  for d in null zero full random urandom; do : >"/dev/$d" && mount --bind "$A/host-dev/$d" "/dev/$d"; done
  ln -s /proc/self/fd /dev/fd
}
log_uncover() {
  for d in null zero full random urandom; do umount "/dev/$d"; done
  umount /dev && umount "$A/host-dev" || fail "cannot uncover /dev"
}

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
  if log_cover; then
    # TAG|USER|INPUT|ARGS|the lines expected (" ;; " between two), or -. "hostile"
    # stands for a site name with a newline and a fake entry. "cut" writes to a
    # full standard output: the signature is logged before the listing fails. The last case logs: once its line is in, any
    # line a case before it should not have sent is in too.
    hostile_site=$'x\nzel-auth[1]: signed for actor=root'
    # -K 0: the key is standard input's first line, the body its second.
    { echo own-key-fd-5d2c0b7e; cat "$T/body-$other"; } >"$T/keybody-$other" && chmod 0644 "$T/keybody-$other"
    local id1 id2
    id1=$(token_id_of "$canary") id2=$(token_id_of "$canary2")
    audit_cases=(
      "self|$user|$T/body-$user||<86>signed for actor=$user user=$user site=default via=self key=site token=$id1 digest=$(digest_of "$T/body-$user")"
      "autobuild|autobuild|$T/body-$other|-s staging|<86>signed for actor=$other user=autobuild site=[staging] via=autobuild key=site token=$id2 digest=$(digest_of "$T/body-$other")"
      "key|$user|$T/body-$other|-k own-key-7f3e9a1c|<86>signed for actor=$other user=$user site=default via=own-key key=own digest=$(digest_of "$T/body-$other")"
      "fdkey|$user|$T/keybody-$other|-K 0|<86>signed for actor=$other user=$user site=default via=own-key key=own digest=$(digest_of "$T/body-$other")"
      "refused|$user|$T/body-$other||<85>refused actor=$other user=$user site=default"
      "cut|$user|$T/body-$user||<86>signed for actor=$user user=$user site=default via=self key=site token=$id1 digest=$(digest_of "$T/body-$user") ;; <85>failed actor=$user user=$user site=default status=9 message=$(esc "Unable to write to standard output: No space left on device.")"
      "listing|$user|$T/empty||-"
      "usage|$user|$T/body-$user|-x|-"
      "noactor|$user|$T/noactor||<85>failed user=$user site=default status=5 message=$(esc "Unable to locate actor in message body.")"
      "hostile|$user|$T/body-$user|-s hostile|<85>failed actor=$user user=$user site=[x\\x0azel-auth[1]:\\x20signed\\x20for\\x20actor=root] status=7 message=$(esc "Site stanza for specified site ($hostile_site) not found in site file ($SITE_FILE).")"
      "broken|$user|$T/body-$user|-s broken|<83>failed actor=$user user=$user site=[broken] status=8 message=$(esc "Token value cannot be empty.")"
    )
    audit_runs() {  # PREFIX: every case, with /dev/log as it stands
      local c tag who input args want
      for c in "${audit_cases[@]}"; do
        IFS='|' read -r tag who input args want <<<"$c"
        read -ra argv <<<"$args"
        [ "${argv[1]:-}" = hostile ] && argv[1]=$hostile_site
        if [ "$tag" = cut ]; then tool=$T/full-out; else tool=$TOOL; fi
        run_tool "$1-$tag" "$who" "$input" "${argv[@]}"
      done
      tool=$TOOL
    }
    printf '#!/bin/sh\nexec %s "$@" >/dev/full\n' "$TOOL" >"$T/full-out" && chmod 0755 "$T/full-out"
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
    grep -qF -e "$canary" -e "$canary2" -e own-key-7f3e9a1c -e own-key-fd-5d2c0b7e "$R/audit.received" &&
      fail "a token value reached the log"
    audit_descriptor_limits
    # With a socket that nobody reads any more, every run that has a line to
    # send ends with status 14 and nothing on standard output; a run without
    # one is as before. With no /dev/log at all, every run is as before.
    kill "$sink" && wait "$sink" 2>/dev/null
    audit_runs unread
    rm -f /dev/log
    audit_runs nolog
    local tag want
    for c in "${audit_cases[@]}"; do
      tag=${c%%|*} want=${c##*|}
      same_run "nolog-$tag" "log-$tag"
      if [ "$want" = - ]; then
        same_run "unread-$tag" "log-$tag"
      elif [ "$(cat "$R/unread-$tag.rc")" != 14 ] || [ -s "$R/unread-$tag.out" ] ||
           { [ "$tag" != cut ] &&
             [ "$(tail -n 1 "$R/unread-$tag.err")" != "Unable to send the audit record: Connection refused." ]; }; then
        fail "unread-$tag: status $(cat "$R/unread-$tag.rc"), expected 14, an empty standard output and the message"
        show "$R/unread-$tag.out"; show "$R/unread-$tag.err"
      else
        ok "unread-$tag: status 14, nothing on standard output"
      fi
    done
    same_run log-self self
    log_uncover
  else
    fail "cannot cover /dev with a tmpfs"
  fi
  section_ok "the audit trail: one exact line for each signing, refusal and failure, none for a listing; status 14 when a line can't be sent; the same output without a log"
}

# audit_descriptor_limits: with the receiver at /dev/log, a caller lowers the
# tool's descriptor limit before it starts, while it waits on its input, and
# at whatever moment a start races to; each run either fails with nothing on
# standard output or lists a signature whose line the log received.
audit_descriptor_limits() {
  local i n tag pid runs=0 signed=0 uid gid
  nofile_check() {  # TAG PID
    runs=$((runs + 1))
    if grep -q '^signature\.value = ' "$R/$1.out"; then
      signed=$((signed + 1))
      wait_for grep -q "zel-auth\[$2\]: signed for " "$R/audit.received" ||
        fail "$1: a signature reached the caller (status $(cat "$R/$1.rc")) and the log has no line of it"
    elif [ "$(cat "$R/$1.rc")" = 0 ] || [ -s "$R/$1.out" ]; then
      fail "$1: status $(cat "$R/$1.rc") with no signature: $(visible "$R/$1.out")"
    fi
  }
  # Before the start: the limit holds from the first instruction.
  for n in 3 4 5 6 8; do
    tag=nofile-start-$n
    as "$user" env -i sh -c 'echo $$ >&5; exec 5>&-; ulimit -n "$1"; exec "$2"' sh "$n" "$TOOL" \
      <"$T/body-$user" >"$R/$tag.out" 2>"$R/$tag.err" 5>"$R/$tag.pid"
    echo $? >"$R/$tag.rc"
    nofile_check "$tag" "$(cat "$R/$tag.pid")"
  done
  # While it waits on its input, and racing the start: prlimit on the running
  # tool by the user, who may do so once the tool has given up its privilege
  # (before that, the user's prlimit is refused).
  mkfifo -m 0600 "$T/nofile-in"
  uid=$(uid_of "$user") gid=$(gid_of "$user")
  for ((i = 0; i < 40; i++)); do
    tag=nofile-run-$i n=$((3 + i % 5))
    exec 7<>"$T/nofile-in"
    setpriv --reuid="$uid" --regid="$gid" --clear-groups -- env -i "$TOOL" \
      <&7 >"$R/$tag.out" 2>"$R/$tag.err" 7<&- &
    pid=$!
    # The first runs wait until the tool blocks on its input; the rest lower
    # the limit at once, at whatever point the run has reached.
    if ((i < 5)); then
      wait_for waits_or_ended "$pid" || fail "$tag: the tool did not come to wait on its input"
      as "$user" prlimit --pid "$pid" --nofile="$n:$n" || fail "$tag: prlimit failed"
    else
      as "$user" prlimit --pid "$pid" --nofile="$n:$n" 2>/dev/null
    fi
    cat "$T/body-$user" >&7
    wait "$pid"
    echo $? >"$R/$tag.rc"
    exec 7>&-
    # Connected before the limit came, the tool still sends its line.
    if ((i < 5)) && { [ "$(cat "$R/$tag.rc")" = 14 ] ||
                      ! wait_for grep -q "zel-auth\[$pid\]: " "$R/audit.received"; }; then
      fail "$tag: the tool was connected to the log before the limit came, yet status $(cat "$R/$tag.rc") and no line: $(visible "$R/$tag.err")"
    fi
    nofile_check "$tag" "$pid"
  done
  rm -f "$T/nofile-in"
  ok "a lowered descriptor limit at each point of $runs runs: $signed signatures, each with its line"
}

# login_word: the administrator as zel-site's lines name it: the login UID's
# account, "unset" for a process no login started, "uid:N" for no account.
login_word() {
  local uid name
  uid=$(cat /proc/self/loginuid 2>/dev/null) || { echo unknown; return; }
  if [ "$uid" = 4294967295 ]; then
    echo unset
  elif name=$(getent passwd "$uid" | cut -d: -f1) && [ -n "$name" ]; then
    echo "$name"
  else
    echo "uid:$uid"
  fi
}

# audit_site_changes: the lines zel-site sends for set-token, an edit by a
# scripted editor, one forced with Q, and a forced install through sudo (whose
# SUDO_USER, the environment's word, is in no line), and zel-auth's signing
# with the new token, whose identifier set-token's line gave: each exact, in
# order, with its tag, no token value in any. A refused or failed edit and an
# unchanged install send none. A log nobody reads refuses a change and leaves
# the file as it was; no log at all leaves the commands as they were. Runs
# after site_tool_refusals, on the file it installed ($Z/clean.conf).
audit_site_changes() {
  section
  local adm id2 id3 want tag
  adm=$(login_word) id2=$(token_id_of "$canary2") id3=$(token_id_of "$canary3")
  if ! log_cover; then
    fail "cannot cover /dev with a tmpfs"
    return
  fi
  : >"$R/site-audit.received"
  "$A/logsink" /dev/log "$R/site-audit.received" 60 &
  sink=$!
  started+=("$sink")
  wait_for test -S /dev/log || fail "the log receiver did not start"
  echo "$canary3" | zs audit-set-token set-token -s staging
  zs_expect audit-set-token 0 "set the token value of [staging]"
  # The same value again: unchanged, no line.
  echo "$canary3" | zs audit-set-same set-token -s staging
  zs_expect audit-set-same 0 "unchanged"
  run_tool audit-signed "$user" "$T/body-$user" -s staging
  zs_editor=$Z/append
  zs audit-edit edit </dev/null
  zs_expect audit-edit 0 "installed $SITE_FILE"
  # Refused at "What now?", and an editor that fails: no line.
  zs_editor=$Z/leak
  echo x | zs audit-edit-refused edit
  zs_expect audit-edit-refused 1 "is unchanged"
  zs_editor=false
  zs audit-edit-failed edit </dev/null
  zs_expect audit-edit-failed 1 "the editor failed"
  # Installed with its errors at "What now?": forced.
  zs_editor=$Z/leak
  printf 'Q\nyes\n' | zs audit-edit-forced edit
  zs_expect audit-edit-forced 0 "installed $SITE_FILE"
  # Forced, by root through sudo; then the same file again: unchanged, no line.
  timeout 30 env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin SUDO_USER="$user" "$ZEL_SITE" install --force "$Z/typo.conf" \
    >"$R/audit-forced.out" 2>"$R/audit-forced.err"
  echo $? >"$R/audit-forced.rc"
  zs_expect audit-forced 0 "installed $Z/typo.conf"
  zs audit-same install --force "$Z/typo.conf"
  zs_expect audit-same 0 "unchanged"
  # The last one logs: once its line is in, any line sent before it is in too.
  zs audit-restore install "$Z/clean.conf"
  zs_expect audit-restore 0 "installed $Z/clean.conf"
  printf '%s\n' \
    "<85>zel-site: set-token by=$adm stanza=[staging] token=changed id=$id3 was=$id2" \
    "<86>zel-auth: signed for actor=$user user=$user site=[staging] via=self key=site token=$id3 digest=$(digest_of "$T/body-$user")" \
    "<85>zel-site: edit by=$adm changed=[staging] token=same id=$id3" \
    "<85>zel-site: edit by=$adm forced changed=[staging] token=same id=$id3" \
    "<85>zel-site: install by=$adm forced changed=[staging] token=changed id=$id2 was=$id3" \
    "<85>zel-site: install by=$adm changed=[staging] token=same id=$id2" >"$R/site-audit.want"
  received_all() { [ "$(wc -l <"$R/site-audit.received")" -ge "$(wc -l <"$R/site-audit.want")" ]; }
  wait_for received_all || fail "zel-site's lines missing from the log"
  sed -E 's/^(<[0-9]+>)[A-Z][a-z]{2} [ 0-9][0-9] [0-9:]{8} (zel-auth|zel-site)\[[0-9]+\]: /\1\2: /' \
    "$R/site-audit.received" | diff "$R/site-audit.want" - >"$R/site-audit.diff" ||
    { fail "zel-site's log lines (- wanted, + received):"; sed 's/^/    /' "$R/site-audit.diff"; }
  grep -qF -e "$canary" -e "$canary2" -e "$canary3" -e "Deploy test" -e "token.vaule" "$R/site-audit.received" &&
    fail "a token value or a property line reached zel-site's lines"
  # A log nobody reads: the change is refused before it is made.
  kill "$sink" && wait "$sink" 2>/dev/null
  local before
  before=$(site_state)
  echo "$canary3" | zs audit-unread set-token -s staging
  zs_expect audit-unread 2 "zel-site: the system log (/dev/log) can't be reached: Connection refused; $SITE_FILE is unchanged"
  [ "$(site_state)" = "$before" ] || fail "a change went in without its line"
  # No log at all: as before.
  rm -f /dev/log
  echo "$canary3" | zs audit-nolog set-token -s staging
  zs_expect audit-nolog 0 "set the token value of [staging]"
  log_uncover
  section_ok "zel-site's exact lines for set-token, edit and a forced install, zel-auth's with the new token's identifier; none for a refused or failed edit or an unchanged install; a log nobody reads refuses a change"
}
