#!/bin/sh
# Puts an installed zel-auth into service. The binary becomes root's and
# set-group-ID to a service group that alone, beside root, can read the site
# file (root:GROUP 2711, site file root:GROUP 0640), as the system's own helpers
# for the shadow password file are; the tool opens that file with the group's
# privilege and gives the privilege up before it reads its input. The group has
# no members and is no account's primary group, so no one holds it but the tool.
# zel-site, the administrator's tool, installed beside the program
# (PREFIX/sbin/zel-site), becomes root's, mode 0755; it judges the paths to
# install to and the service group before anything is changed and the whole
# deployment at the end, and this script keeps no copy of those rules but the
# walk that makes zel-site itself trusted. Running the script again changes nothing
# that is already right.
#
#   tools/deploy.sh [--build DIR] [--prefix DIR] [--binary PATH]
#                   [--site-file PATH] [--group NAME]
#
#   --build DIR      first install the build tree DIR (cmake --install) into the prefix
#   --prefix DIR     installation prefix (default /opt/zel)
#   --binary PATH    the installed binary (default PREFIX/bin/zel-auth)
#   --site-file PATH the site file compiled into the binary
#                    (default /opt/zel/etc/zel-site.conf)
#   --group NAME     the service group, created if missing (default zel)
set -eu
umask 022

prog=deploy.sh
prefix=/opt/zel
binary=
site_file=/opt/zel/etc/zel-site.conf
group=zel
build=

die() {
  printf '%s: %s\n' "$prog" "$*" >&2
  exit 1
}

usage() {
  echo "Usage: $prog [--build DIR] [--prefix DIR] [--binary PATH] [--site-file PATH] [--group NAME]" >&2
  exit 2
}

while [ $# -gt 0 ]; do
  case $1 in
    --build|--prefix|--binary|--site-file|--group)
      [ $# -ge 2 ] || die "option $1 needs an argument"
      opt=$1 val=$2
      shift 2
      ;;
    --build=*|--prefix=*|--binary=*|--site-file=*|--group=*)
      opt=${1%%=*} val=${1#*=}
      shift
      ;;
    --user|--user=*)
      die "the set-user-ID form is no longer deployed: give the service group with --group"
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
    --group) group=$val ;;
  esac
done
[ $# -eq 0 ] || die "unexpected argument $1"
prefix=${prefix%/}
[ -n "$binary" ] || binary=$prefix/bin/zel-auth

[ "$(id -u)" -eq 0 ] || die "must run as root: it creates a group and changes owners"
case $prefix in /*) ;; *) die "the prefix must be an absolute path: $prefix" ;; esac
case $binary in /*) ;; *) die "the binary must be an absolute path: $binary" ;; esac
case $site_file in /*) ;; *) die "the site file must be an absolute path: $site_file" ;; esac
# The name ends up in chown arguments and in messages; keep it plain.
printf '%s\n' "$group" | grep -Eqx '[a-z_][a-z0-9_-]{0,31}' ||
  die "not a usable group name: $group"
case $group in
  nogroup|nobody) die "$group is shared with other programs; the service group must be the tool's alone" ;;
esac

# trusted PATH: what root runs must be root's alone to change before it runs:
# zel-site itself, and a build tree's install script. zel-site can't vouch for
# its own path, so this is the one walk kept here; every other path is judged
# by zel-site (check --path), which holds the rule.
trusted() {
  [ -e "$1" ] || [ -L "$1" ] || die "$1 is missing"
  [ ! -L "$1" ] || die "$1 is a symbolic link; give the real path"
  set -- "$1" $(stat -c '%u %a' -- "$1")
  [ "$2" -eq 0 ] || die "$1 is not owned by root"
  [ $((0$3 & 022)) -eq 0 ] || die "$1 is writable by others than root (mode $3)"
  [ "$1" = / ] || trusted "$(dirname -- "$1")"
}
# judged PATH: zel-site's findings about PATH, a path to install to.
judged() {
  "$zel_site" check --path "$1" >&2 || die "$1 can't be installed to: see above"
}

zel_site=$prefix/sbin/zel-site
if [ -n "$build" ]; then
  # Judged from /, whatever directory the script was started in.
  build=$(realpath -s -- "$build")
  # Installing runs the build tree's own scripts as root: the tree must be root's.
  trusted "$build/cmake_install.cmake"
  cmake --install "$build" --prefix "$prefix" >/dev/null
fi
[ -e "$zel_site" ] || [ -L "$zel_site" ] ||
  die "no zel-site at $zel_site: it checks the service group and the deployment (install it with the binary)"
trusted "$zel_site"
[ -f "$zel_site" ] || die "$zel_site is not a regular file"
judged "$prefix"
judged "$binary"
judged "$site_file"
[ -f "$binary" ] || die "no installed binary at $binary (install first, or give --build)"
# zel-site must look after the same site file and this binary.
LC_ALL=C grep -qazxF -- "$site_file" "$zel_site" ||
  die "$zel_site was not built for the site file $site_file (configure with -DZEL_SITE_FILE=$site_file)"
LC_ALL=C grep -qazxF -- "$binary" "$zel_site" ||
  die "$zel_site was not built for $binary (configure with -DZEL_AUTH_PATH=$binary)"
# zel-site runs as root from here on: no one else may have changed it.
chown -- root:root "$zel_site"
chmod 0755 -- "$zel_site"
# A binary built for another site file would open that file with the group's
# privilege; only the path it was built with, exactly, may be deployed with it.
LC_ALL=C grep -qazxF -- "$site_file" "$binary" ||
  die "$binary was not built for the site file $site_file (configure with -DZEL_SITE_FILE=$site_file)"
if command -v findmnt >/dev/null 2>&1; then
  case ",$(findmnt -n -o OPTIONS -T "$binary")," in
    *,nosuid,*) die "$binary is on a file system mounted nosuid; set-group-ID would have no effect" ;;
  esac
fi

site_dir=$(dirname -- "$site_file")
if [ ! -d "$site_dir" ]; then
  mkdir -p -- "$site_dir"
  chmod 0755 -- "$site_dir"
  judged "$site_file"
fi
[ ! -e "$site_file" ] || [ -f "$site_file" ] || die "$site_file is not a regular file"

# The service group: a system group with no members that is no account's
# primary group. A group anyone belongs to would give them every token.
# zel-site holds the rules (every name of the group's ID, /etc/gshadow's members,
# administrators and password, nogroup, nobody and the overflow ID); this script
# keeps no copy of them, and asks before it changes anything.
if ! getent group "$group" >/dev/null; then
  groupadd --system "$group"
  echo "$prog: created the service group $group" >&2
fi
"$zel_site" check --group "$group" >&2 ||
  die "group $group is unfit to be the service group (see above); mend it or choose another --group"

# An access control list would outlast the modes below: an entry for a user,
# dormant under mode 0600, reads the file once the mode is 0640, and a default
# list on the directory is given to every new file in it.
has_acl() { [ "$(ls -ld -- "$1" | cut -c11)" = + ]; }
! has_acl "$site_dir" ||
  die "$site_dir has an access control list; remove it (setfacl -b -k $site_dir) and run again"
! { [ -e "$site_file" ] && has_acl "$site_file"; } ||
  die "$site_file has an access control list that may let others read it; remove it (setfacl -b $site_file) and run again"

# The site file: root and the service group may read it, only root may write it.
if [ ! -e "$site_file" ]; then
  (umask 077 && : >"$site_file")
  echo "$prog: created an empty site file $site_file; add the site stanzas to it" >&2
fi
# Closed first, then handed over, so no one else can read it at any moment.
chmod 0600 -- "$site_file"
chown -- "root:$group" "$site_file"
chmod 0640 -- "$site_file"

# chown clears the set-group-ID bit, so the mode comes after the owner.
chown -- "root:$group" "$binary"
chmod 2711 -- "$binary"

# The audit file and zel-site's record of the site file: zel-site makes what is
# missing as its rules say; the check below judges them with the rest.
"$zel_site" check --deployment --create >/dev/null || :

printf '%s: %s\n' "$prog" "$(stat -c '%n %U:%G %a' -- "$binary")" >&2
printf '%s: %s\n' "$prog" "$(stat -c '%n %U:%G %a' -- "$site_file")" >&2
printf '%s: %s\n' "$prog" "$(stat -c '%n %U:%G %a' -- "$zel_site")" >&2
# What zel-site finds in the site file and around it. A fault of the deployment
# itself (owners, modes, the group, the directories) fails the script; the site
# text's findings are for the administrator to read and mend (a new, empty site
# file is one).
if ! "$zel_site" check >&2; then
  "$zel_site" check --deployment >/dev/null ||
    die "the deployment has the errors above; mend them and run again"
  echo "$prog: mend the errors above with $zel_site edit (see zel-site(8))" >&2
fi
