#!/bin/sh
# Puts an installed zel-auth into service. The binary becomes set-user-ID to a
# service account that alone can read the site file; the tool opens that file
# with the account's privilege and gives the privilege up before it reads its
# input. Running the script again changes nothing that is already right.
#
#   tools/deploy.sh [--build DIR] [--prefix DIR] [--binary PATH]
#                   [--site-file PATH] [--user NAME] [NAME]
#
#   --build DIR      first install the build tree DIR (cmake --install) into the prefix
#   --prefix DIR     installation prefix (default /opt/zel)
#   --binary PATH    the installed binary (default PREFIX/bin/zel-auth)
#   --site-file PATH the site file compiled into the binary
#                    (default /opt/zel/etc/zel-site.conf)
#   --user NAME      the service account, created if missing (default zel)
set -eu
umask 022

prog=deploy.sh
prefix=/opt/zel
binary=
site_file=/opt/zel/etc/zel-site.conf
account=zel
build=

die() {
  printf '%s: %s\n' "$prog" "$*" >&2
  exit 1
}

usage() {
  echo "Usage: $prog [--build DIR] [--prefix DIR] [--binary PATH] [--site-file PATH] [--user NAME] [NAME]" >&2
  exit 2
}

while [ $# -gt 0 ]; do
  case $1 in
    --build|--prefix|--binary|--site-file|--user)
      [ $# -ge 2 ] || die "option $1 needs an argument"
      opt=$1 val=$2
      shift 2
      ;;
    --build=*|--prefix=*|--binary=*|--site-file=*|--user=*)
      opt=${1%%=*} val=${1#*=}
      shift
      ;;
    -h|--help) usage ;;
    --) shift; break ;;
    -*) die "unknown option $1" ;;
    *) break ;;
  esac
  case $opt in
    --build) build=$val ;;
    --prefix) prefix=$val ;;
    --binary) binary=$val ;;
    --site-file) site_file=$val ;;
    --user) account=$val ;;
  esac
done
if [ $# -gt 0 ]; then
  account=$1
  shift
fi
[ $# -eq 0 ] || die "unexpected argument $1"
[ -n "$binary" ] || binary=$prefix/bin/zel-auth

[ "$(id -u)" -eq 0 ] || die "must run as root: it creates an account and changes owners"
case $prefix in /*) ;; *) die "the prefix must be an absolute path: $prefix" ;; esac
case $binary in /*) ;; *) die "the binary must be an absolute path: $binary" ;; esac
case $site_file in /*) ;; *) die "the site file must be an absolute path: $site_file" ;; esac
# The name ends up in chown arguments and in the tool's messages; keep it plain.
printf '%s\n' "$account" | grep -Eqx '[a-z_][a-z0-9_-]{0,31}' ||
  die "not a usable account name: $account"

if [ -n "$build" ]; then
  cmake --install "$build" --prefix "$prefix" >/dev/null
fi

[ ! -L "$binary" ] || die "$binary is a symbolic link; refusing to make its target set-user-ID"
[ -f "$binary" ] || die "no installed binary at $binary (install first, or give --build)"
# A binary built for another site file would open that file with the account's
# privilege; only the path it was built with may be deployed with it.
grep -qaF -- "$site_file" "$binary" ||
  die "$binary was not built for the site file $site_file (configure with -DZEL_SITE_FILE=$site_file)"

# Every directory above the binary and the site file must be root's and closed
# to others, or anyone could swap in their own tool or their own site file.
check_dirs() {
  dir=$(dirname -- "$1")
  while :; do
    [ -d "$dir" ] || die "$dir is not a directory"
    set -- $(stat -L -c '%u %a' -- "$dir")
    [ "$1" -eq 0 ] || die "$dir is not owned by root"
    [ $((0$2 & 022)) -eq 0 ] || die "$dir is writable by others than root (mode $2)"
    [ "$dir" = / ] && break
    dir=$(dirname -- "$dir")
  done
}
check_dirs "$binary"
if command -v findmnt >/dev/null 2>&1; then
  case ",$(findmnt -n -o OPTIONS -T "$binary")," in
    *,nosuid,*) die "$binary is on a file system mounted nosuid; set-user-ID would have no effect" ;;
  esac
fi

site_dir=$(dirname -- "$site_file")
if [ ! -d "$site_dir" ]; then
  mkdir -p -- "$site_dir"
  chmod 0755 -- "$site_dir"
fi
check_dirs "$site_file"
[ ! -L "$site_file" ] || die "$site_file is a symbolic link; it must be the file itself"
[ ! -e "$site_file" ] || [ -f "$site_file" ] || die "$site_file is not a regular file"

# The service account: a system account that nobody logs in as.
if getent passwd "$account" >/dev/null; then
  # Owned by root, a mode 4711 binary would hand root to every caller until the drop.
  [ "$(id -u "$account")" -ne 0 ] || die "$account has user ID 0; the service account must be unprivileged"
else
  useradd --system --user-group --no-create-home --home-dir /nonexistent \
          --shell /usr/sbin/nologin --comment "zel-auth service account (deploy.sh)" "$account"
  echo "$prog: created the service account $account" >&2
fi
group=$(id -gn "$account")

# The site file: only the service account may read it.
if [ ! -e "$site_file" ]; then
  (umask 077 && : >"$site_file")
  echo "$prog: created an empty site file $site_file; add the site stanzas to it" >&2
fi
# Closed first, then handed over, so no one else can read it at any moment.
chmod 0600 -- "$site_file"
chown -- "$account:$group" "$site_file"

# chown clears the set-user-ID bit, so the mode comes after the owner.
chown -- "$account:$group" "$binary"
chmod 4711 -- "$binary"

printf '%s: %s\n' "$prog" "$(stat -c '%n %U:%G %a' -- "$binary")" >&2
printf '%s: %s\n' "$prog" "$(stat -c '%n %U:%G %a' -- "$site_file")" >&2
