#!/bin/bash
# The package test. It builds the Debian package with tools/package.sh and
# again from an export of the tree (git archive) with dpkg-buildpackage, in
# another directory, and checks that the two are the same bytes, that
# debian/changelog's version is the package's, zel-site's and the manual pages'
# (after "dch -i" too), and that lintian --pedantic finds nothing but the
# explained overrides (build.sh). It installs the package with dpkg on this
# machine, writes a site file with a test token, signs requests as ordinary
# throwaway users and checks the listing against digests and signatures
# computed with openssl; then it removes and purges the package and checks
# that nothing of it is left: program, statoverride, group, site file, audit
# file, directories under /opt/zel, manual pages, documentation.
# It then builds 1.0.0 and 1.1.0 from their commits (releases.sh), upgrades
# each in place and signs again; and it checks that the package stops,
# installing nothing privileged, where an account or group zel is unfit for
# it, and leaves those alone (unfit.sh). Last, piuparts installs, purges and
# upgrades the package in clean Debian 12 chroots (piuparts.sh). A tree
# without history (an export) has no released versions to build: their cases
# are skipped, each with a message.
#
#   run.sh SOURCE_DIR BUILD_DIR
#
# It works on the machine's real file systems and password database, because
# that is what dpkg works on, so it is careful about what it touches:
#   - it needs root, and reports itself skipped (status 77) without it;
#   - it is skipped as well when anything it would create is there already
#     and is not its own: a package zel-auth, /opt/zel, an account or group
#     "zel", a statoverride of /opt/zel/bin/zel-auth, the package's record
#     /var/lib/zel-auth, the audit file's directory /var/log/zel-auth;
#   - it records its process ID in /var/lib/zel-auth-package-test.state before
#     it creates anything, and removes everything it made on every way out; a
#     later run that finds the record of a run that was killed cleans up after
#     it first. Its throwaway users carry "zel-auth package test PID" as their
#     comment;
#   - the unfit accounts and groups zel it sets up (an account of user ID 0
#     and groups of ID 0 and of nogroup's ID among them) have no shell and
#     locked passwords, but for the one group whose password is the fault
#     tested, which owns nothing; each is gone before the next is made.
set -u

SOURCE_DIR=$(realpath "$1")
BUILD_DIR=$2
PACKAGE=zel-auth
PREFIX=/opt/zel
TOOL=$PREFIX/bin/zel-auth
ZEL_SITE=$PREFIX/sbin/zel-site
SITE_FILE=$PREFIX/etc/zel-site.conf
ACCOUNT=zel
GROUP=zel
RECORD_DIR=/var/lib/zel-auth
AUDIT_DIR=/var/log/zel-auth
HERE=$(dirname "$(realpath "$0")")
# The last version set-user-ID to a service account, which an upgrade converts,
# and the last before this one.
OLD_VERSION=1.0.0
LAST_VERSION=1.1.0
OLD_COMMENT="zel-auth service account"
STATE=/var/lib/zel-auth-package-test.state
MARKER="zel-auth package test"
TOKEN="pkg-test-token-$$-$RANDOM"
OTHER_TOKEN="pkg-other-token-$$-$RANDOM"

skip() { echo "SKIP: $*"; exit 77; }
failures=0
passes=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; passes=$((passes + 1)); }
not() { ! "$@"; }
quiet() { "$@" >/dev/null 2>&1; }
contains() { [[ $1 == *"$2"* ]]; }
check() {  # check DESCRIPTION COMMAND...: passes if the command succeeds
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

[ "$(id -u)" -eq 0 ] || skip "the package test installs a package with dpkg: it needs root"
for tool in dpkg dpkg-deb dpkg-query dpkg-statoverride setpriv useradd userdel groupadd groupdel \
            gpasswd getent openssl base64 sha256sum cmake cpack find stat findmnt realpath man git \
            tar timeout lintian dpkg-buildpackage dpkg-parsechangelog dch diffoscope piuparts \
            debootstrap logrotate zcat; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (tools/install-deps.sh installs it)"; exit 1; }
done
grep -q '^NoNewPrivs:[[:space:]]*0' /proc/self/status ||
  skip "set-ID programs have no effect here (no_new_privs is set)"

# dpkg_waiting LOG DPKG-ARGS...: dpkg, bounded, its output in LOG. While another
# process (apt, on this shared machine) holds dpkg's lock, dpkg is tried again
# every 2 seconds, for 4 minutes at most.
dpkg_waiting() {
  local log=$1 deadline=$((SECONDS + 240)) status
  shift
  while :; do
    timeout 120 dpkg "$@" >"$log" 2>&1
    status=$?
    grep -q 'locked by another process' "$log" || return "$status"
    if [ "$SECONDS" -ge "$deadline" ]; then
      echo "(dpkg's lock was held by another process for 4 minutes)" >>"$log"
      return "$status"
    fi
    sleep 2
  done
}

package_state() { dpkg-query -W -f='${db:Status-Status}' "$PACKAGE" 2>/dev/null; }
package_present() {
  local s
  s=$(package_state)
  [ -n "$s" ] && [ "$s" != not-installed ]
}

# Takes away everything a run made. Only ever called when the run (or the
# killed run whose record is found) checked first that none of it was there.
# For a killed run, a package that dpkg recorded later than that run can have
# lasted is not the run's: then only the run's throwaway users are removed.
# They go first, since one may have group zel as its primary group. The record
# goes once nothing of the run's is left, so that a cleanup that could not
# finish is tried again by the next run.
cleanup_run() {
  local pid=$1 name gecos ours=1 list=/var/lib/dpkg/info/$PACKAGE.list log
  while IFS=: read -r name _ _ _ gecos _; do
    if [ "$gecos" = "$MARKER $pid" ]; then
      userdel "$name" >/dev/null 2>&1
      getent group "$name" >/dev/null && groupdel "$name" >/dev/null 2>&1
      rm -f "/var/mail/$name"
    fi
  done < <(getent passwd)
  if [ "$pid" != $$ ] && [ -e "$list" ] &&
     [ "$(stat -c %Y "$list")" -gt $(($(stat -c %Y "$STATE") + 900)) ]; then
    echo "$PACKAGE was installed after that run; it is left alone"
    ours=0
  fi
  if [ "$ours" -eq 1 ]; then
    if package_present; then
      log=$(mktemp)
      dpkg_waiting "$log" --purge "$PACKAGE" || dpkg_waiting "$log" --purge --force-remove-reinstreq "$PACKAGE"
      rm -f "$log"
    fi
    if ! package_present; then
      dpkg-statoverride --list "$TOOL" >/dev/null 2>&1 && dpkg-statoverride --remove "$TOOL" >/dev/null 2>&1
      remove_zel_account
      # --force: a group zel of a test row may share its ID with root's or
      # nobody's primary group.
      getent group "$GROUP" >/dev/null && groupdel --force "$GROUP" >/dev/null 2>&1
      rm -rf "$PREFIX" "$RECORD_DIR" "$AUDIT_DIR"
    fi
  fi
  if [ "$ours" -eq 0 ] || ! package_present; then
    rm -f "$STATE"
  else
    echo "WARNING: $PACKAGE could not be purged; the next run tries again ($(package_state))"
  fi
}

# Removes the account zel, which only a run of this test made. One of user ID 0
# shares its ID with every process of root's, which userdel would take for the
# account's own: only that one is removed with --force.
remove_zel_account() {
  local uid
  uid=$(getent passwd "$ACCOUNT" | cut -d: -f3) || return 0
  if [ "$uid" = 0 ]; then
    userdel --force "$ACCOUNT" >/dev/null 2>&1
  else
    userdel "$ACCOUNT" >/dev/null 2>&1
  fi
}

# A record left by a run that was killed: clean up after it.
if [ -f "$STATE" ] && [ ! -L "$STATE" ] && [ "$(stat -c %u "$STATE")" -eq 0 ]; then
  read -r old_pid <"$STATE"
  if [[ $old_pid =~ ^[0-9]+$ ]]; then
    if [ -r "/proc/$old_pid/cmdline" ] && grep -qa 'tests/package/run.sh' "/proc/$old_pid/cmdline"; then
      skip "another package test is running (process $old_pid)"
    fi
    echo "cleaning up after an earlier package test (process $old_pid) that was stopped"
    cleanup_run "$old_pid"
  fi
fi

# Nothing that is someone else's is touched.
package_present && skip "a package $PACKAGE is already on this machine ($(package_state))"
[ -e "$PREFIX" ] || [ -L "$PREFIX" ] && skip "$PREFIX exists and is not this test's"
getent passwd "$ACCOUNT" >/dev/null && skip "an account $ACCOUNT exists already"
getent group "$GROUP" >/dev/null && skip "a group $GROUP exists already"
[ -e "$RECORD_DIR" ] || [ -L "$RECORD_DIR" ] && skip "$RECORD_DIR exists and is not this test's"
[ -e "$AUDIT_DIR" ] || [ -L "$AUDIT_DIR" ] && skip "$AUDIT_DIR exists and is not this test's"
dpkg-statoverride --list "$TOOL" >/dev/null 2>&1 && skip "a statoverride of $TOOL exists already"
[ -d /opt ] || skip "there is no /opt"
case ",$(findmnt -n -o OPTIONS -T /opt)," in
  *,nosuid,*) skip "/opt is mounted nosuid: set-ID programs have no effect there" ;;
esac

WORK=$(mktemp -d)
echo "$$" >"$STATE"
trap 'cleanup_run $$; rm -rf "$WORK"' EXIT
trap 'exit 130' INT TERM HUP

# Throwaway users: one who signs, one who is refused.
USER_A=zpt$$a
USER_B=zpt$$b
USER_C=zpt$$c
for u in "$USER_A" "$USER_B"; do
  getent passwd "$u" >/dev/null && { echo "FAIL: account $u exists already"; exit 1; }
  useradd --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin --user-group \
          --comment "$MARKER $$" "$u" || { echo "FAIL: useradd $u"; exit 1; }
done


source "$HERE/lib.sh"
source "$HERE/releases.sh"

# ---------------------------------------------------------------------------
# Build.
# ---------------------------------------------------------------------------
source "$HERE/build.sh"

# ---------------------------------------------------------------------------
# Install.
# ---------------------------------------------------------------------------
dpkg_passes "dpkg -i installs the package" -i "$deb" || exit 1
group_model installed
check "the site file's directory is root's, mode 755" \
  [ "$(stat -c '%U %a' "$(dirname "$SITE_FILE")")" = "root 755" ]
check "no site file is installed" [ ! -e "$SITE_FILE" ]
check "man finds zel-auth(1)" [ "$(man -w 1 zel-auth 2>&1)" = /usr/share/man/man1/zel-auth.1.gz ]
check "man finds zel-site.conf(5)" [ "$(man -w 5 zel-site.conf 2>&1)" = /usr/share/man/man5/zel-site.conf.5.gz ]
check "man finds zel-site(8)" [ "$(man -w 8 zel-site 2>&1)" = /usr/share/man/man8/zel-site.8.gz ]
check "zel-site is root's, mode 755 ($(mode "$ZEL_SITE"))" [ "$(mode "$ZEL_SITE")" = "root root 755" ]

# Installed again over itself, the package keeps the owner, group and mode.
if dpkg_passes "dpkg -i a second time" -i "$deb"; then
  check "a reinstall keeps the program root:$GROUP and 2711" [ "$(mode "$TOOL")" = "root $GROUP 2711" ]
fi

# ---------------------------------------------------------------------------
# Sign.
# ---------------------------------------------------------------------------
write_site_file root "$GROUP" 0640
signs installed

# The shipped program reads no OpenSSL configuration and needs no libcrypto:
# a copy, not set-ID, so that it would read OPENSSL_CONF, signs under a
# configuration whose provider can't be loaded, as it does without one. It runs
# with the service group as its own, the one group the site file may be read by.
install -m 0700 "$TOOL" "$WORK/zel-auth-copy"
printf 'openssl_conf = conf\n[conf]\nproviders = prov\n[prov]\nmissing = missing_sect\n[missing_sect]\nactivate = 1\n' \
  >"$WORK/broken.cnf"
printf '<Body><Request action="sign" actor="root">\n' |
  OPENSSL_CONF=$WORK/broken.cnf timeout 20 setpriv --regid="$GROUP" --clear-groups "$WORK/zel-auth-copy" >"$WORK/out" 2>"$WORK/err"
status=$?
check "the shipped program signs whatever OPENSSL_CONF says ($status)" [ "$status" -eq 0 ]
check "with a signature line" grep -q '^signature.value = ' "$WORK/out"
check "it needs no libcrypto" sh -c "! readelf -d '$TOOL' | grep -q libcrypto"

# zel-site on the live file: a check that finds nothing, show agreeing with
# zel-auth, a rotated token signing at once, and each trap of a candidate
# reported on its line.
"$ZEL_SITE" check >"$WORK/out" 2>"$WORK/err"
status=$?
check "zel-site check passes on the live file ($status)" [ "$status" -eq 0 ]
# The site file was put in place by hand: that it is not in the audit file is all check finds.
check "and finds nothing in it but that" [ "$(grep -v "^$SITE_FILE: warning: changed outside zel-site; not in the audit file " \
  "$WORK/out")" = "$SITE_FILE: 0 errors, 1 warning" ]
check "no token shown by zel-site check" no_token_shown
"$ZEL_SITE" show -s other >"$WORK/out" 2>"$WORK/err"
check "zel-site show -s other lists what zel-auth lists" \
  [ "$(sed -n 2p "$WORK/out")" = "site.name = Other site" ]
check "no token shown by zel-site show" no_token_shown
first_other_token=$OTHER_TOKEN
OTHER_TOKEN="pkg-rotated-token-$$-$RANDOM"
echo "$OTHER_TOKEN" | "$ZEL_SITE" set-token -s other >"$WORK/out" 2>"$WORK/err"
status=$?
check "zel-site set-token -s other ($status): $(cat "$WORK/out")" [ "$status" -eq 0 ]
check "the site file is still root:$GROUP 0640 ($(mode "$SITE_FILE"))" [ "$(mode "$SITE_FILE")" = "root $GROUP 640" ]
check "no token shown by zel-site set-token" no_token_shown
signs "after set-token"
OTHER_TOKEN=$first_other_token
printf 'a=1\n\ttoken.value = trap-one\nToken.Value = trap-two\n#token.value = trap-three\ntoken.value = v\r\nnote = see [d] here\n[d]\nx=1\n[d]\ny=2\n' \
  >"$WORK/traps.conf"
"$ZEL_SITE" check -f "$WORK/traps.conf" >"$WORK/out" 2>"$WORK/err"
status=$?
check "zel-site check -f ends with status 1 on traps ($status)" [ "$status" -eq 1 ]
for line in 2 3 4 5 7 9; do
  check "and reports the trap on line $line" grep -q "^$WORK/traps.conf:$line: error: " "$WORK/out"
done

# A copy that is not set-group-ID can't open the site file.
case ",$(findmnt -n -o OPTIONS -T "$WORK")," in
  *,noexec,*) echo "(the copy is not tried: $WORK is on a noexec file system)" ;;
  *)
    install -m 0755 "$TOOL" "$WORK/copy"
    chmod 0755 "$WORK"
    as "$USER_A" "$WORK/copy" </dev/null >"$WORK/out" 2>"$WORK/err"
    status=$?
    check "a copy that is not set-group-ID ends with status 6 ($status)" [ "$status" -eq 6 ]
    check "and Permission denied" \
      [ "$(cat "$WORK/err")" = "Unable to open site file ($SITE_FILE) for reading: Permission denied." ]
    rm -f "$WORK/copy"
    ;;
esac

# The audit file as zel-site makes it, with a copy logrotate made before: the
# package's logrotate file rotates it and makes the next one as the
# programs need it, the directory as it was.
install -d -o root -g "$GROUP" -m 0710 "$AUDIT_DIR"
printf 'older record\n' | gzip -9n >"$AUDIT_DIR/audit.log.2.gz"
printf 'a record\n' >"$AUDIT_DIR/audit.log"
chown root:"$GROUP" "$AUDIT_DIR/audit.log" "$AUDIT_DIR/audit.log.2.gz"
chmod 0620 "$AUDIT_DIR/audit.log" "$AUDIT_DIR/audit.log.2.gz"
if timeout 60 logrotate --force --state "$WORK/logrotate.state" /etc/logrotate.d/zel-auth >"$WORK/out" 2>&1; then
  pass "logrotate rotates the audit file with the package's logrotate file"
else
  cat "$WORK/out"
  fail "logrotate rotates the audit file with the package's logrotate file"
fi
check "the audit file's record is in audit.log.1" [ "$(cat "$AUDIT_DIR/audit.log.1" 2>&1)" = "a record" ]
check "a new audit file is root:$GROUP 0620 and empty ($(mode "$AUDIT_DIR/audit.log"))" \
  [ "$(mode "$AUDIT_DIR/audit.log") $(stat -c %s "$AUDIT_DIR/audit.log" 2>&1)" = "root $GROUP 620 0" ]
check "its directory is still root:$GROUP 0710 ($(mode "$AUDIT_DIR"))" [ "$(mode "$AUDIT_DIR")" = "root $GROUP 710" ]

# ---------------------------------------------------------------------------
# Remove, then purge.
# ---------------------------------------------------------------------------
dpkg_passes "dpkg -r removes the package" -r "$PACKAGE"
check "the program is gone" [ ! -e "$TOOL" ]
check "its statoverride is gone" not quiet dpkg-statoverride --list "$TOOL"
check "the site file stays after a remove, root:$GROUP 0640" [ "$(mode "$SITE_FILE")" = "root $GROUP 640" ]
check "and so does the group that reads it" quiet getent group "$GROUP"
check "and so do the audit file and its older copies" \
  [ -f "$AUDIT_DIR/audit.log" ] && [ -f "$AUDIT_DIR/audit.log.1" ] && [ -f "$AUDIT_DIR/audit.log.2.gz" ]
check "and /opt, base-files' directory" [ -d /opt ]

dpkg_passes "dpkg -P purges the package" -P "$PACKAGE"
purged purged

# ---------------------------------------------------------------------------
# Upgrade 1.0.0, set-user-ID to its service account, in place.
# ---------------------------------------------------------------------------
if [ -z "$old_deb" ]; then
  echo "SKIP: the upgrade of $OLD_VERSION: no $OLD_VERSION package"
elif dpkg_passes "dpkg -i installs $OLD_VERSION" -i "$old_deb"; then
  old_uid=$(id -u "$ACCOUNT")
  old_gid=$(group_field 3)
  check "$OLD_VERSION made the service account $ACCOUNT ($(getent passwd "$ACCOUNT"))" \
    [ "$(getent passwd "$ACCOUNT" | cut -d: -f5)" = "$OLD_COMMENT,,," ]
  check "$OLD_VERSION made the program $ACCOUNT's, set-user-ID ($(mode "$TOOL"))" \
    [ "$(mode "$TOOL")" = "$ACCOUNT root 4711" ]
  # The site file as 1.0.0's documentation had it: the account's alone.
  write_site_file "$ACCOUNT" "$ACCOUNT" 0600
  site_sum=$(sha256sum <"$SITE_FILE")

  dpkg_passes "dpkg -i upgrades $OLD_VERSION to $version" -i "$deb"
  check "dpkg has $version installed" \
    [ "$(dpkg-query -W -f='${Version} ${db:Status-Status}' "$PACKAGE")" = "$version installed" ]
  check "the upgrade says nothing of its own" not grep '^zel-auth:' "$WORK/dpkg.log"
  group_model upgraded
  check "upgraded: group $GROUP kept its ID $old_gid" [ "$(group_field 3)" = "$old_gid" ]
  check "upgraded: the site file is root:$GROUP, mode 0640 ($(mode "$SITE_FILE"))" \
    [ "$(mode "$SITE_FILE")" = "root $GROUP 640" ]
  check "upgraded: its content is untouched" [ "$(sha256sum <"$SITE_FILE")" = "$site_sum" ]
  check "upgraded: postinst printed what zel-site check finds" grep -q "^$SITE_FILE: 0 errors, " "$WORK/dpkg.log"
  check "upgraded: nothing under $PREFIX has the old account's user ID $old_uid" \
    [ -z "$(find "$PREFIX" -uid "$old_uid")" ]
  signs upgraded
  dpkg_passes "dpkg -P purges the upgraded package" -P "$PACKAGE"
  purged "upgraded and purged"
fi

# ---------------------------------------------------------------------------
# Upgrade the last release, whose statoverride and site file are already this
# version's: they stay as they are.
# ---------------------------------------------------------------------------
if [ -z "$last_deb" ]; then
  echo "SKIP: the upgrade of $LAST_VERSION: no $LAST_VERSION package"
elif dpkg_passes "dpkg -i installs $LAST_VERSION" -i "$last_deb"; then
  group_model "$LAST_VERSION"
  last_gid=$(group_field 3)
  write_site_file root "$GROUP" 0640
  site_sum=$(sha256sum <"$SITE_FILE")
  dpkg_passes "dpkg -i upgrades $LAST_VERSION to $version" -i "$deb"
  group_model "upgraded from $LAST_VERSION"
  check "upgraded from $LAST_VERSION: group $GROUP kept its ID $last_gid" [ "$(group_field 3)" = "$last_gid" ]
  check "upgraded from $LAST_VERSION: the site file is as it was" \
    [ "$(mode "$SITE_FILE") $(sha256sum <"$SITE_FILE")" = "root $GROUP 640 $site_sum" ]
  signs "upgraded from $LAST_VERSION"
  dpkg_passes "dpkg -P purges the package upgraded from $LAST_VERSION" -P "$PACKAGE"
  purged "upgraded from $LAST_VERSION and purged"
fi

source "$HERE/unfit.sh"

# ---------------------------------------------------------------------------
# piuparts: install and purge, and each release upgraded, in clean chroots.
# ---------------------------------------------------------------------------
bash "$HERE/piuparts.sh" run "$deb" $old_deb $last_deb
case $? in
  0) pass "piuparts passes every run" ;;
  77) echo "SKIP: piuparts could not run here (above)" ;;
  *) fail "piuparts passes every run" ;;
esac

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
