# shellcheck shell=bash
# The deployment: zel-auth put into service by tools/deploy.sh and run by
# ordinary users. What deploy.sh makes of the binary, the site file and the
# service group; the protections of the installed binary; what a user can and
# cannot reach; signing, the refusal of another actor, the trusted account,
# the example caller; what the user sees of the waiting tool; a hostile
# environment; closed standard descriptors; a deployment gone wrong and its
# repair; every end-to-end case through the set-group-ID install; and the older
# set-user-ID form, zel-site's words on it included. Sourced by run.sh, which calls each
# function in its turn; a new case of how the installed tool behaves for its
# users goes here.
# shellcheck disable=SC2034,SC2153,SC2154  # variables shared with run.sh and the other parts

# e2e_through SETID WHAT: every case of tests/e2e through the installed binary.
e2e_through() {
  local log=$R/e2e-${1%%:*}.log rc summary
  ZEL_E2E_SETID=$1 timeout 120 bash "$source_dir/tests/e2e/run.sh" "$TOOL" "$SITE_FILE" >"$log" 2>&1
  rc=$? summary=$(tail -n1 "$log")
  if ((rc != 0)) || ! [[ $summary =~ ^[1-9][0-9]*\ passed,\ 0\ failed$ ]]; then
    fail "end-to-end cases through the $2 install: status $rc"
    sed 's/^/    /' "$log"
  fi
  section_ok "end-to-end cases through the $2 install: $summary"
}

# The tool waits on its standard input once it blocks in read(2) on descriptor 0.
case $(uname -m) in x86_64) read_nr=0 ;; aarch64 | riscv64) read_nr=63 ;; *) read_nr= ;; esac
waits_on_stdin() {
  [ "$(cat "/proc/$1/comm" 2>/dev/null)" = zel-auth ] || return 1
  if [ -n "$read_nr" ]; then
    read -r nr fd _ <"/proc/$1/syscall" 2>/dev/null && [ "$nr" = "$read_nr" ] && [ "$fd" = 0x0 ]
  else
    [ "$(awk '{ print $3 }' "/proc/$1/stat")" = S ]
  fi
}
# The tool waits on its input, or has already ended: either way the wait ends.
ended() { local st; st=$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null); [ -z "$st" ] || [ "$st" = Z ]; }
waits_or_ended() { waits_on_stdin "$1" || ended "$1"; }

# deploy.sh makes a member-less system group, the binary root:GROUP 2711 and an
# empty site file root:GROUP 0640; then the site file the rest of the test uses.
# Later parts read svc_gid and the canaries set here.
deployment_install() {
  section
  if [ -n "$install_from" ]; then
    deploy --build "$install_from" --prefix /opt/zel --group "$svc" || { cat "$R/deploy.log"; fail "deploy.sh --build"; exit 1; }
  else
    install -D -m 0755 "$binary" "$TOOL" && install -D -m 0755 "$site_tool" "$ZEL_SITE" &&
      deploy --prefix /opt/zel --group "$svc" || { cat "$R/deploy.log"; fail "deploy.sh"; exit 1; }
  fi
  IFS=: read -r _ _ svc_gid svc_members < <(getent group "$svc")
  gid_min=$(awk '$1 == "GID_MIN" { print $2 }' /etc/login.defs)
  [ "$svc_gid" -lt "${gid_min:-1000}" ] && [ "$svc_gid" -ne 0 ] || fail "service group gid $svc_gid is no system gid"
  [ -z "$svc_members" ] || fail "service group has members: $svc_members"
  getent passwd | awk -F: -v g="$svc_gid" '$4 == g { exit 1 }' || fail "service group is an account's primary group"
  getent passwd "$svc" >/dev/null && fail "deploy.sh made an account $svc"
  [ "$(stat -c '%U:%G %a' "$TOOL")" = "root:$svc 2711" ] || fail "binary is $(stat -c '%U:%G %a' "$TOOL"), expected root:$svc 2711"
  [ "$(stat -c '%U:%G %a %s' "$SITE_FILE")" = "root:$svc 640 0" ] ||
    fail "new site file is $(stat -c '%U:%G %a %s' "$SITE_FILE"), expected an empty root:$svc 640 file"
  section_ok "deploy.sh made the binary root:$svc 2711 and an empty root:$svc 0640 site file ($svc is $svc_gid, member-less)"

  # The site file; the canaries are the token values no output may ever carry.
  canary=zelcanary$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')
  canary2=zelcanary$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')
  cat >"$SITE_FILE" <<EOF
site.name = Deploy test site
site.url = https://deploy.test.invalid/
token.value = $canary
[staging]
site.name = Deploy test staging site
token.value = $canary2
[broken]
site.name = Deploy test site without a token value
token.value =
[bare]
EOF
}

# The protections the installed binary shows, as --hardening asks.
deployment_hardening() {
  section
  readelf -hW "$TOOL" | grep -Eq 'Type:[[:space:]]+DYN' || fail "binary is not position independent"
  readelf -dW "$TOOL" | grep -Eq '\((FLAGS)\).*BIND_NOW|\(FLAGS_1\).*NOW' || fail "binary is not bound now"
  readelf -lW "$TOOL" | grep -q 'GNU_RELRO' || fail "binary has no read-only relocations"
  stack=$(readelf -lW "$TOOL" | awk '$1 == "GNU_STACK" { print $(NF - 1) }')
  [ "$stack" = RW ] || fail "binary's stack segment is '${stack:-missing}', expected RW"
  readelf -dW "$TOOL" | grep -Eq '\((RPATH|RUNPATH|TEXTREL)\)' && fail "binary has a run path or text relocations"
  extra=$(readelf -dW "$TOOL" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p' |
            grep -Ev '^(libc\.so\.6|ld-linux-x86-64\.so\.2|libnettle\.so\.8)$')
  [ -z "$extra" ] || fail "binary needs $(echo $extra), beyond the C library and Nettle"
  syms=$(readelf --dyn-syms -W "$TOOL")
  grep -q ' __stack_chk_fail' <<<"$syms" || fail "binary has no stack protector"
  if [ "$hardening" = full ]; then
    grep -Eq ' __[a-z0-9_]+_chk@' <<<"$(grep -v __stack_chk_fail <<<"$syms")" || fail "binary has no fortified calls"
  fi
  section_ok "binary hardening ($hardening)"
}

# The user can neither read the site file nor change the deployment.
deployment_user_reach() {
  section
  as "$user" cat "$SITE_FILE" >"$R/cat.out" 2>/dev/null && fail "$user could read the site file"
  [ -s "$R/cat.out" ] && fail "$user got bytes of the site file"
  as "$user" sh -c ': >>"$1"' sh "$TOOL" 2>/dev/null && fail "$user could write the binary"
  as "$user" sh -c ': >"$1"/x' sh "$(dirname "$TOOL")" 2>/dev/null && fail "$user could create files beside the binary"
  as "$user" sh -c ': >"$1"/x' sh "$(dirname "$SITE_FILE")" 2>/dev/null && fail "$user could create files beside the site file"
  section_ok "$user cannot read the site file nor change the deployment"
}

# Signing, refusing another actor, the trusted account, -s and -k.
deployment_signing() {
  section
  run_tool self "$user" "$T/body-$user"
  listing "$T/body-$user" "$canary" "${default_props[@]}" >"$R/self.want"
  expect_run self 0 "$R/self.want" ""

  run_tool staging "$user" "$T/body-$user" -s staging
  listing "$T/body-$user" "$canary2" "site.name = Deploy test staging site" >"$R/staging.want"
  expect_run staging 0 "$R/staging.want" ""

  run_tool refused "$user" "$T/body-$other"
  expect_run refused 4 /dev/null "$user is not authorized to create a checksum for $other."$'\n'
  run_tool refused-ab "$user" "$T/body-autobuild"
  expect_run refused-ab 4 /dev/null "$user is not authorized to create a checksum for autobuild."$'\n'

  run_tool key "$user" "$T/body-$other" -k "k3y"
  listing "$T/body-$other" "k3y" "${default_props[@]}" >"$R/key.want"
  expect_run key 0 "$R/key.want" ""

  for who in "$other" "$user" autobuild; do
    run_tool "autobuild-$who" autobuild "$T/body-$who"
    listing "$T/body-$who" "$canary" "${default_props[@]}" >"$R/autobuild-$who.want"
    expect_run "autobuild-$who" 0 "$R/autobuild-$who.want" ""
  done

  # The example caller, examples/sign_request.py, against the installed tool
  # at the path it calls by default: a signature, a refusal to fix, a stanza
  # for the administrator.
  install -m 0644 "$source_dir/examples/sign_request.py" "$T/sign_request.py"
  tool=/usr/bin/python3
  run_tool caller "$user" "$T/body-$user" "$T/sign_request.py"
  printf '%s\n' "${default_props[@]}" "digest $(digest_of "$T/body-$user")" \
    "signature $(signature_of "$T/body-$user" "$canary")" >"$R/caller.want"
  expect_run caller 0 "$R/caller.want" ""
  run_tool caller-refused "$user" "$T/body-$other" "$T/sign_request.py"
  expect_run caller-refused 65 /dev/null "sign_request.py: status 4, the calling user may not sign for \
the body's actor: $user is not authorized to create a checksum for $other. (fix the request)"$'\n'
  run_tool caller-broken "$user" "$T/body-$user" "$T/sign_request.py" -s broken
  expect_run caller-broken 69 /dev/null "sign_request.py: status 8, the stanza's token value is empty: \
Token value cannot be empty. (report to the administrator)"$'\n'
  tool=$TOOL
}

# What the user sees of the running tool: its IDs, descriptors, memory and
# command line, probed while it waits on its standard input.
deployment_waiting_tool() {
  section
  # A probe run as the user starts the tool on a fifo, so the tool is the probe's
  # own child (as a ptrace scope demands), and tries to get at it while it waits
  # on its standard input. The tool is given the site's token with -k, which must
  # be gone from its command line by then.
  P=$T/probe
  mkdir -p "$P" && chown "$user:" "$P" && chmod 0700 "$P"
  mkfifo -m 0600 "$P/in" "$P/go" && chown "$user:" "$P/in" "$P/go"
  cat >"$T/probe.sh" <<'EOF'
tool=$1 dir=$2
shift 2
"$tool" "$@" <"$dir/in" >"$dir/out" 2>"$dir/err" &
pid=$!
echo "$pid" >"$dir/pid"
read -r fds <"$dir/go"
tr '\0' ' ' <"/proc/$pid/cmdline" >"$dir/cmdline"
{
  for n in $fds; do
    (exec 3<"/proc/$pid/fd/$n") 2>/dev/null && echo "opened /proc/PID/fd/$n"
  done
  for f in mem environ; do
    (exec 3<"/proc/$pid/$f") 2>/dev/null && echo "opened /proc/PID/$f"
  done
} >"$dir/opened"
# The same attempts on a process of the user's own must work, or the above proves nothing.
sleep 60 </dev/null &
own=$!
echo "$own" >"$dir/own"
{
  (exec 3<"/proc/$own/fd/0") 2>/dev/null && echo fd
  (exec 3<"/proc/$own/mem") 2>/dev/null && echo mem
} >"$dir/control"
kill "$own"
: >"$dir/probed"
wait "$pid"
echo $? >"$dir/rc"
EOF
  chmod 0644 "$T/probe.sh"

  exec 7<>"$P/in" 8<>"$P/go"
  # The probe must not hold the test's own ends of the fifos: a read of its would
  # then never see the end of its input, and the test would wait for ever.
  as "$user" env -i PATH=/usr/bin:/bin bash "$T/probe.sh" "$TOOL" "$P" -k "$canary" 7>&- 8>&- &
  probe=$!
  started+=("$probe")
  if wait_for test -s "$P/pid" && tpid=$(cat "$P/pid") && started+=("$tpid") &&
     wait_for waits_or_ended "$tpid" && ! ended "$tpid"; then
    cp "/proc/$tpid/status" "$R/proc-status"
    uid=$(uid_of "$user") gid=$(gid_of "$user")
    [ "$(grep ^Uid: "$R/proc-status")" = "$(printf 'Uid:\t%s\t%s\t%s\t%s' "$uid" "$uid" "$uid" "$uid")" ] ||
      fail "waiting tool, expected the user's $uid: $(grep ^Uid: "$R/proc-status")"
    [ "$(grep ^Gid: "$R/proc-status")" = "$(printf 'Gid:\t%s\t%s\t%s\t%s' "$gid" "$gid" "$gid" "$gid")" ] ||
      fail "waiting tool, expected the user's $gid: $(grep ^Gid: "$R/proc-status")"
    [ "$(awk '$1 == "Groups:" { print NF - 1 }' "$R/proc-status")" = 0 ] || fail "waiting tool: $(grep ^Groups: "$R/proc-status")"
    awk '$1 ~ /^Cap(Prm|Eff|Amb):$/ && $2 !~ /^0+$/ { exit 1 }' "$R/proc-status" || fail "waiting tool holds capabilities"
    { ls "/proc/$tpid/fd" | tr '\n' ' '; echo; } >&8
    if wait_for test -e "$P/probed"; then
      [ -s "$P/opened" ] && fail "$user got at the waiting tool: $(tr '\n' ' ' <"$P/opened")"
      grep -qF -- "$canary" "$P/cmdline" && fail "the -k token is still on the waiting tool's command line"
      grep -qx -- "$TOOL -k  *" "$P/cmdline" || fail "the waiting tool's command line: $(visible "$P/cmdline")"
      grep -qx fd "$P/control" || fail "the probe cannot open its own process's descriptors; it proves nothing"
      grep -qx mem "$P/control" || echo "note: ptrace rules keep even the user's own /proc/PID/mem closed here"
      cat "$T/body-$user" >&7
      exec 7>&-
      wait_for test -s "$P/rc" || fail "the tool did not end once its input came"
      cp "$P/out" "$R/waited.out"; cp "$P/err" "$R/waited.err"; cp "$P/rc" "$R/waited.rc"
      expect_run waited 0 "$R/self.want" ""
    else
      fail "the probe did not finish"
    fi
  elif [ -s "$P/pid" ] && ended "$(cat "$P/pid")"; then
    fail "the tool ended before it waited on its standard input: $(visible "$P/err")"
  else
    fail "the tool did not come to wait on its standard input"
  fi
  exec 7>&- 8>&-
  wait_for ended "$probe" || { kill "$probe" 2>/dev/null; fail "the probe did not end"; }
  wait "$probe" 2>/dev/null
  section_ok "the waiting tool shows only $user's IDs and keeps its descriptors and memory closed"
}

# A hostile environment (preloads, library paths, an OpenSSL configuration
# with a provider of its own, locale, PATH) changes no byte of any run.
deployment_hostile_environment() {
  section
  # None of it may change a byte of what the set-ID tool does.
  H=$T/hostile
  mkdir -p "$H/lib" "$H/modules" "$H/bin"
  cat >"$H/evil.c" <<'EOF'
#include <unistd.h>
__attribute__((constructor)) static void hijack(void) {
  static const char msg[] = "HIJACKED\n";
  write(1, msg, sizeof msg - 1);
  write(2, msg, sizeof msg - 1);
  _exit(99);
}
EOF
  "$cc" -shared -fPIC -o "$H/evil.so" "$H/evil.c" || fail "cannot build the hostile library"
  for lib in libcrypto.so.3 libstdc++.so.6 libgcc_s.so.1; do cp "$H/evil.so" "$H/lib/$lib"; done
  for mod in legacy.so fips.so default.so; do cp "$H/evil.so" "$H/modules/$mod"; done
  printf '#!/bin/sh\necho HIJACKED\n' >"$H/bin/sh"
  printf 'openssl_conf = [broken\n.include /nonexistent/openssl.cnf\n[\n' >"$H/broken.cnf"
  cat >"$H/evil.cnf" <<EOF
openssl_conf = evil_init
[evil_init]
providers = evil_providers
[evil_providers]
evil = evil_provider
[evil_provider]
module = $H/evil.so
activate = 1
EOF
  cp "$H/evil.cnf" "$H/.openssl.cnf"
  chmod -R a+rX "$H"

  hostile=(
    LD_PRELOAD="$H/evil.so" LD_LIBRARY_PATH="$H/lib" LD_AUDIT="$H/evil.so"
    OPENSSL_MODULES="$H/modules" OPENSSL_ENGINES="$H/modules"
    POSIXLY_CORRECT=1 LANG=de_DE.UTF-8 LC_ALL=de_DE.UTF-8 LANGUAGE=de IFS=$'x\t' PATH="$H/bin"
    HOME="$H" USER=autobuild LOGNAME=autobuild TMPDIR="$H" NLSPATH="$H/%N" LOCPATH="$H"
    GCONV_PATH="$H" GLIBC_TUNABLES=glibc.malloc.check=3:glibc.malloc.perturb=165 MALLOC_PERTURB_=165
    OPENSSL_ia32cap="~0:~0"
  )

  # The hostile library works: the plain binary, outside the set-ID rules, is taken over.
  install -m 0755 "$TOOL" "$T/zel-auth-plain"
  tool=$T/zel-auth-plain extra_env=(LD_PRELOAD="$H/evil.so")
  run_tool control "$user" "$T/body-$user"
  [ "$(cat "$R/control.rc")" = 99 ] || fail "the hostile library does not take over a plain binary; the check proves nothing"
  tool=$TOOL

  hostile_cases=(
    "self|$T/body-$user|"
    "refused|$T/body-$other|"
    "key|$T/body-$other|-k k3y"
    "staging|$T/body-$user|-s staging"
    "empty|$T/empty|"
    "nosite|$T/body-$user|-s nosuch"
    "operand-opt|$T/body-$user|foo -s staging"
    "operand-bad|$T/body-$user|foo -x"
    "operand-missing|$T/body-$user|foo -s"
  )
  for conf in broken evil; do
    for c in "${hostile_cases[@]}"; do
      IFS='|' read -r tag input args <<<"$c"
      read -ra argv <<<"$args"
      extra_env=()
      run_tool "h-$tag" "$user" "$input" "${argv[@]}"
      extra_env=("${hostile[@]}" OPENSSL_CONF="$H/$conf.cnf")
      run_tool "h-$tag-$conf" "$user" "$input" "${argv[@]}"
      extra_env=()
      same_run "h-$tag-$conf" "h-$tag"
    done
  done
  # Options after an operand are still taken: their complaints are written.
  grep -q "invalid option" "$R/h-operand-bad.err" || fail "an option after an operand was not taken"
  grep -q "requires an argument" "$R/h-operand-missing.err" || fail "an option after an operand was not taken"
}

# Closed standard descriptors: each combination fails with its status or signs.
deployment_closed_descriptors() {
  section
  for c in 0 1 2 3 4 5 6 7; do
    tag=closed-$c
    section
    (
      if ((c & 1)); then exec 0<&-; else exec 0<"$T/body-$user"; fi
      if ((c & 2)); then exec 1>&-; else exec 1>"$R/$tag.out"; fi
      if ((c & 4)); then exec 2>&-; else exec 2>"$R/$tag.err"; fi
      exec timeout 20 setpriv --reuid="$(uid_of "$user")" --regid="$(gid_of "$user")" --clear-groups -- \
        env -i "$TOOL"
    )
    rc=$?
    touch "$R/$tag.out" "$R/$tag.err"
    closed=$( ((c & 1)) && echo -n " 0"; ((c & 2)) && echo -n " 1"; ((c & 4)) && echo -n " 2")
    what="closed${closed:- none}: status $rc"
    if ((rc >= 124)); then fail "$what (killed or timed out)"; continue; fi
    [ "$(site_state)" = "$site_before" ] || fail "$what: the site file changed"
    if ((c & 1)); then
      ((rc == 13)) || fail "$what, expected 13 (standard input unreadable)"
    elif ((c & 2)); then
      ((rc == 9)) || fail "$what, expected 9 (listing not written)"
    else
      ((rc == 0)) && cmp -s "$R/$tag.out" "$R/self.want" || fail "$what, or a wrong listing"
    fi
    ((rc == 0)) || [ ! -s "$R/$tag.out" ] || fail "$what, yet something on standard output"
    section_ok "$what"
  done
}

# A deployment gone wrong is reported, not worked around; deploy.sh repairs it.
deployment_gone_wrong() {
  chown root: "$SITE_FILE"
  run_tool root-site "$user" "$T/body-$user"
  expect_run root-site 6 /dev/null "Unable to open site file ($SITE_FILE) for reading: Permission denied."$'\n'
  chown "root:$svc" "$SITE_FILE"
  chmod 0711 "$TOOL"
  run_tool not-setgid "$user" "$T/body-$user"
  # Without the group, the audit file can't be opened either: no record, status 14.
  expect_run not-setgid 14 /dev/null "Unable to open site file ($SITE_FILE) for reading: Permission denied."$'\n'"Unable to send the audit record: Permission denied."$'\n'
  deploy --prefix /opt/zel --group "$svc" || { cat "$R/deploy.log"; fail "deploy.sh repairing"; }
  run_tool repaired "$user" "$T/body-$user"
  expect_run repaired 0 "$R/self.want" ""
  [ "$(site_state)" = "$site_before" ] || fail "the site file is not as deployed"
}

# Each case of tests/e2e runs through the installed binary as a real account
# (alice, autobuild, or a user ID without one) and must give the status and
# output it gives the plain build. The cases rewrite the site file, so they come
# after every check of the deployed one.
deployment_e2e_set_group_id() {
  section
  e2e_through "group:$svc" set-group-ID
}

# The older set-user-ID form. Sites may keep it: the binary set-user-ID to a
# service account, the site file that account's own with mode 0600. It must go
# on working as before, zel-site included.
deployment_set_user_id_form() {
  section
  cat >"$SITE_FILE" <<EOF
site.name = Deploy test site
site.url = https://deploy.test.invalid/
token.value = $canary
EOF
  chown "$old:" "$TOOL" "$SITE_FILE" "$AUDIT_FILE" && chmod 4711 "$TOOL" && chmod 0600 "$SITE_FILE" "$AUDIT_FILE" &&
    chown "$old:" "$(dirname "$AUDIT_FILE")"
  run_tool old-self "$user" "$T/body-$user"
  expect_run old-self 0 "$R/self.want" ""
  run_tool old-refused "$user" "$T/body-$other"
  expect_run old-refused 4 /dev/null "$user is not authorized to create a checksum for $other."$'\n'
  # zel-site recommends the set-group-ID form, and installs in the older one's way.
  zs old-check check
  zs_expect old-check 0 "warning: set-user-ID to the account $old (the older form)"
  echo "$canary2" | zs old-set-token-away set-token
  zs_expect old-set-token-away 0 "set the token value of the default stanza"
  echo "$canary" | zs old-set-token set-token
  zs_expect old-set-token 0 "set the token value of the default stanza"
  [ "$(stat -c '%U %a' "$SITE_FILE")" = "$old 600" ] ||
    fail "set-token in the older form left the site file $(stat -c '%U %a' "$SITE_FILE"), expected $old 600"
  run_tool old-after-set-token "$user" "$T/body-$user"
  expect_run old-after-set-token 0 "$R/self.want" ""
  # Set-user-ID to a login account is an error, and check never says to give that account the site file.
  chown "$user" "$TOOL" && chmod 4711 "$TOOL"
  zs old-login check
  # UID_MIN as /etc/login.defs has it at the time, not as it usually is: a copy
  # bound over it in this run's own mount namespace, so the machine's stays.
  sed 's/^UID_MIN[[:space:]].*/UID_MIN 900/' /etc/login.defs >"$T/login.defs" &&
    mount --bind "$T/login.defs" /etc/login.defs
  zs old-login-900 check
  umount /etc/login.defs
  chown "$old" "$TOOL" && chmod 4711 "$TOOL"
  zs_expect old-login-900 1 "which is no system account (those are below UID_MIN, 900, of /etc/login.defs)"
  zs_expect old-login 1 "$TOOL: error: set-user-ID to the account $user (user ID $(uid_of "$user")), which is no system account"
  grep -q "chown $user\|chmod 0600" "$R/old-login.out" && fail "check advised handing the site file to $user"
  zs_expect old-login 1 "$SITE_FILE: error: owned by $old, not root: chown root $SITE_FILE (zel-auth is not sound"
  e2e_through "user:$old" set-user-ID
}

# -K leaves nothing of the key on the command line: a run that waits on its
# input with its key on descriptor 3 shows "-K 3" alone in /proc/PID/cmdline,
# and then signs with that key.
deployment_key_descriptor() {
  section
  local key=zelkey$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n') pid
  mkfifo -m 0600 "$T/key-in"
  printf '%s\n' "$key" >"$R/key-file"
  exec 7<>"$T/key-in"
  setpriv --reuid="$(uid_of "$user")" --regid="$(gid_of "$user")" --clear-groups -- env -i "$TOOL" -K 3 \
    <&7 >"$R/fdkey.out" 2>"$R/fdkey.err" 3<"$R/key-file" 7<&- &
  pid=$!
  started+=("$pid")
  if wait_for waits_or_ended "$pid" && ! ended "$pid"; then
    tr '\0' ' ' <"/proc/$pid/cmdline" >"$R/fdkey.cmdline"
    grep -qF -- "$key" "$R/fdkey.cmdline" && fail "the -K key is on the waiting tool's command line"
    [ "$(cat "$R/fdkey.cmdline")" = "$TOOL -K 3 " ] || fail "the waiting tool's command line: $(visible "$R/fdkey.cmdline")"
  else
    fail "the tool with -K 3 did not come to wait on its standard input: $(visible "$R/fdkey.err")"
  fi
  cat "$T/body-$other" >&7
  wait "$pid"
  echo $? >"$R/fdkey.rc"
  exec 7>&-
  rm -f "$T/key-in" "$R/key-file"
  listing "$T/body-$other" "$key" "${default_props[@]}" >"$R/fdkey.want"
  expect_run fdkey 0 "$R/fdkey.want" ""
  grep -qF -- "$key" "$R/fdkey.out" "$R/fdkey.err" && fail "the -K key was written out"
  section_ok "-K 3: /proc/PID/cmdline shows no key, and the key signs"
}
