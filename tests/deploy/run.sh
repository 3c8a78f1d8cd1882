#!/bin/bash
# The deployment test. It installs zel-auth as it is put into service (through
# tools/deploy.sh: root's and set-group-ID to a service group, site file
# root:GROUP 0640) and runs it as ordinary users, checking what such a user can
# and cannot get out of it; then the older set-user-ID form, which sites may
# keep, once more.
#
# It creates accounts and mounts, so it needs root; without root it reports
# itself skipped (status 77). Everything under /opt happens on a tmpfs in a
# private mount namespace, so the machine's own /opt is never touched; the
# throwaway accounts and groups are removed, and fs.suid_dumpable (set for one
# check) is restored, on every way out.
#
#   run.sh --source=DIR --binary=PATH --site-tool=PATH [--install-from=BUILD_DIR]
#          [--cc=CC] --hardening=full|basic|none
#
# --install-from names a build tree whose zel-auth and zel-site were built for
# the default paths; it is installed with cmake --install. Without it, --binary
# and --site-tool (zel-site, built for the default paths) are copied into place. --hardening tells which
# protections the binary must show: full for an optimized build, basic for an
# unoptimized one (no fortified calls), none for a sanitizer build, which is no
# deployable binary and skips the test.
set -u

SITE_FILE=/opt/zel/etc/zel-site.conf
TOOL=/opt/zel/bin/zel-auth
ZEL_SITE=/opt/zel/sbin/zel-site
T=/opt/zel-test             # files the test users must reach
R=$T/results                # what the runs wrote; root's only
MARKER="zel-auth deploy test"
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

source_dir='' binary='' site_tool='' install_from='' cc=cc hardening=full inner=0
for arg; do
  case $arg in
    --source=*) source_dir=${arg#*=} ;;
    --binary=*) binary=${arg#*=} ;;
    --site-tool=*) site_tool=${arg#*=} ;;
    --install-from=*) install_from=${arg#*=} ;;
    --cc=*) cc=${arg#*=} ;;
    --hardening=*) hardening=${arg#*=} ;;
    --inner) inner=1 ;;
    *) echo "run.sh: unknown argument $arg" >&2; exit 2 ;;
  esac
done

# ---------------------------------------------------------------------------
# Outside the namespace: preconditions and the accounts.
# ---------------------------------------------------------------------------
if [ "$inner" -eq 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: the deployment test needs root (accounts, groups, mounts, set-ID programs)"
    exit 77
  fi
  if [ "$hardening" = none ]; then
    echo "SKIP: a sanitizer build is not a deployable binary"
    exit 77
  fi
  [ -n "$source_dir" ] && [ -n "$binary" ] || { echo "run.sh: --source and --binary are required" >&2; exit 2; }
  for tool in unshare setpriv useradd userdel groupdel getent openssl readelf mkfifo mount umount \
              findmnt timeout sha256sum stat setfacl "$cc"; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (tools/install-deps.sh installs it)"; exit 1; }
  done
  if ! unshare --mount --propagation private true 2>/dev/null; then
    echo "SKIP: no private mount namespace can be made here"
    exit 77
  fi
  [ -d /opt ] || { echo "SKIP: there is no /opt to cover with a tmpfs"; exit 77; }

  created=()
  suid_dumpable=$(cat /proc/sys/fs/suid_dumpable)
  export ZD_SUID_DUMPABLE=$suid_dumpable
  cleanup() {
    local u
    # The inner run restores it too; this covers a run that was killed.
    [ "$(cat /proc/sys/fs/suid_dumpable)" = "$suid_dumpable" ] ||
      echo "$suid_dumpable" >/proc/sys/fs/suid_dumpable
    for u in "${created[@]}"; do
      getent passwd "$u" >/dev/null && userdel "$u" 2>/dev/null
      getent group "$u" >/dev/null && groupdel "$u" 2>/dev/null
      if getent passwd "$u" >/dev/null || getent group "$u" >/dev/null; then
        echo "WARNING: could not remove the test account $u"
      fi
    done
  }
  trap cleanup EXIT
  trap 'exit 130' INT TERM HUP

  # Accounts a killed earlier run left behind carry its process ID.
  while IFS=: read -r name _ _ _ gecos _; do
    pid=
    if [[ $name =~ ^zdt([0-9]+)(svc|u|m|e)$ ]]; then pid=${BASH_REMATCH[1]}; fi
    if [[ $gecos =~ ^"$MARKER "([0-9]+)$ ]]; then pid=${BASH_REMATCH[1]}; fi
    if [ -n "$pid" ] && ! kill -0 "$pid" 2>/dev/null; then
      userdel "$name" 2>/dev/null; groupdel "$name" 2>/dev/null
    fi
  done < <(getent passwd; getent group | awk -F: '{ print $1 ":::::" }')

  export ZD_SVC=zdt$$svc ZD_USER=zdt$$u ZD_OTHER=zdt$$x ZD_MEMBERS=zdt$$m ZD_OLD=zdt$$o ZD_ALIAS=zdt$$e
  getent group "$ZD_SVC" >/dev/null && { echo "FAIL: group $ZD_SVC exists already"; exit 1; }
  created+=("$ZD_SVC")  # made by tools/deploy.sh inside
  add_user() {
    useradd --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin --user-group \
            --comment "$MARKER $$" "$1" || { echo "FAIL: useradd $1"; exit 1; }
    created+=("$1")
  }
  add_user "$ZD_USER"
  # The old set-user-ID form's service account, and a group that has a member.
  add_user "$ZD_OLD"
  groupadd "$ZD_MEMBERS" && created+=("$ZD_MEMBERS") && usermod -a -G "$ZD_MEMBERS" "$ZD_OLD" ||
    { echo "FAIL: groupadd $ZD_MEMBERS"; exit 1; }
  # A member-less name for that same group ID.
  groupadd -o -g "$(getent group "$ZD_MEMBERS" | cut -d: -f3)" "$ZD_ALIAS" && created+=("$ZD_ALIAS") ||
    { echo "FAIL: groupadd $ZD_ALIAS"; exit 1; }
  # The trusted account, and the user the end-to-end cases sign as, are used as
  # found if the machine has its own.
  getent passwd autobuild >/dev/null || add_user autobuild
  getent passwd alice >/dev/null || add_user alice

  unshare --mount --propagation private -- "$BASH" "$0" "$@" --inner
  exit $?
fi

# ---------------------------------------------------------------------------
# Inside the namespace.
# ---------------------------------------------------------------------------
# shellcheck source=tests/deploy/lib.sh
. "$here/lib.sh"

started=()
inner_cleanup() {
  local p
  [ -s "$T/probe/own" ] && started+=("$(cat "$T/probe/own")")
  for p in "${started[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  [ -z "${ZD_SUID_DUMPABLE:-}" ] || echo "$ZD_SUID_DUMPABLE" >/proc/sys/fs/suid_dumpable
  cd / && umount -l /opt 2>/dev/null
}
trap inner_cleanup EXIT
trap 'exit 130' INT TERM HUP

mount --make-rprivate / || { echo "FAIL: mount --make-rprivate /"; exit 1; }
mount -t tmpfs -o mode=0755,size=64m zel-deploy-test /opt || { echo "FAIL: tmpfs over /opt"; exit 1; }
[ "$(findmnt -n -o PROPAGATION /opt)" = private ] || { echo "FAIL: /opt is not private"; exit 1; }
mkdir -p "$T" "$R" && chmod 0755 "$T" && chmod 0700 "$R"

user=$ZD_USER other=$ZD_OTHER svc=$ZD_SVC old=$ZD_OLD

# --- Deployment ------------------------------------------------------------
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

# Run again, the script changes nothing; an unsafe group, a site file the
# binary was not built for, or an unsafe path is refused without touching anything.
state() { stat -c '%U:%G %a %i' "$TOOL"; site_state; getent group "$svc"; }
before=$(state)
if [ -n "$install_from" ]; then
  deploy --build "$install_from" --prefix /opt/zel --group "$svc" || { cat "$R/deploy.log"; fail "deploy.sh --build a second time"; }
else
  deploy --prefix /opt/zel --group "$svc" || { cat "$R/deploy.log"; fail "deploy.sh a second time"; }
fi
[ "$(state)" = "$before" ] || fail "deploy.sh run again changed the deployment"
# refused WHAT MESSAGE-TEXT DEPLOY-ARGS...: deploy.sh fails, saying why.
refused() {
  local what=$1 text=$2
  shift 2
  if deploy "$@"; then
    fail "deploy.sh accepted $what"
  elif ! grep -qF -- "$text" "$R/deploy.log"; then
    fail "deploy.sh refused $what without saying '$text':"; sed 's/^/    /' "$R/deploy.log"
  fi
}
refused "group ID 0" "group ID 0" --prefix /opt/zel --group root
refused "nogroup" "shared with other programs" --prefix /opt/zel --group nogroup
refused "an account's primary group" "primary group of $user" --prefix /opt/zel --group "$user"
refused "a group with members" "has members ($old)" --prefix /opt/zel --group "$ZD_MEMBERS"
refused "a group whose ID another group with members has" "group $ZD_MEMBERS (group ID" \
  --prefix /opt/zel --group "$ZD_ALIAS"
if command -v setfacl >/dev/null; then
  setfacl -m "u:$user:r" "$SITE_FILE" &&
    refused "a site file with an access control list" "setfacl -b $SITE_FILE" --prefix /opt/zel --group "$svc"
  setfacl -b "$SITE_FILE" && setfacl -d -m "u:$user:r" "$(dirname "$SITE_FILE")" &&
    refused "a default access control list on the site file's directory" "has an access control list" \
      --prefix /opt/zel --group "$svc"
  setfacl -b -k "$(dirname "$SITE_FILE")"
else
  fail "setfacl is missing (tools/install-deps.sh installs acl)"
fi
refused "the set-user-ID form" "--group" --prefix /opt/zel --user "$svc"
refused "a site file the binary was not built for" "was not built for" --prefix /opt/zel --group "$svc" \
  --site-file /opt/zel/etc/other.conf
refused "a site path the binary's path begins with" "was not built for" --prefix /opt/zel --group "$svc" \
  --site-file /opt/zel/etc/zel-site.con
# Unsafe layouts, each a copy of the binary that must not become set-group-ID.
layout() {  # layout DIR: a prefix holding a copy of the binary in DIR/bin
  mkdir -p "$1/bin" && install -m 0755 "$TOOL" "$1/bin/zel-auth"
}
layout /opt/zl/real && ln -s real/bin /opt/zl/bin
refused "a symbolic link for bin/" "/opt/zl/bin is a symbolic link" --prefix /opt/zl --group "$svc"
ln -s zel /opt/zlp
refused "a symbolic link for the prefix" "/opt/zlp is a symbolic link" --prefix /opt/zlp --group "$svc"
layout /opt/zw && chmod 1777 /opt/zw
refused "a prefix others may write" "/opt/zw is writable by others" --prefix /opt/zw --group "$svc"
layout /opt/zu && chown "$user:" /opt/zu/bin
refused "a bin/ a user owns" "/opt/zu/bin is not owned by root" --prefix /opt/zu --group "$svc"
mkdir -p /opt/zs && ln -s /opt/zel/etc /opt/zs/etc
refused "a symbolic link for the site file's directory" "/opt/zs/etc is a symbolic link" \
  --prefix /opt/zel --group "$svc" --site-file /opt/zs/etc/zel-site.conf
mkdir -p /opt/zf/etc && ln -s /opt/zel/etc/zel-site.conf /opt/zf/etc/zel-site.conf
refused "a symbolic link for the site file" "/opt/zf/etc/zel-site.conf is a symbolic link" \
  --prefix /opt/zel --group "$svc" --site-file /opt/zf/etc/zel-site.conf
for copy in /opt/zl/real/bin /opt/zw/bin /opt/zu/bin; do
  [ "$(stat -c '%U:%G %a' "$copy/zel-auth")" = "root:root 755" ] ||
    fail "a refused deploy.sh changed $copy/zel-auth: $(stat -c '%U:%G %a' "$copy/zel-auth")"
done
rm -rf /opt/zl /opt/zlp /opt/zw /opt/zu /opt/zs /opt/zf
[ "$(state)" = "$before" ] || fail "a refused deploy.sh changed the deployment"
section_ok "deploy.sh is idempotent and refuses what it must"
site_before=$(site_state)

# --- Hardening of the installed binary ----------------------------------------
section
readelf -hW "$TOOL" | grep -Eq 'Type:[[:space:]]+DYN' || fail "binary is not position independent"
readelf -dW "$TOOL" | grep -Eq '\((FLAGS)\).*BIND_NOW|\(FLAGS_1\).*NOW' || fail "binary is not bound now"
readelf -lW "$TOOL" | grep -q 'GNU_RELRO' || fail "binary has no read-only relocations"
stack=$(readelf -lW "$TOOL" | awk '$1 == "GNU_STACK" { print $(NF - 1) }')
[ "$stack" = RW ] || fail "binary's stack segment is '${stack:-missing}', expected RW"
readelf -dW "$TOOL" | grep -Eq '\((RPATH|RUNPATH|TEXTREL)\)' && fail "binary has a run path or text relocations"
syms=$(readelf --dyn-syms -W "$TOOL")
grep -q ' __stack_chk_fail' <<<"$syms" || fail "binary has no stack protector"
if [ "$hardening" = full ]; then
  grep -Eq ' __[a-z0-9_]+_chk@' <<<"$(grep -v __stack_chk_fail <<<"$syms")" || fail "binary has no fortified calls"
fi
section_ok "binary hardening ($hardening)"

# --- Inputs and expectations -------------------------------------------------
section
for who in "$user" autobuild "$other"; do
  body_for "$who" >"$T/body-$who.nonl"
  { body_for "$who"; echo; } >"$T/body-$who"
  { body_for "$who"; echo; echo "second line"; } >"$T/body-$who.two"
  { body_for "$who"; head -c 5000 /dev/zero | tr '\0' x; echo; } >"$T/body-$who.long"
done
echo "hello" >"$T/noactor"
: >"$T/empty"
chmod 0644 "$T"/body-* "$T/noactor" "$T/empty"

# --- The user and the site file ------------------------------------------------
section
as "$user" cat "$SITE_FILE" >"$R/cat.out" 2>/dev/null && fail "$user could read the site file"
[ -s "$R/cat.out" ] && fail "$user got bytes of the site file"
as "$user" sh -c ': >>"$1"' sh "$TOOL" 2>/dev/null && fail "$user could write the binary"
as "$user" sh -c ': >"$1"/x' sh "$(dirname "$TOOL")" 2>/dev/null && fail "$user could create files beside the binary"
as "$user" sh -c ': >"$1"/x' sh "$(dirname "$SITE_FILE")" 2>/dev/null && fail "$user could create files beside the site file"
section_ok "$user cannot read the site file nor change the deployment"

# --- Signing, refusing, the trusted account ----------------------------------
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

# --- What the user sees of the running tool ------------------------------------
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

exec 7<>"$P/in" 8<>"$P/go"
# The probe must not hold the test's own ends of the fifos: a read of its would
# then never see the end of its input, and the test would wait for ever.
as "$user" env -i PATH=/usr/bin:/bin bash "$T/probe.sh" "$TOOL" "$P" -k "$canary" 7>&- 8>&- &
probe=$!
started+=("$probe")
# The tool waits on its input, or has already ended: either way the wait ends.
ended() { local st; st=$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null); [ -z "$st" ] || [ "$st" = Z ]; }
waits_or_ended() { waits_on_stdin "$1" || ended "$1"; }
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

# --- A hostile environment ---------------------------------------------------
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

# --- Closed standard descriptors ---------------------------------------------
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

# A deployment gone wrong is reported, not worked around.
chown root: "$SITE_FILE"
run_tool root-site "$user" "$T/body-$user"
expect_run root-site 6 /dev/null "Unable to open site file ($SITE_FILE) for reading: Permission denied."$'\n'
chown "root:$svc" "$SITE_FILE"
chmod 0711 "$TOOL"
run_tool not-setgid "$user" "$T/body-$user"
expect_run not-setgid 6 /dev/null "Unable to open site file ($SITE_FILE) for reading: Permission denied."$'\n'
deploy --prefix /opt/zel --group "$svc" || { cat "$R/deploy.log"; fail "deploy.sh repairing"; }
run_tool repaired "$user" "$T/body-$user"
expect_run repaired 0 "$R/self.want" ""
[ "$(site_state)" = "$site_before" ] || fail "the site file is not as deployed"

# --- The privilege drop, where the system lets set-ID programs be traced ----------
section
# With fs.suid_dumpable at 1, changing the effective IDs makes the process
# traceable again. The caller races each run, trying to take the site file's
# descriptor (3) with pidfd_getfd and read it; the drop must leave no moment in
# which that works.
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

# --- The audit trail ------------------------------------------------------------
section
# A datagram socket of the test's own stands at /dev/log, on a tmpfs over /dev
# that only this namespace sees (the device nodes the runs need are bound back),
# so nothing is left in the machine's /dev and no line reaches its real log.
# Each line received is compared after its header: "<PRI>", then the text.
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

# --- zel-site: check, show, edit, install, set-token --------------------------------
section
# Every run as root, with an empty environment but for EDITOR; its output goes
# to $R, where the canary check looks. The files it is given, tokens and all,
# stay in $Z, root's alone.
Z=$T/zel-site
mkdir -p "$Z" && chmod 0700 "$Z"
installed() {  # installed WHAT: the live file is root:GROUP 0640, alone in its directory
  local left
  [ "$(stat -c '%U:%G %a' "$SITE_FILE")" = "root:$svc 640" ] ||
    fail "after $1 the site file is $(stat -c '%U:%G %a' "$SITE_FILE"), expected root:$svc 640"
  left=$(ls -A "$(dirname "$SITE_FILE")" | grep -vx -e zel-site.conf -e zel-site.conf.lock)
  [ -z "$left" ] || fail "after $1 these are left beside the site file: $left"
}
[ "$(stat -c '%U:%G %a' "$ZEL_SITE")" = "root:root 755" ] ||
  fail "zel-site is $(stat -c '%U:%G %a' "$ZEL_SITE"), expected root:root 755"
grep -q "^$SITE_FILE: [0-9]* errors\{0,1\}, " "$R/deploy.log" || fail "deploy.sh printed no zel-site check"

printf '%s\n' "site.name = Deploy test site" "site.url = https://deploy.test.invalid/" \
  "token.value = $canary" "[staging]" "site.name = Deploy test staging site" \
  "token.value = $canary2" >"$Z/clean.conf"
zs install-clean install "$Z/clean.conf"
zs_expect install-clean 0 "installed $Z/clean.conf as $SITE_FILE (root:$svc 0640)"
installed "install"
clean_state=$(site_state)
zs check-clean check
zs_expect check-clean 0 "$SITE_FILE: 0 errors, 0 warnings"
[ "$(wc -l <"$R/check-clean.out")" = 1 ] || { fail "check of a clean deployment found something"; show "$R/check-clean.out"; }
# Each fault of the deployment, made and mended: check names the path and the fix.
sd=$(dirname "$SITE_FILE")
while IFS='|' read -r tag make mend text; do
  eval "$make"
  zs "check-$tag" check
  eval "$mend"
  zs_expect "check-$tag" 1 "$text"
done <<EOF
site-mode|chmod 0644 $SITE_FILE|chmod 0640 $SITE_FILE|$SITE_FILE: error: mode 0644, not 0640: chmod 0640 $SITE_FILE
site-group|chgrp root $SITE_FILE|chgrp $svc $SITE_FILE|$SITE_FILE: error: its group is not $svc, the group of $TOOL: chgrp $svc
site-owner|chown $user $SITE_FILE|chown root $SITE_FILE|$SITE_FILE: error: owned by $user, not root: chown root $SITE_FILE
tool-mode|chmod 0755 $TOOL|chmod 2711 $TOOL|$TOOL: error: mode 0755, not 2711: chmod 2711 $TOOL
members|gpasswd -a $user $svc >/dev/null|gpasswd -d $user $svc >/dev/null|the service group $svc has members ($user)
dir-write|chmod 0775 $sd|chmod 0755 $sd|$sd: error: writable by others than root (mode 0775): chmod go-w $sd
nosuid|mount -o remount,nosuid /opt|mount -o remount,suid /opt|$TOOL: error: on a file system mounted nosuid
EOF
# ACLs: u:$user:r, dormant under 0600, reads the tokens at 0640; a default ACL is inherited.
setfacl -m "u:$user:r" "$SITE_FILE" && setfacl -d -m "u:$user:r" "$sd"
zs check-acl check
zs install-acl install "$Z/clean.conf"
setfacl -b "$SITE_FILE" && setfacl -k "$sd"
zs_expect check-acl 1 "$SITE_FILE: error: carries an extended ACL, whose users and groups read the tokens"
grep -qF "$sd: error: carries a default ACL, which every new file in it inherits, the site file zel-site installs too: setfacl -k $sd" \
  "$R/check-acl.out" || fail "zel-site check-acl did not report the default ACL of $sd"
zs_expect install-acl 2 "$SITE_FILE is unchanged: $sd has a default ACL, which the new site file would inherit: remove it with setfacl -k $sd"
[ "$(site_state)" = "$clean_state" ] || fail "the deployment faults changed the site file"
zs check-mended check
zs_expect check-mended 0 "$SITE_FILE: 0 errors, 0 warnings"
# show lists for each stanza what zel-auth lists, line for line.
for stanza in default staging; do
  args=()
  [ "$stanza" = default ] || args=(-s "$stanza")
  zs "show-$stanza" show "${args[@]}"
  run_tool "listing-$stanza" "$user" "$T/empty" "${args[@]}"
  # The stanza's heading says how many listed lines follow it.
  n=$(sed -n '1s/.*: \([0-9]*\) lines\{0,1\} every user sees$/\1/p' "$R/show-$stanza.out")
  sed -n "2,$((${n:-0} + 1))p" "$R/show-$stanza.out" >"$R/show-$stanza.listing"
  cmp -s "$R/show-$stanza.listing" "$R/listing-$stanza.out" ||
    { fail "zel-site show -s $stanza differs from zel-auth's listing"; show "$R/show-$stanza.out"; }
done
printf 'site.name = A\n\ttoken.value = trap-value\n[x]\n' >"$Z/trap.conf"
zs check-trap check -f "$Z/trap.conf"
zs_expect check-trap 1 "$Z/trap.conf:2: error: listed to every user, yet it looks like a token line"
# The command line: status 2 and the usage for a wrong one.
for c in "usage-none||no command given" "usage-command|frob|unknown command frob" \
         "usage-option|check -x|unknown option -x" "usage-foreign|edit -f x|is not one of edit's" \
         "usage-operand|install|install takes one FILE" "version|--version|zel-site (zel-auth) "; do
  IFS='|' read -r tag args text <<<"$c"
  read -ra argv <<<"$args"
  zs "$tag" "${argv[@]}" </dev/null
  zs_expect "$tag" "$([ "$tag" = version ] && echo 0 || echo 2)" "$text"
done
as "$user" "$ZEL_SITE" edit </dev/null >"$R/zs-user.out" 2>&1 && fail "zel-site edit ran for $user"
grep -q "must run as root" "$R/zs-user.out" || fail "zel-site edit as $user did not say why it refused"
section_ok "zel-site installs root:$svc 0640, checks the deployment clean and each fault of it, shows what zel-auth lists, finds a trap; refuses to install beside a default ACL"

# Editing, with editors that are scripts given the copy's path.
section
editor() {  # editor NAME SHELL-TEXT
  printf '#!/bin/sh\n%s\n' "$2" >"$Z/$1" && chmod 0700 "$Z/$1"
}
editor append "echo 'site.note = edited' >>\"\$1\""
editor leak "printf '\\tToken.Value = %s\\n' '$canary' >>\"\$1\""
editor hold ": >'$Z/editing'; i=0; while [ ! -e '$Z/go' ] && [ \$i -lt 200 ]; do sleep 0.1; i=\$((i + 1)); done"
zs_editor=$Z/append
zs edit-clean edit </dev/null
zs_expect edit-clean 0 "installed $SITE_FILE (root:$svc 0640)"
installed "a clean edit"
run_tool listing-edited "$user" "$T/empty" -s staging
grep -qx 'site.note = edited' "$R/listing-edited.out" || fail "zel-auth does not list the edited line"
edited_state=$(site_state)
zs_editor=$Z/leak
for answers in x '' 'Q\nno' 'e\nx'; do
  tag=edit-errors-$(printf '%s' "${answers:-eof}" | tr -c 'a-zA-Z' '-')
  printf "$answers${answers:+\\n}" | zs "$tag" edit
  zs_expect "$tag" 1 "What now?"
  grep -q "$SITE_FILE:8: error: listed to every user, yet it looks like a token line" "$R/$tag.err" ||
    fail "zel-site $tag did not report the leaking line"
  [ "$(site_state)" = "$edited_state" ] || fail "zel-site $tag changed the site file"
  installed "$tag"
done
printf 'Q\nyes\n' | zs edit-errors-Q edit
zs_expect edit-errors-Q 0 "installed $SITE_FILE (root:$svc 0640)"
grep -q "Token.Value" "$SITE_FILE" || fail "Q and yes did not install the edit"
installed "Q"
zs install-back install "$Z/clean.conf"
zs_expect install-back 0
section_ok "zel-site edit: a clean edit goes live; with errors, x, end of input and a withdrawn Q leave it byte-identical; Q installs"

# The lock, and an interrupt while the editor runs.
section
rm -f "$Z/editing" "$Z/go"
env -i PATH=/usr/bin:/bin EDITOR="$Z/hold" "$ZEL_SITE" edit </dev/null >"$R/edit-held.out" 2>"$R/edit-held.err" &
held=$!
started+=("$held")
if wait_for test -e "$Z/editing"; then
  zs_editor=false
  zs edit-locked edit </dev/null
  zs_expect edit-locked 2 "is being changed by another zel-site"
  zs install-locked install "$Z/clean.conf"
  zs_expect install-locked 2 "is being changed by another zel-site"
  echo "not-a-token-value" | zs set-token-locked set-token
  zs_expect set-token-locked 2 "is being changed by another zel-site"
  ls -d "$(dirname "$SITE_FILE")"/.zel-site-edit.* >/dev/null 2>&1 || fail "no private copy while editing"
  kill -TERM "$held"
  wait_for eval '! kill -0 "$held" 2>/dev/null' || fail "zel-site edit did not end on SIGTERM"
  wait "$held"
  rc=$?
  ((rc == 143)) || fail "zel-site edit ended with status $rc on SIGTERM, expected 143"
else
  fail "the held editor never started"
fi
: >"$Z/go"
[ "$(site_state)" = "$clean_state" ] || fail "a refused or interrupted edit changed the site file"
installed "an interrupted edit"
section_ok "a second edit, install or set-token is refused while one runs; SIGTERM removes the private copy"

# Token rotation: the next signing run uses the new value.
section
canary3=zelcanary$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')
echo "$canary3" | zs set-token set-token -s staging
zs_expect set-token 0 "zel-site: set the token value of [staging] in $SITE_FILE"
installed "set-token"
run_tool rotated "$user" "$T/body-$user" -s staging
listing "$T/body-$user" "$canary3" "site.name = Deploy test staging site" >"$R/rotated.want"
expect_run rotated 0 "$R/rotated.want" ""
rotated_state=$(site_state)
for bad in "|the token value is empty" 'two\nlines|one line' 'tab\there|control character'; do
  printf "${bad%%|*}\\n" | zs set-token-bad set-token -s staging
  zs_expect set-token-bad 1 "${bad#*|}"
done
echo "$canary3" | zs set-token-nostanza set-token -s nosuch
zs_expect set-token-nostanza 1 "has no stanza [nosuch]"
[ "$(site_state)" = "$rotated_state" ] || fail "a refused set-token changed the site file"
section_ok "set-token rotates the staging token, zel-auth signs with it at once, bad values are refused"

# Installs that fail: the old file stays in force, nothing new is left. The
# file system filled here is the test's own tmpfs over /opt.
section
[ "$(findmnt -n -o FSTYPE /opt)" = tmpfs ] || { echo "FAIL: /opt is no tmpfs here"; exit 1; }
dd if=/dev/zero of=/opt/zel-fill bs=1M 2>/dev/null
head -c 65536 /dev/zero >>/opt/zel-fill 2>/dev/null
# Its messages are kept in memory until there is room for them again.
full_err=$(timeout 30 env -i PATH=/usr/bin:/bin "$ZEL_SITE" install "$Z/clean.conf" 2>&1 >/dev/null)
full_rc=$?
rm -f /opt/zel-fill
printf '%s\n' "$full_err" >"$R/install-full.err" && : >"$R/install-full.out" && echo "$full_rc" >"$R/install-full.rc"
zs_expect install-full 2 "No space left on device"
grep -qF "writing $(dirname "$SITE_FILE")/.zel-site.conf.new-" "$R/install-full.err" ||
  fail "a full file system was not reported at the write"
[ "$(site_state)" = "$rotated_state" ] || fail "an install on a full file system changed the site file"
installed "an install on a full file system"
groupdel "$svc" || fail "groupdel $svc"
zs install-nogroup install "$Z/clean.conf"
groupadd --system --gid "$svc_gid" "$svc" || fail "groupadd $svc again"
zs_expect install-nogroup 2 "no longer exists"
[ "$(site_state)" = "$rotated_state" ] || fail "an install without the service group changed the site file"
run_tool after-failures "$user" "$T/body-$user" -s staging
expect_run after-failures 0 "$R/rotated.want" ""
zs install-restore install "$Z/clean.conf"
zs_expect install-restore 0
installed "the restoring install"
section_ok "an install on a full file system or without the service group leaves the old file in force"

# --- Every end-to-end case, set-group-ID ------------------------------------------
section
# Each case of tests/e2e runs through the installed binary as a real account
# (alice, autobuild, or a user ID without one) and must give the status and
# output it gives the plain build. The cases rewrite the site file, so they come
# after every check of the deployed one.
e2e_through() {  # e2e_through SETID WHAT
  local log=$R/e2e-${1%%:*}.log rc summary
  ZEL_E2E_SETID=$1 timeout 120 bash "$source_dir/tests/e2e/run.sh" "$TOOL" "$SITE_FILE" >"$log" 2>&1
  rc=$? summary=$(tail -n1 "$log")
  if ((rc != 0)) || ! [[ $summary =~ ^[1-9][0-9]*\ passed,\ 0\ failed$ ]]; then
    fail "end-to-end cases through the $2 install: status $rc"
    sed 's/^/    /' "$log"
  fi
  section_ok "end-to-end cases through the $2 install: $summary"
}
e2e_through "group:$svc" set-group-ID

# --- The older set-user-ID form ---------------------------------------------------
section
# Sites may keep it: the binary set-user-ID to a service account, the site file
# that account's own with mode 0600. It must go on working as before.
cat >"$SITE_FILE" <<EOF
site.name = Deploy test site
site.url = https://deploy.test.invalid/
token.value = $canary
EOF
chown "$old:" "$TOOL" "$SITE_FILE" && chmod 4711 "$TOOL" && chmod 0600 "$SITE_FILE"
run_tool old-self "$user" "$T/body-$user"
expect_run old-self 0 "$R/self.want" ""
run_tool old-refused "$user" "$T/body-$other"
expect_run old-refused 4 /dev/null "$user is not authorized to create a checksum for $other."$'\n'
# zel-site recommends the set-group-ID form, and installs in the older one's way.
zs old-check check
zs_expect old-check 0 "warning: set-user-ID to the account $old (the older form)"
echo "$canary" | zs old-set-token set-token
zs_expect old-set-token 0 "set the token value of the default stanza"
[ "$(stat -c '%U %a' "$SITE_FILE")" = "$old 600" ] ||
  fail "set-token in the older form left the site file $(stat -c '%U %a' "$SITE_FILE"), expected $old 600"
run_tool old-after-set-token "$user" "$T/body-$user"
expect_run old-after-set-token 0 "$R/self.want" ""
e2e_through "user:$old" set-user-ID

# --- The token never shows ----------------------------------------------------
section
leaks=$(grep -rlF -e "$canary" -e "$canary2" -e "$canary3" "$R" "$P" 2>/dev/null)
[ -z "$leaks" ] || fail "a token value was written to: $leaks"
runs=$(ls "$R"/*.rc | wc -l)
section_ok "no token value in the output of $runs runs"

if ((failures > 0)); then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all deployment checks passed"
exit 0
