# shellcheck shell=bash
# zel-auth's audit file, the record of truth, as deploy.sh had zel-site make it
# (on a tmpfs over /var/log that only this namespace sees): what no caller can take
# from it: a user can neither write a line into it nor read it; a signature
# never leaves without its record, whether /dev/log is missing, dangling or
# restarting, the descriptor limit is lowered before the start or while the
# tool waits, or 16 callers run at once; and a file the tool can't append to
# (removed, a link, at or near the file size limit) stops every run that has a
# record to make with status 14 and nothing listed, and a removed one is made
# again by zel-site check --deployment --create; a record written in part
# never swallows the next. Sourced by run.sh.
# shellcheck disable=SC2034,SC2153,SC2154  # variables shared with run.sh and the other parts

AUDIT_FILE=/var/log/zel-auth/audit.log

# signed_records: how many signing records the file holds.
signed_records() { grep -c '^[^ ]* zel-auth\[[0-9]*\]: uid=[0-9]* signed for ' "$AUDIT_FILE"; }
# recorded PID: the file holds a signing record of that process.
recorded() { grep -q "^[^ ]* zel-auth\[$1\]: uid=[0-9]* signed for " "$AUDIT_FILE"; }

# signing_runs TAG COUNT: COUNT signings as the user, the tool's process ID
# (the shell's, after exec) taken first; every status-0 run's record must be in
# the file. Sets runs_signed.
signing_runs() {
  local tag=$1 i pid
  runs_signed=0
  for ((i = 0; i < $2; i++)); do
    as "$user" env -i sh -c 'echo $$ >&3; exec 3>&-; exec "$1"' sh "$TOOL" \
      <"$T/body-$user" >"$R/$tag.out" 2>"$R/$tag.err" 3>"$R/$tag.pid"
    if [ $? = 0 ]; then
      runs_signed=$((runs_signed + 1))
      pid=$(cat "$R/$tag.pid")
      recorded "$pid" || fail "$tag run $i: a signature left without its record (pid $pid)"
    elif [ -s "$R/$tag.out" ]; then
      fail "$tag run $i: failed, yet something was listed"
    fi
  done
}

audit_record_cases() {
  section
  # No user can write a line into it or read it.
  as "$user" sh -c 'echo "forged" >>"$1"' sh "$AUDIT_FILE" 2>/dev/null && fail "$user could write into the audit file"
  as "$user" cat "$AUDIT_FILE" >/dev/null 2>&1 && fail "$user could read the audit file"
  grep -q forged "$AUDIT_FILE" && fail "a forged line is in the audit file"
  # Every line so far is one whole record.
  grep -vqE -e '^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{6}Z zel-auth\[[0-9]+\]: uid=[0-9]+ (signed for|refused|failed) ' \
    -e '^$' "$AUDIT_FILE" && fail "a line of the audit file is no record: $(grep -vE -e ' zel-auth\[' -e '^$' "$AUDIT_FILE" | head -n 3)"

  # /dev/log missing, dangling, and a log daemon restarting all the while.
  if log_cover; then
    rm -f /dev/log
    signing_runs nolog 3
    [ "$runs_signed" = 3 ] || fail "with no /dev/log, $runs_signed of 3 signings"
    ln -s /run/zel-deploy-test/no-such-log /dev/log
    signing_runs dangling 3
    [ "$runs_signed" = 3 ] || fail "with a dangling /dev/log, $runs_signed of 3 signings"
    rm -f /dev/log
    : >"$T/restart.go"
    (while [ -e "$T/restart.go" ]; do
       "$A/logsink" /dev/log "$R/restart.received" 2 & sink=$!
       sleep 0.3; kill "$sink" 2>/dev/null; wait "$sink" 2>/dev/null; rm -f /dev/log; sleep 0.05
     done) &
    local restarter=$!
    started+=("$restarter")
    signing_runs restart 300
    rm -f "$T/restart.go"
    wait "$restarter"
    ok "a restarting log: $runs_signed of 300 runs signed, each with its record"
    log_uncover
  else
    fail "cannot cover /dev with a tmpfs"
  fi

  # A caller's descriptor limit, lowered before the start and while the tool waits.
  local n pid tag rc
  for n in 3 4 5 6; do
    tag=nofile-audit-$n
    as "$user" env -i sh -c 'echo $$ >&3; exec 3>&-; ulimit -n "$1"; exec "$2"' sh "$n" "$TOOL" \
      <"$T/body-$user" >"$R/$tag.out" 2>"$R/$tag.err" 3>"$R/$tag.pid"
    rc=$?
    if [ "$rc" = 0 ]; then recorded "$(cat "$R/$tag.pid")" || fail "$tag: signed without its record"
    elif [ -s "$R/$tag.out" ]; then fail "$tag: status $rc, yet something was listed"; fi
  done
  mkfifo -m 0600 "$T/audit-in"
  for n in 3 4 5; do
    tag=nofile-wait-$n
    exec 7<>"$T/audit-in"
    setpriv --reuid="$(uid_of "$user")" --regid="$(gid_of "$user")" --clear-groups -- env -i "$TOOL" \
      <&7 >"$R/$tag.out" 2>"$R/$tag.err" 7<&- &
    pid=$!
    wait_for waits_or_ended "$pid" || fail "$tag: the tool did not come to wait on its input"
    as "$user" prlimit --pid "$pid" --nofile="$n:$n" || fail "$tag: prlimit failed"
    cat "$T/body-$user" >&7
    wait "$pid"
    rc=$?
    exec 7>&-
    # Without descriptors libcrypto may not load (status 11): no signature then.
    if [ "$rc" = 0 ]; then recorded "$pid" || fail "$tag: signed without its record"
    elif [ -s "$R/$tag.out" ]; then fail "$tag: status $rc, yet something was listed"; fi
  done
  rm -f "$T/audit-in"

  # The file size limit at the file's size: nothing of the record, nothing listed.
  local size
  size=$(stat -c %s "$AUDIT_FILE")
  tool=prlimit run_tool fsize-audit "$user" "$T/body-$user" --fsize="$size:$size" -- "$TOOL"
  tool=$TOOL
  expect_run fsize-audit 14 /dev/null $'Unable to send the audit record: File too large.\n'
  [ "$(stat -c %s "$AUDIT_FILE")" = "$size" ] || fail "a part of a record went in over the file size limit"
  # A user's limit short of his record: refused whole, nothing of it in. A part
  # a race leaves (others' appends between the check and the write; made here
  # by hand) stands on its own line: the next record, another user's
  # (autobuild's), stays whole, found by its uid and listed by zel-site log.
  tool=prlimit run_tool fsize-cut "$user" "$T/body-$user" --fsize="$((size + 60)):$((size + 60))" -- "$TOOL"
  tool=$TOOL
  expect_run fsize-cut 14 /dev/null $'Unable to send the audit record: File too large.\n'
  [ "$(stat -c %s "$AUDIT_FILE")" = "$size" ] || fail "a part of a record went in under a lowered file size limit"
  printf '\n%s zel-auth[1]: uid=%s signed for actor=%s user=%s site=default via=self key=site tok' \
    2026-12-09T10:11:12.123456Z "$(uid_of "$user")" "$user" "$user" >>"$AUDIT_FILE"
  run_tool cut-next autobuild "$T/body-autobuild"
  [ "$(cat "$R/cut-next.rc")" = 0 ] || fail "cut-next: status $(cat "$R/cut-next.rc"), expected 0"
  local next
  next=$(tail -n 1 "$AUDIT_FILE" |
    grep -E "^[0-9T:.Z-]{27} zel-auth\[[0-9]+\]: uid=$(uid_of autobuild) signed for actor=autobuild ")
  grep -F " uid=$(uid_of autobuild) " "$AUDIT_FILE" | grep -qxF -- "${next:-none}" ||
    fail "after a record written in part, autobuild's record is not whole on a line of its own"
  zs cut-log log
  zs_expect cut-log 1 "$AUDIT_FILE:$(($(wc -l <"$AUDIT_FILE") - 1)): error: not a record"
  grep -qxF -- "${next:-none}" "$R/cut-log.out" || fail "zel-site log does not list autobuild's record"
  truncate -s "$size" "$AUDIT_FILE"

  # Removed, or replaced by a link to a file the group may write.
  mv "$AUDIT_FILE" "$AUDIT_FILE.kept"
  run_tool audit-removed "$user" "$T/body-$user"
  expect_run audit-removed 14 /dev/null $'Unable to send the audit record: No such file or directory.\n'
  run_tool audit-removed-listing "$user" "$T/empty"
  expect_run audit-removed-listing 0 <(printf '%s\n' "${default_props[@]}") ''
  ln -s "$AUDIT_FILE.kept" "$AUDIT_FILE"
  run_tool audit-link "$user" "$T/body-$user"
  expect_run audit-link 14 /dev/null $'Unable to send the audit record: Too many levels of symbolic links.\n'
  # Owned by a system account other than root (user ID 1): not root's, so refused.
  rm -f "$AUDIT_FILE"
  cp -p "$AUDIT_FILE.kept" "$AUDIT_FILE"
  chown 1 "$AUDIT_FILE"
  run_tool audit-not-roots "$user" "$T/body-$user"
  expect_run audit-not-roots 14 /dev/null $'Unable to send the audit record: Operation not permitted.\n'
  # Gone from the directory that stays: check --deployment --create makes it
  # again, root:GROUP 0620, and says the deployment is sound (status 0).
  rm -f "$AUDIT_FILE"
  # Not while zel-auth's group is unfit to serve: the file would take that group.
  chgrp "$ZD_MEMBERS" "$TOOL"
  zs audit-create-unfit check --deployment --create
  chgrp "$svc" "$TOOL" && chmod 2711 "$TOOL"
  zs_expect audit-create-unfit 2 "$TOOL is missing or its group unfit to serve, and the audit file takes its group"
  [ ! -e "$AUDIT_FILE" ] || fail "check --deployment --create made an audit file of an unfit group"
  zs audit-create check --deployment --create
  zs_expect audit-create 0
  [ "$(stat -c '%U:%G %a %s' "$AUDIT_FILE")" = "root:$svc 620 0" ] ||
    fail "check --deployment --create made the audit file $(stat -c '%U:%G %a, %s bytes' "$AUDIT_FILE")"
  run_tool audit-created "$user" "$T/body-$user"
  [ "$(cat "$R/audit-created.rc")" = 0 ] || fail "audit-created: status $(cat "$R/audit-created.rc"), expected 0"
  [ "$(signed_records)" = 1 ] || fail "the audit file made again holds $(signed_records) signing records, not 1"
  rm -f "$AUDIT_FILE" && mv "$AUDIT_FILE.kept" "$AUDIT_FILE"

  # 16 callers at once, 300 runs each: one record per signing, none torn.
  local before k total=0
  before=$(signed_records)
  for ((k = 0; k < 16; k++)); do
    as "$user" env -i timeout 240 sh -c 'n=0; i=0
      while [ $i -lt 300 ]; do "$1" <"$2" >/dev/null 2>&1 && n=$((n + 1)); i=$((i + 1)); done; echo $n' \
      sh "$TOOL" "$T/body-$user" >"$R/parallel-$k.count" &
  done
  wait
  for ((k = 0; k < 16; k++)); do total=$((total + $(cat "$R/parallel-$k.count"))); done
  [ "$total" = 4800 ] || fail "16 parallel callers: $total of 4800 runs signed"
  [ "$(($(signed_records) - before))" = "$total" ] ||
    fail "16 parallel callers: $total signings, $(($(signed_records) - before)) records"
  grep -vqE -e '^[0-9T:.Z-]{27} zel-auth\[[0-9]+\]: uid=[0-9]+ ' -e '^$' "$AUDIT_FILE" && fail "a torn record in the audit file"
  section_ok "the audit file: no user writes or reads it; no signature without its record (no, dangling and restarting /dev/log, lowered descriptor limits, 16 parallel callers); a file the tool can't append to stops the run with 14; a removed one is made again by check --deployment --create"
}
