#!/bin/bash
# End-to-end tests: run the built binary with a site file, arguments, standard
# input and an invoking user, and compare exit status, stdout and stderr exactly.
# The example caller, examples/sign_request.py, is run against the same binary.
#
#   run.sh BINARY SITE_FILE AUDIT_FILE
#
# BINARY must have been built with SITE_FILE as its site file path and
# AUDIT_FILE as its audit file's; each case writes the site file first. Both
# must be root's, as deployed: run without root, the script runs itself again in
# a user namespace where the test's user is root (and no one else), so the
# files it makes are root's there and the tool checks them as it checks the
# deployed ones. The password database is controlled with nss_wrapper,
# which maps the real user ID to the login name a case asks for. Set
# ZEL_E2E_WRAPPER (for example "valgrind -q --error-exitcode=99") to run every
# case through a wrapper command.
#
# With ZEL_E2E_SETID=group:GROUP or user:ACCOUNT (root only) BINARY is instead
# an installed binary, root's and set-group-ID to GROUP (mode 2711) or
# set-user-ID to ACCOUNT (mode 4711), and the same cases must give the same
# results through it. A set-ID program ignores LD_PRELOAD, so nss_wrapper can't
# name the caller: each case runs as a real account of the name it asks for
# (alice, autobuild; they must exist), or as a user ID without a password
# entry, and the site file is handed over as deployed: root:GROUP 0640, or
# ACCOUNT's own with mode 0600. The audit file must be in place, as deployed.
set -u
SETID=${ZEL_E2E_SETID:-}
if [ -z "$SETID" ] && [ "$(id -u)" != 0 ]; then
  if ! unshare --map-root-user true 2>/dev/null; then
    echo "no user namespace to run in as root: the site and audit files can't be root's" >&2
    exit 77
  fi
  ZEL_E2E_USERNS=1 exec unshare --map-root-user bash "$0" "$@"
fi
# Root of the machine, not of a user namespace: the cases that change user
# IDs or mount over /dev need it.
REAL_ROOT=
[ "$(id -u)" = 0 ] && [ -z "${ZEL_E2E_USERNS:-}" ] && REAL_ROOT=1
BIN=$(realpath "$1")
SITE=$(realpath -m "$2")
AUDIT=$(realpath -m "${3:-/var/log/zel-auth/audit.log}")
if [ -n "$SETID" ]; then
  if [ "$(id -u)" != 0 ] || [ -n "${ZEL_E2E_WRAPPER:-}" ]; then
    echo "the set-ID mode needs root and no wrapper (a wrapper would run unprivileged)" >&2
    exit 2
  fi
  case $SETID in
    group:?*) SITE_OWNER=root:${SETID#group:} SITE_MODE=0640 DIR_MODE=0750 STAT='%U:%G %a' WANT="root:${SETID#group:} 2711" ;;
    user:?*) SITE_OWNER=${SETID#user:}: SITE_MODE=0600 DIR_MODE=0700 STAT='%U %a' WANT="${SETID#user:} 4711" ;;
    *) echo "ZEL_E2E_SETID must be group:NAME or user:NAME" >&2; exit 2 ;;
  esac
  if [ "$(stat -c "$STAT" "$BIN")" != "$WANT" ]; then
    echo "$BIN is $(stat -c "$STAT" "$BIN"), not $WANT" >&2
    exit 2
  fi
  # The user ID of "as ''": the first one from here with no password entry.
  NO_ENTRY_UID=59999
  while getent passwd "$NO_ENTRY_UID" >/dev/null; do NO_ENTRY_UID=$((NO_ENTRY_UID + 1)); done
  NSS_LIB=
else
  NSS_LIB=$(ls /usr/lib/*/libnss_wrapper.so /usr/lib/libnss_wrapper.so 2>/dev/null | head -n1)
  if [ -z "$NSS_LIB" ]; then
    echo "libnss_wrapper.so not found (Debian package libnss-wrapper)" >&2
    exit 77
  fi
fi

EXAMPLE=$(realpath "$(dirname "$0")/../../examples/sign_request.py")
PYTHON=/usr/bin/python3
if [ ! -x "$PYTHON" ]; then
  echo "$PYTHON not found (Debian package python3): the example caller's cases need it" >&2
  exit 2
fi

WORK=$(mktemp -d)
chmod 755 "$WORK"  # the user-ID cases run as another user
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$(dirname "$SITE")" "$WORK/bin"
# Invoked by name through PATH, so argv[0] (named in getopt's diagnostics) is
# "zel-auth" with or without a wrapper.
ln -s "$BIN" "$WORK/bin/zel-auth"
# A copy the users of the set-ID cases can read wherever the tree lies.
cp "$EXAMPLE" "$WORK/sign_request.py" && chmod 644 "$WORK/sign_request.py"
USAGE='Usage:\tzel-auth [-k token_value] [-s site_name]\n'
passed=0
failed=0

# site TEXT / input TEXT: the site file and standard input of the next cases,
# with backslash escapes as printf %b reads them.
site() { printf '%b' "$1" >"$SITE"; give_site; }
# make_site COMMAND [ARGS...]: makes the site path with COMMAND ARGS "$SITE"
# (mkdir, mkfifo, truncate -s SIZE), the same kind of thing in either mode.
make_site() { "$@" "$SITE" && give_site; }
# give_site: set-ID, only the service identity may open the site path, as
# it is deployed; a file the account can't open would be another case.
give_site() {
  if [ -z "$SETID" ]; then chmod go-rwx "$SITE"; return; fi
  chown "$SITE_OWNER" "$SITE" && if [ -d "$SITE" ]; then chmod "$DIR_MODE" "$SITE"; else chmod "$SITE_MODE" "$SITE"; fi
}
input() { printf '%b' "$1" >"$WORK/stdin"; }
# fresh_audit: an empty audit file, as deployed for an unprivileged run: root's,
# of the test's group, which alone may write it.
fresh_audit() {
  [ -n "$SETID" ] && return
  rm -rf "$AUDIT" && mkdir -p "$(dirname "$AUDIT")" && : >"$AUDIT" && chmod 0620 "$AUDIT"
}
# last_record: the last record's text, from its "uid=" on.
last_record() { tail -n 1 "$AUDIT" | sed 's/^[^ ]* zel-auth\[[0-9]*\]: //'; }
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
  if [ -n "$SETID" ]; then
    if [ -z "$1" ]; then
      RUN_UID=$NO_ENTRY_UID RUN_GID=$NO_ENTRY_UID
    else
      RUN_UID=$(id -u -- "$1") && RUN_GID=$(id -g -- "$1") || { echo "run.sh: no account $1" >&2; exit 2; }
    fi
    return
  fi
  uid=$(id -ru) gid=$(id -rg)
  if [ -n "$1" ]; then
    printf '%s:x:%s:%s::/nonexistent:/bin/false\n' "$1" "$uid" "$gid" >"$WORK/passwd"
  else
    printf 'nobody:x:%s:%s::/nonexistent:/bin/false\n' "$((uid + 1))" "$gid" >"$WORK/passwd"
  fi
  printf 'users:x:%s:\n' "$gid" >"$WORK/group"
}
# tool_uid: the real user ID the tool runs with.
tool_uid() { if [ -n "$SETID" ]; then echo "$RUN_UID"; else id -ru; fi; }

# tool ARGS...: runs the tool as the user of the last `as`, streams as given.
tool() {
  (
    export PATH=$WORK/bin:$PATH
    if [ -n "$SETID" ]; then
      exec setpriv --reuid="$RUN_UID" --regid="$RUN_GID" --clear-groups -- zel-auth "$@"
    fi
    export LD_PRELOAD=$NSS_LIB NSS_WRAPPER_PASSWD=$WORK/passwd NSS_WRAPPER_GROUP=$WORK/group
    exec ${ZEL_E2E_WRAPPER:-} zel-auth "$@"
  )
}

# caller ARGS...: the example caller, examples/sign_request.py, run as the user
# of the last `as` (it is given the tool's path itself), streams as given.
caller() {
  (
    if [ -n "$SETID" ]; then
      exec setpriv --reuid="$RUN_UID" --regid="$RUN_GID" --clear-groups -- "$PYTHON" "$WORK/sign_request.py" "$@"
    fi
    export LD_PRELOAD=$NSS_LIB NSS_WRAPPER_PASSWD=$WORK/passwd NSS_WRAPPER_GROUP=$WORK/group
    exec "$PYTHON" "$WORK/sign_request.py" "$@"
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

[ -n "$SETID" ] || rm -rf "$SITE"  # a site file of an earlier run may be another user's
fresh_audit
source "$(dirname "$0")/cases.sh"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
