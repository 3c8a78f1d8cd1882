#!/bin/bash
# The package test. It builds the Debian package with tools/package.sh, installs
# it with dpkg on this machine, writes a site file with a test token, signs
# requests as ordinary throwaway users and checks the listing against digests
# and signatures computed with openssl; then it removes and purges the package
# and checks that nothing of it is left: program, statoverride, service account,
# site file, directories under /opt/zel, manual pages, documentation.
#
#   run.sh SOURCE_DIR BUILD_DIR
#
# It works on the machine's real file systems and password database, because
# that is what dpkg works on, so it is careful about what it touches:
#   - it needs root, and reports itself skipped (status 77) without it;
#   - it is skipped as well when anything it would create is there already
#     and is not its own: a package zel-auth, /opt/zel, an account or group
#     "zel", a statoverride of /opt/zel/bin/zel-auth;
#   - it records its process ID in /var/lib/zel-auth-package-test.state before
#     it creates anything, and removes everything it made on every way out; a
#     later run that finds the record of a run that was killed cleans up after
#     it first. Its throwaway users carry "zel-auth package test PID" as their
#     comment.
set -u

SOURCE_DIR=$(realpath "$1")
BUILD_DIR=$2
PACKAGE=zel-auth
PREFIX=/opt/zel
TOOL=$PREFIX/bin/zel-auth
SITE_FILE=$PREFIX/etc/zel-site.conf
ACCOUNT=zel
STATE=/var/lib/zel-auth-package-test.state
MARKER="zel-auth package test"
TOKEN="pkg-test-token-$$-$RANDOM"
OTHER_TOKEN="pkg-other-token-$$-$RANDOM "

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
for tool in dpkg dpkg-deb dpkg-query dpkg-statoverride setpriv useradd userdel groupdel getent \
            openssl base64 cmake cpack find stat findmnt realpath man; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (tools/install-deps.sh installs it)"; exit 1; }
done
grep -q '^NoNewPrivs:[[:space:]]*0' /proc/self/status ||
  skip "set-user-ID programs have no effect here (no_new_privs is set)"

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
# The record goes once nothing of the run's is left, so that a cleanup that
# could not finish is tried again by the next run.
cleanup_run() {
  local pid=$1 name gecos ours=1 list=/var/lib/dpkg/info/$PACKAGE.list
  if [ "$pid" != $$ ] && [ -e "$list" ] &&
     [ "$(stat -c %Y "$list")" -gt $(($(stat -c %Y "$STATE") + 900)) ]; then
    echo "$PACKAGE was installed after that run; it is left alone"
    ours=0
  fi
  if [ "$ours" -eq 1 ]; then
    if package_present; then
      dpkg --purge "$PACKAGE" >/dev/null 2>&1 ||
        dpkg --purge --force-remove-reinstreq "$PACKAGE" >/dev/null 2>&1
    fi
    if ! package_present; then
      dpkg-statoverride --list "$TOOL" >/dev/null 2>&1 && dpkg-statoverride --remove "$TOOL" >/dev/null 2>&1
      getent passwd "$ACCOUNT" >/dev/null && userdel "$ACCOUNT" >/dev/null 2>&1
      getent group "$ACCOUNT" >/dev/null && groupdel "$ACCOUNT" >/dev/null 2>&1
      rm -rf "$PREFIX"
    fi
  fi
  while IFS=: read -r name _ _ _ gecos _; do
    if [ "$gecos" = "$MARKER $pid" ]; then
      userdel "$name" >/dev/null 2>&1
      getent group "$name" >/dev/null && groupdel "$name" >/dev/null 2>&1
      rm -f "/var/mail/$name"
    fi
  done < <(getent passwd)
  if [ "$ours" -eq 0 ] || ! package_present; then
    rm -f "$STATE"
  else
    echo "WARNING: $PACKAGE could not be purged; the next run tries again ($(package_state))"
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
getent group "$ACCOUNT" >/dev/null && skip "a group $ACCOUNT exists already"
dpkg-statoverride --list "$TOOL" >/dev/null 2>&1 && skip "a statoverride of $TOOL exists already"
[ -d /opt ] || skip "there is no /opt"
case ",$(findmnt -n -o OPTIONS -T /opt)," in
  *,nosuid,*) skip "/opt is mounted nosuid: set-user-ID programs have no effect there" ;;
esac

WORK=$(mktemp -d)
echo "$$" >"$STATE"
trap 'cleanup_run $$; rm -rf "$WORK"' EXIT
trap 'exit 130' INT TERM HUP

# Throwaway users: one who signs, one who is refused.
USER_A=zpt$$a
USER_B=zpt$$b
for u in "$USER_A" "$USER_B"; do
  getent passwd "$u" >/dev/null && { echo "FAIL: account $u exists already"; exit 1; }
  useradd --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin --user-group \
          --comment "$MARKER $$" "$u" || { echo "FAIL: useradd $u"; exit 1; }
done

# as USER COMMAND...: runs the command as USER alone, no root capability left.
as() {
  local user=$1
  shift
  (cd / && setpriv --reuid="$user" --regid="$user" --clear-groups --inh-caps=-all \
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
  ! grep -qF -e "$TOKEN" -e "${OTHER_TOKEN% }" "$WORK/out" "$WORK/err"
}

# ---------------------------------------------------------------------------
# Build.
# ---------------------------------------------------------------------------
build_log=$WORK/build.log
deb=$(ZEL_PACKAGE_BUILD_DIR="$BUILD_DIR" sh "$SOURCE_DIR/tools/package.sh" 2>"$build_log" | tail -n 1)
if [ -z "$deb" ] || [ ! -f "$deb" ]; then
  cat "$build_log"
  echo "FAIL: tools/package.sh made no package"
  exit 1
fi
pass "tools/package.sh made $(basename "$deb")"

version=$(sed -n 's/^project(zel-auth VERSION \([0-9.]*\).*/\1/p' "$SOURCE_DIR/CMakeLists.txt")
arch=$(dpkg --print-architecture)
check "the package is named after the project's version $version" \
  [ "$(basename "$deb")" = "${PACKAGE}_${version}_${arch}.deb" ]
check "its control names zel-auth $version" \
  [ "$(dpkg-deb -f "$deb" Package Version | tr '\n' ' ')" = "Package: $PACKAGE Version: $version " ]
depends=$(dpkg-deb -f "$deb" Depends)
check "it depends on libssl3 ($depends)" contains "$depends" libssl3
check "it depends on adduser" contains "$depends" adduser
contents=$(dpkg-deb -c "$deb" | awk '{print $NF}')
for path in ./opt/zel/bin/zel-auth ./opt/zel/etc/ ./usr/share/man/man1/zel-auth.1 \
            ./usr/share/man/man5/zel-site.conf.5 ./usr/share/doc/zel-auth/examples/zel-site.conf \
            ./usr/share/doc/zel-auth/examples/request.xml; do
  check "the package holds $path" grep -qxF -- "$path" <<<"$contents"
done
check "the package holds no site file" not grep -q '^\./opt/zel/etc/.' <<<"$contents"
dpkg-deb -e "$deb" "$WORK/control"
for script in postinst prerm postrm; do
  check "its $script is filled in for $TOOL" grep -qF "BINARY=\"$TOOL\"" "$WORK/control/$script"
done

# ---------------------------------------------------------------------------
# Install.
# ---------------------------------------------------------------------------
if ! dpkg -i "$deb" >"$WORK/dpkg.log" 2>&1; then
  cat "$WORK/dpkg.log"
  echo "FAIL: dpkg -i $(basename "$deb")"
  exit 1
fi
pass "dpkg -i installs the package"
account_uid=$(id -u "$ACCOUNT")
check "the service account $ACCOUNT is a system account ($account_uid)" \
  [ "$((account_uid > 0 && account_uid < 1000))" = 1 ]
check "the program is $ACCOUNT's and set-user-ID (4711)" \
  [ "$(stat -c '%U %a' "$TOOL")" = "$ACCOUNT 4711" ]
check "dpkg-statoverride records it" \
  [ "$(dpkg-statoverride --list "$TOOL")" = "$ACCOUNT root 4711 $TOOL" ]
check "the site file's directory is root's, mode 755" \
  [ "$(stat -c '%U %a' "$(dirname "$SITE_FILE")")" = "root 755" ]
check "no site file is installed" [ ! -e "$SITE_FILE" ]
check "man finds zel-auth(1)" [ "$(man -w 1 zel-auth 2>&1)" = /usr/share/man/man1/zel-auth.1 ]
check "man finds zel-site.conf(5)" [ "$(man -w 5 zel-site.conf 2>&1)" = /usr/share/man/man5/zel-site.conf.5 ]

# Installed again over itself, the package keeps the owner and mode.
if dpkg -i "$deb" >"$WORK/dpkg.log" 2>&1; then
  check "a reinstall keeps the program $ACCOUNT's and 4711" [ "$(stat -c '%U %a' "$TOOL")" = "$ACCOUNT 4711" ]
else
  cat "$WORK/dpkg.log"
  fail "dpkg -i a second time"
fi

# ---------------------------------------------------------------------------
# Sign.
# ---------------------------------------------------------------------------
printf 'site.name = Package test site\nsite.url = https://build.example.org/\ntoken.value = %s\n[other]\nsite.name = Other site\ntoken.value = %s\n' \
  "$TOKEN" "$OTHER_TOKEN" >"$WORK/site"
install -o "$ACCOUNT" -g "$ACCOUNT" -m 0600 "$WORK/site" "$SITE_FILE"
rm -f "$WORK/site"

body_a="<Body><Request action=\"deploy\" actor=\"$USER_A\"><Target>web</Target></Request></Body>"
sign "$USER_A" <<<"$body_a"
want="site.name = Package test site
site.url = https://build.example.org/
$(expected "$body_a"$'\n' "$TOKEN")
"
check "$USER_A signs a request of their own: status 0 ($status)" [ "$status" -eq 0 ]
check "the listing carries the digest and signature openssl computes" [ "$out" = "$want" ]
[ "$out" = "$want" ] || diff <(printf '%s' "$want") <(printf '%s' "$out")
check "nothing on standard error ($err)" [ -z "$err" ]
check "no token shown" no_token_shown

sign "$USER_A" -s other <<<"$body_a"
want="site.name = Other site
$(expected "$body_a"$'\n' "$OTHER_TOKEN")
"
check "-s other signs with that site's token, trailing space included" [ "$status.$out" = "0.$want" ]
check "no token shown with -s other" no_token_shown

sign "$USER_B" <<<"$body_a"
check "$USER_B is refused for $USER_A's request: status 4" [ "$status" -eq 4 ]
check "with the refusal's message" \
  [ "$err" = "$USER_B is not authorized to create a checksum for $USER_A." ]
check "and nothing on standard output" [ -z "$out" ]

sign "$USER_B" </dev/null
check "an empty request lists the properties alone, for anyone" [ "$status.$out" = "0.site.name = Package test site
site.url = https://build.example.org/
" ]

check "$USER_A can't read the site file directly" not quiet as "$USER_A" cat "$SITE_FILE"

# A copy that is not set-user-ID can't open the site file.
case ",$(findmnt -n -o OPTIONS -T "$WORK")," in
  *,noexec,*) echo "(the copy is not tried: $WORK is on a noexec file system)" ;;
  *)
    install -m 0755 "$TOOL" "$WORK/copy"
    chmod 0755 "$WORK"
    as "$USER_A" "$WORK/copy" </dev/null >"$WORK/out" 2>"$WORK/err"
    status=$?
    check "a copy that is not set-user-ID ends with status 6 ($status)" [ "$status" -eq 6 ]
    check "and Permission denied" \
      [ "$(cat "$WORK/err")" = "Unable to open site file ($SITE_FILE) for reading: Permission denied." ]
    rm -f "$WORK/copy"
    ;;
esac

# ---------------------------------------------------------------------------
# Remove, then purge.
# ---------------------------------------------------------------------------
if dpkg -r "$PACKAGE" >"$WORK/dpkg.log" 2>&1; then
  pass "dpkg -r removes the package"
else
  cat "$WORK/dpkg.log"
  fail "dpkg -r $PACKAGE"
fi
check "the program is gone" [ ! -e "$TOOL" ]
check "its statoverride is gone" not quiet dpkg-statoverride --list "$TOOL"
check "the site file stays after a remove" [ -f "$SITE_FILE" ]
check "and so does the account that owns it" quiet getent passwd "$ACCOUNT"

if dpkg -P "$PACKAGE" >"$WORK/dpkg.log" 2>&1; then
  pass "dpkg -P purges the package"
else
  cat "$WORK/dpkg.log"
  fail "dpkg -P $PACKAGE"
fi
check "dpkg knows nothing of it" not package_present
check "the site file is gone" [ ! -e "$SITE_FILE" ]
check "$PREFIX is gone" [ ! -e "$PREFIX" ]
check "the account $ACCOUNT is gone" not quiet getent passwd "$ACCOUNT"
check "the group $ACCOUNT is gone" not quiet getent group "$ACCOUNT"
check "no statoverride is left" not quiet dpkg-statoverride --list "$TOOL"
for path in /usr/share/man/man1/zel-auth.1 /usr/share/man/man5/zel-site.conf.5 /usr/share/doc/zel-auth; do
  check "$path is gone" [ ! -e "$path" ]
done

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
