#!/bin/bash
# The package test. It builds the Debian package with tools/package.sh, installs
# it with dpkg on this machine, writes a site file with a test token, signs
# requests as ordinary throwaway users and checks the listing against digests
# and signatures computed with openssl; then it removes and purges the package
# and checks that nothing of it is left: program, statoverride, group, site
# file, directories under /opt/zel, manual pages, documentation.
# It then builds 1.0.0 from its commit, installs it with a site file as 1.0.0
# wanted it, upgrades that in place and signs again; and it checks that the
# package stops, installing nothing privileged, where an account or group zel
# is unfit for it, and leaves those alone.
#
#   run.sh SOURCE_DIR BUILD_DIR
#
# It works on the machine's real file systems and password database, because
# that is what dpkg works on, so it is careful about what it touches:
#   - it needs root, and reports itself skipped (status 77) without it;
#   - it is skipped as well when anything it would create is there already
#     and is not its own: a package zel-auth, /opt/zel, an account or group
#     "zel", a statoverride of /opt/zel/bin/zel-auth, the package's record
#     /var/lib/zel-auth;
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
# The last version set-user-ID to a service account, which an upgrade converts.
OLD_COMMIT=d19c2b9
OLD_VERSION=1.0.0
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
            tar timeout lintian; do
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
      rm -rf "$PREFIX" "$RECORD_DIR"
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

# as USER COMMAND...: runs the command as USER alone, no root capability left.
as() {
  local user=$1
  shift
  (cd / && timeout 20 setpriv --reuid="$user" --regid="$user" --clear-groups --inh-caps=-all \
                                --bounding-set=-all -- "$@")
}

# expected BODY TOKEN: the digest line, and the signature line if TOKEN is set.
expected() {
  local digest
  digest=$(printf '%s' "$1" | openssl dgst -sha1 -binary | base64)
  printf 'digest.value = %s\n' "$digest"
  if [ $# -ge 2 ]; then
    printf 'signature.value = %s\n' \
      "$(printf '%s' "$1" | openssl dgst -sha1 -binary | openssl dgst -sha1 -hmac "$2" -binary | base64)"
  fi
}

# sign USER ARGS... <BODY: runs the installed tool as USER; sets out, err, status.
sign() {
  local user=$1
  shift
  as "$user" "$TOOL" "$@" >"$WORK/out" 2>"$WORK/err"
  status=$?
  out=$(cat "$WORK/out"; echo x)
  out=${out%x}
  err=$(cat "$WORK/err")
}

# No token may ever reach standard output or standard error.
no_token_shown() {
  ! grep -qF -e "$TOKEN" -e "$OTHER_TOKEN" "$WORK/out" "$WORK/err"
}

# dpkg, its output kept in $WORK/dpkg.log.
run_dpkg() { dpkg_waiting "$WORK/dpkg.log" "$@"; }
# dpkg_passes WHAT DPKG-ARGS...: passes if dpkg does; otherwise shows its output.
dpkg_passes() {
  local what=$1
  shift
  if run_dpkg "$@"; then
    pass "$what"
  else
    cat "$WORK/dpkg.log"
    fail "$what"
    return 1
  fi
}

mode() { stat -c '%U %G %a' "$1" 2>&1; }
override() { dpkg-statoverride --list "$TOOL" 2>/dev/null; }
group_field() { getent group "$GROUP" | cut -d: -f"$1"; }
primary_group_of() { getent passwd | awk -F: -v gid="$1" '$4 == gid { print $1 }'; }

# write_site_file OWNER GROUP MODE: the site file, with the test's tokens.
write_site_file() {
  printf 'site.name = Package test site\nsite.url = https://build.example.org/\ntoken.value = %s\n[other]\nsite.name = Other site\ntoken.value = %s\n' \
    "$TOKEN" "$OTHER_TOKEN" >"$WORK/site"
  install -o "$1" -g "$2" -m "$3" "$WORK/site" "$SITE_FILE"
  rm -f "$WORK/site"
}

# group_model WHEN: the program, its statoverride and the group zel as this
# version installs them, with no account zel.
group_model() {
  local when=$1 gid
  gid=$(group_field 3)
  check "$when: the program is root:$GROUP and set-group-ID, 2711 ($(mode "$TOOL"))" \
    [ "$(mode "$TOOL")" = "root $GROUP 2711" ]
  check "$when: dpkg-statoverride records it ($(override))" [ "$(override)" = "root $GROUP 2711 $TOOL" ]
  check "$when: $GROUP is a system group ($gid)" [ "$((gid > 0 && gid < 1000))" = 1 ]
  check "$when: group $GROUP has no members ($(group_field 4))" [ -z "$(group_field 4)" ]
  check "$when: it is no account's primary group" [ -z "$(primary_group_of "$gid")" ]
  check "$when: there is no account $ACCOUNT" not quiet getent passwd "$ACCOUNT"
}

# signs WHEN: with the site file in place, the installed program signs for its
# users as it should, and shows no one a token.
signs() {
  local when=$1 body_a want
  body_a="<Body><Request action=\"deploy\" actor=\"$USER_A\"><Target>web</Target></Request></Body>"
  sign "$USER_A" <<<"$body_a"
  want="site.name = Package test site
site.url = https://build.example.org/
$(expected "$body_a"$'\n' "$TOKEN")
"
  check "$when: $USER_A signs a request of their own: status 0 ($status)" [ "$status" -eq 0 ]
  check "$when: the listing carries the digest and signature openssl computes" [ "$out" = "$want" ]
  [ "$out" = "$want" ] || diff <(printf '%s' "$want") <(printf '%s' "$out")
  check "$when: nothing on standard error ($err)" [ -z "$err" ]
  check "$when: no token shown" no_token_shown

  sign "$USER_A" -s other <<<"$body_a"
  want="site.name = Other site
$(expected "$body_a"$'\n' "$OTHER_TOKEN")
"
  check "$when: -s other signs with that site's token" [ "$status.$out" = "0.$want" ]
  check "$when: no token shown with -s other" no_token_shown

  sign "$USER_B" <<<"$body_a"
  check "$when: $USER_B is refused for $USER_A's request: status 4" [ "$status" -eq 4 ]
  check "$when: with the refusal's message" \
    [ "$err" = "$USER_B is not authorized to create a checksum for $USER_A." ]
  check "$when: and nothing on standard output" [ -z "$out" ]

  sign "$USER_B" </dev/null
  check "$when: an empty request lists the properties alone, for anyone" [ "$status.$out" = "0.site.name = Package test site
site.url = https://build.example.org/
" ]

  check "$when: $USER_A can't read the site file directly" not quiet as "$USER_A" cat "$SITE_FILE"
}

# purged WHEN: nothing of the package is left, the group zel included.
purged() {
  local when=$1 path
  check "$when: dpkg knows nothing of it" not package_present
  check "$when: the site file is gone" [ ! -e "$SITE_FILE" ]
  check "$when: $PREFIX is gone" [ ! -e "$PREFIX" ]
  check "$when: the group $GROUP is gone" not quiet getent group "$GROUP"
  check "$when: there is no account $ACCOUNT" not quiet getent passwd "$ACCOUNT"
  check "$when: the record $RECORD_DIR is gone" [ ! -e "$RECORD_DIR" ]
  check "$when: no statoverride is left" not quiet dpkg-statoverride --list "$TOOL"
  for path in /usr/share/man/man1/zel-auth.1.gz /usr/share/man/man5/zel-site.conf.5.gz \
              /usr/share/man/man8/zel-site.8.gz /usr/share/doc/zel-auth /usr/share/lintian/overrides/zel-auth; do
    check "$when: $path is gone" [ ! -e "$path" ]
  done
}

# ---------------------------------------------------------------------------
# Build.
# ---------------------------------------------------------------------------
build_log=$WORK/build.log
deb=$(ZEL_PACKAGE_BUILD_DIR="$BUILD_DIR" timeout 600 sh "$SOURCE_DIR/tools/package.sh" 2>"$build_log" |
      tail -n 1)
if [ -z "$deb" ] || [ ! -f "$deb" ]; then
  cat "$build_log"
  echo "FAIL: tools/package.sh made no package"
  exit 1
fi
pass "tools/package.sh made $(basename "$deb")"
# A second build of the same commit, in another directory and at another time,
# gives the same bytes: every time stamp comes from SOURCE_DATE_EPOCH.
sleep 1
again=$(ZEL_PACKAGE_BUILD_DIR="$WORK/build-again" timeout 600 sh "$SOURCE_DIR/tools/package.sh" \
          2>>"$build_log" | tail -n 1)
check "a second build gives the same package, byte for byte" cmp -s "$deb" "$again"
stamp=$(date -u -d "@$(git -C "$SOURCE_DIR" log -1 --format=%ct)" '+%Y-%m-%d %H:%M:%S')
check "every file in it is dated at the commit's time, $stamp" \
  not grep -qvF -- " $stamp " < <(dpkg-deb --fsys-tarfile "$deb" | TZ=UTC tar -tv --full-time)

version=$(sed -n 's/^project(zel-auth VERSION \([0-9.]*\).*/\1/p' "$SOURCE_DIR/CMakeLists.txt")
arch=$(dpkg --print-architecture)
check "the package is named after the project's version $version" \
  [ "$(basename "$deb")" = "${PACKAGE}_${version}_${arch}.deb" ]
check "its control names zel-auth $version" \
  [ "$(dpkg-deb -f "$deb" Package Version | tr '\n' ' ')" = "Package: $PACKAGE Version: $version " ]
check "$version is later than $OLD_VERSION, so that it upgrades it" dpkg --compare-versions "$version" gt "$OLD_VERSION"
depends=$(dpkg-deb -f "$deb" Depends)
check "it depends on libssl3 ($depends)" contains "$depends" libssl3
check "it depends on adduser" contains "$depends" adduser
contents=$(dpkg-deb -c "$deb" | awk '{print $NF}')
for path in ./opt/zel/bin/zel-auth ./opt/zel/sbin/zel-site ./opt/zel/etc/ \
            ./usr/share/man/man1/zel-auth.1.gz ./usr/share/man/man5/zel-site.conf.5.gz \
            ./usr/share/man/man8/zel-site.8.gz ./usr/share/doc/zel-auth/copyright \
            ./usr/share/doc/zel-auth/changelog.gz ./usr/share/doc/zel-auth/README.md.gz \
            ./usr/share/doc/zel-auth/examples/zel-site.conf ./usr/share/doc/zel-auth/examples/request.xml \
            ./usr/share/doc/zel-auth/examples/sign_request.py \
            ./usr/share/lintian/overrides/zel-auth; do
  check "the package holds $path" grep -qxF -- "$path" <<<"$contents"
done
check "the package holds no site file" not grep -q '^\./opt/zel/etc/.' <<<"$contents"
# What Debian's own checker says of the package: no error, no warning.
if timeout 300 lintian --fail-on error,warning "$deb" >"$WORK/lintian.log" 2>&1; then
  pass "lintian finds no error and no warning"
else
  sed 's/^/    /' "$WORK/lintian.log"
  fail "lintian finds errors or warnings"
fi
check "its changelog starts with $version" \
  [ "$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/share/doc/zel-auth/changelog.gz | gzip -dc | head -n1)" = \
    "zel-auth ($version) unstable; urgency=medium" ]
dpkg-deb -e "$deb" "$WORK/control"
for script in postinst prerm postrm; do
  check "its $script is filled in for $TOOL" grep -qF "BINARY=\"$TOOL\"" "$WORK/control/$script"
done

# 1.0.0, from its own commit and with its own tools/package.sh.
mkdir "$WORK/v1"
if ! (set -o pipefail; timeout 60 git -C "$SOURCE_DIR" archive "$OLD_COMMIT" | timeout 60 tar -x -C "$WORK/v1"); then
  echo "FAIL: commit $OLD_COMMIT of $OLD_VERSION is not in $SOURCE_DIR (a shallow clone?)"
  exit 1
fi
old_deb=$(ZEL_PACKAGE_BUILD_DIR="$WORK/v1-build" timeout 600 sh "$WORK/v1/tools/package.sh" \
            2>"$build_log" | tail -n 1)
if [ -z "$old_deb" ] || [ ! -f "$old_deb" ]; then
  cat "$build_log"
  echo "FAIL: $OLD_VERSION's tools/package.sh made no package"
  exit 1
fi
check "commit $OLD_COMMIT builds $PACKAGE $OLD_VERSION" [ "$(dpkg-deb -f "$old_deb" Version)" = "$OLD_VERSION" ]

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

# The shipped program's status-11 message: a copy, not set-ID, so that it reads
# OPENSSL_CONF, with a configuration whose provider can't be loaded. Its words
# are OpenSSL's own, byte for byte, as the end-to-end case has them.
install -m 0700 "$TOOL" "$WORK/zel-auth-copy"
printf 'openssl_conf = conf\n[conf]\nproviders = prov\n[prov]\nmissing = missing_sect\n[missing_sect]\nactivate = 1\n' \
  >"$WORK/broken.cnf"
printf '<Body><Request action="sign" actor="root">\n' |
  OPENSSL_CONF=$WORK/broken.cnf timeout 20 "$WORK/zel-auth-copy" >"$WORK/out" 2>"$WORK/err"
status=$?
check "the shipped program fails with status 11 where libcrypto can't digest ($status)" [ "$status" -eq 11 ]
check "with OpenSSL's words for it, byte for byte" \
  [ "$(cat "$WORK/err"; echo x)" = "Unable to compute the checksum: error:0308010C:digital envelope routines::unsupported.
x" ]
check "and no listing" [ ! -s "$WORK/out" ]

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

# ---------------------------------------------------------------------------
# Remove, then purge.
# ---------------------------------------------------------------------------
dpkg_passes "dpkg -r removes the package" -r "$PACKAGE"
check "the program is gone" [ ! -e "$TOOL" ]
check "its statoverride is gone" not quiet dpkg-statoverride --list "$TOOL"
check "the site file stays after a remove, root:$GROUP 0640" [ "$(mode "$SITE_FILE")" = "root $GROUP 640" ]
check "and so does the group that reads it" quiet getent group "$GROUP"

dpkg_passes "dpkg -P purges the package" -P "$PACKAGE"
purged purged

# ---------------------------------------------------------------------------
# Upgrade 1.0.0, set-user-ID to its service account, in place.
# ---------------------------------------------------------------------------
if dpkg_passes "dpkg -i installs $OLD_VERSION" -i "$old_deb"; then
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
# An account or group zel unfit for the package. Each row sets one up; the
# package must then stop with a message that says why, leave the program set-ID
# to no one, and leave that account or group as it was, through a purge too.
# ---------------------------------------------------------------------------
# The administrator's own account zel, given a set-user-ID program by 1.0.0.
unfit_site_account() {
  useradd --system --user-group --no-create-home --home-dir /nonexistent \
          --shell /usr/sbin/nologin --comment "Site build account" "$ACCOUNT"
}
# An account zel of user ID 0, though with 1.0.0's comment.
unfit_root_account() {
  useradd --non-unique --uid 0 --gid root --no-create-home --home-dir /nonexistent \
          --shell /usr/sbin/nologin --comment "$OLD_COMMENT" "$ACCOUNT"
}
unfit_gid_0() { groupadd --non-unique --gid 0 "$GROUP"; }
unfit_nogroup() { groupadd --non-unique --gid "$(getent group nogroup | cut -d: -f3)" "$GROUP"; }
unfit_member() { groupadd --system "$GROUP" && gpasswd --add "$USER_B" "$GROUP"; }
unfit_primary() {
  groupadd --system "$GROUP" &&
    useradd --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin --gid "$GROUP" \
            --comment "$MARKER $$" "$USER_C"
}
unfit_password() { groupadd --system --password "$(openssl passwd -6 -salt pkgtest secret)" "$GROUP"; }

package_gone() {
  ! package_present && [ ! -e "$PREFIX" ] && [ ! -e "$RECORD_DIR" ] && [ -z "$(override)" ]
}
zel_entries() {
  getent passwd "$ACCOUNT"
  getent group "$GROUP"
  getent gshadow "$GROUP"
}
undo_unfit() {
  getent passwd "$USER_C" >/dev/null && userdel "$USER_C" >/dev/null 2>&1
  remove_zel_account
  # --force: the group may share its ID with root's or nobody's primary group.
  getent group "$GROUP" >/dev/null && groupdel --force "$GROUP" >/dev/null 2>&1
}

# refused ROW OVER MESSAGE: with unfit_ROW done, installing the package (over
# 1.0.0 if OVER is "old") stops with MESSAGE.
refused() {
  local row=$1 over=$2 message=$3 before
  if ! "unfit_$row" >"$WORK/unfit.log" 2>&1; then
    cat "$WORK/unfit.log"
    fail "$row: could not be set up"
    undo_unfit
    return
  fi
  before=$(zel_entries)
  if [ "$over" = old ]; then
    dpkg_passes "$row: dpkg -i installs $OLD_VERSION" -i "$old_deb"
    write_site_file "$ACCOUNT" "$ACCOUNT" 0600
    site_sum=$(sha256sum <"$SITE_FILE")
  fi
  if run_dpkg -i "$deb"; then fail "$row: dpkg -i went through"; else pass "$row: dpkg -i stops"; fi
  check "$row: with the message \"$message\"" grep -qF -- "$message" "$WORK/dpkg.log"
  grep -qF -- "$message" "$WORK/dpkg.log" || cat "$WORK/dpkg.log"
  check "$row: the program is root's and set-ID to no one ($(mode "$TOOL"))" [ "$(mode "$TOOL")" = "root root 755" ]
  check "$row: no statoverride is left ($(override))" [ -z "$(override)" ]
  check "$row: the account and group $GROUP are as they were" [ "$(zel_entries)" = "$before" ]
  if [ "$over" = old ]; then
    check "$row: the site file is as it was" \
      [ "$(mode "$SITE_FILE") $(sha256sum <"$SITE_FILE")" = "$ACCOUNT $GROUP 600 $site_sum" ]
  fi
  dpkg_passes "$row: dpkg -P purges the package" -P "$PACKAGE"
  check "$row: the purge leaves the account and group $GROUP alone" [ "$(zel_entries)" = "$before" ]
  check "$row: and nothing of the package is left" package_gone
  undo_unfit
}

refused site_account old "zel-auth: an account $ACCOUNT exists that zel-auth $OLD_VERSION did not create; it is left alone."
refused root_account new "zel-auth: an account $ACCOUNT exists that zel-auth $OLD_VERSION did not create; it is left alone."
refused gid_0 new "(group ID 0) is root's group, which can't be the service group"
refused nogroup new "has the ID of nogroup, nobody or the overflow ID"
refused member new "has members ($USER_B), who can read every token"
refused primary new "is the primary group of $USER_C, whose processes can read every token"
refused password new "has a password in /etc/gshadow, with which anyone can join it"

# An upgrade that stops converts nothing: with a member in 1.0.0's group, the
# site file stays the account's alone, not readable by that member. A purge then
# removes what 1.0.0 made, account and group.
when="member under $OLD_VERSION"
if dpkg_passes "$when: dpkg -i installs $OLD_VERSION" -i "$old_deb"; then
  write_site_file "$ACCOUNT" "$ACCOUNT" 0600
  site_sum=$(sha256sum <"$SITE_FILE")
  gpasswd --add "$USER_B" "$GROUP" >/dev/null
  if run_dpkg -i "$deb"; then fail "$when: the upgrade went through"; else pass "$when: the upgrade stops"; fi
  check "$when: with the message" grep -qF "has members ($USER_B), who can read every token" "$WORK/dpkg.log"
  check "$when: the site file is as it was, the account's alone" \
    [ "$(mode "$SITE_FILE") $(sha256sum <"$SITE_FILE")" = "$ACCOUNT $GROUP 600 $site_sum" ]
  check "$when: the account $ACCOUNT stays until the upgrade can end" quiet getent passwd "$ACCOUNT"
  check "$when: the program is root's and set-ID to no one ($(mode "$TOOL"))" [ "$(mode "$TOOL")" = "root root 755" ]
  dpkg_passes "$when: dpkg -P purges the package" -P "$PACKAGE"
  purged "$when, purged"
fi
undo_unfit

# A fit group zel of the administrator's own is used as it is, and a purge
# leaves it.
if groupadd --system "$GROUP"; then
  site_gid=$(group_field 3)
  dpkg_passes "site group: dpkg -i installs the package" -i "$deb"
  group_model "site group"
  check "site group: the group keeps its ID $site_gid" [ "$(group_field 3)" = "$site_gid" ]
  dpkg_passes "site group: dpkg -P purges the package" -P "$PACKAGE"
  check "site group: the purge leaves the group" [ "$(group_field 3)" = "$site_gid" ]
  check "site group: and nothing of the package is left" package_gone
  undo_unfit
else
  fail "site group: groupadd $GROUP"
fi

# What the message tells the administrator to do brings an upgrade that stopped
# to its end: remove the account, configure the package, hand the site file to
# root:zel.
unfit_site_account
dpkg_passes "advice: dpkg -i installs $OLD_VERSION for the site's account $ACCOUNT" -i "$old_deb"
write_site_file "$ACCOUNT" "$ACCOUNT" 0600
site_sum=$(sha256sum <"$SITE_FILE")
if run_dpkg -i "$deb"; then
  fail "advice: the upgrade over the site's account zel went through"
else
  userdel "$ACCOUNT"
  dpkg_passes "advice: dpkg --configure $PACKAGE passes once the account is gone" --configure "$PACKAGE"
  check "advice: postinst shows zel-site's finding that the site file is not yet root:$GROUP 0640" \
    grep -qF "$SITE_FILE: error: mode 0600, not 0640: chmod 0640 $SITE_FILE" "$WORK/dpkg.log"
  group_model advice
  chown root:"$GROUP" "$SITE_FILE" && chmod 0640 "$SITE_FILE"
  check "advice: the site file's content is untouched" [ "$(sha256sum <"$SITE_FILE")" = "$site_sum" ]
  signs advice
fi
dpkg_passes "advice: dpkg -P purges the package" -P "$PACKAGE"
purged "advice, purged"
undo_unfit

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
