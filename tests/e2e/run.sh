#!/bin/bash
# End-to-end tests: run the built binary with a site file, arguments, standard
# input and an invoking user, and compare exit status, stdout and stderr exactly.
#
#   run.sh BINARY SITE_FILE
#
# BINARY must have been built with SITE_FILE as its site file path; each case
# writes that file first. The password database is controlled with nss_wrapper,
# which maps the real user ID to the login name a case asks for. Set
# ZEL_E2E_WRAPPER (for example "valgrind -q --error-exitcode=99") to run every
# case through a wrapper command.
set -u
BIN=$(realpath "$1")
SITE=$(realpath -m "$2")
NSS_LIB=$(ls /usr/lib/*/libnss_wrapper.so /usr/lib/libnss_wrapper.so 2>/dev/null | head -n1)
if [ -z "$NSS_LIB" ]; then
  echo "libnss_wrapper.so not found (Debian package libnss-wrapper)" >&2
  exit 77
fi

WORK=$(mktemp -d)
chmod 755 "$WORK"  # the user-ID cases run as another user
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$(dirname "$SITE")" "$WORK/bin"
# Invoked by name through PATH, so argv[0] (named in getopt's diagnostics) is
# "zel-auth" with or without a wrapper.
ln -s "$BIN" "$WORK/bin/zel-auth"
USAGE='Usage:\tzel-auth [-k token_value] [-s site_name]\n'
passed=0
failed=0

# site TEXT / input TEXT: the site file and standard input of the next cases,
# with backslash escapes as printf %b reads them.
site() { printf '%b' "$1" >"$SITE"; }
input() { printf '%b' "$1" >"$WORK/stdin"; }
# request ACTOR: a one-line request body for ACTOR.
request() { input "<Body><Request action=\"sign\" actor=\"$1\">\\n"; }
# digest BODY / knowns BODY KEY: the digest line, and the digest and signature
# lines, computed independently with openssl (as printf %b text).
digest() { printf 'digest.value = %s\\n' "$(printf '%b' "$1" | openssl dgst -sha1 -binary | base64)"; }
knowns() {
  local s
  s=$(printf '%b' "$1" | openssl dgst -sha1 -binary | openssl dgst -sha1 -hmac "$2" -binary | base64)
  printf '%ssignature.value = %s\\n' "$(digest "$1")" "$s"
}

# as USER: the login name the password database gives the real user ID ("" for none).
as() {
  local uid gid
  uid=$(id -ru) gid=$(id -rg)
  if [ -n "$1" ]; then
    printf '%s:x:%s:%s::/nonexistent:/bin/false\n' "$1" "$uid" "$gid" >"$WORK/passwd"
  else
    printf 'nobody:x:%s:%s::/nonexistent:/bin/false\n' "$((uid + 1))" "$gid" >"$WORK/passwd"
  fi
  printf 'users:x:%s:\n' "$gid" >"$WORK/group"
}

# tool ARGS...: runs the tool as the user of the last `as`, streams as given.
tool() {
  (
    export LD_PRELOAD=$NSS_LIB NSS_WRAPPER_PASSWD=$WORK/passwd NSS_WRAPPER_GROUP=$WORK/group
    export PATH=$WORK/bin:$PATH
    exec ${ZEL_E2E_WRAPPER:-} zel-auth "$@"
  )
}

# verdict NAME ARGS STATUS WANT_STATUS WANT_OUT WANT_ERR: compares the last run's
# status and its $WORK/out and $WORK/err with what is wanted.
verdict() {
  printf '%b' "$5" >"$WORK/want_out"
  printf '%b' "$6" >"$WORK/want_err"
  if [ "$3" = "$4" ] && cmp -s "$WORK/out" "$WORK/want_out" && cmp -s "$WORK/err" "$WORK/want_err"; then
    passed=$((passed + 1))
    return
  fi
  failed=$((failed + 1))
  echo "FAIL: $1 (args: $2): status $3, want $4"
  diff <(od -c "$WORK/want_out") <(od -c "$WORK/out") | sed 's/^/  stdout /'
  diff <(od -c "$WORK/want_err") <(od -c "$WORK/err") | sed 's/^/  stderr /'
}

# expect NAME STATUS STDOUT STDERR [ARGS...]: runs the tool on the current
# input and compares.
expect() {
  local name=$1 want_status=$2 want_out=$3 want_err=$4
  shift 4
  tool "$@" <"$WORK/stdin" >"$WORK/out" 2>"$WORK/err"
  verdict "$name" "$*" $? "$want_status" "$want_out" "$want_err"
}

source "$(dirname "$0")/cases.sh"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
