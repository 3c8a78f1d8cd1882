#!/bin/sh
# Installs what building and testing zel-auth needs on Debian 12, when missing.
set -eu
packages="acl python3 cmake g++ make libssl-dev nettle-dev libgtest-dev libnss-wrapper openssl util-linux passwd groff-base mandoc man-db dpkg-dev file adduser gcc binutils mount clang-14 libclang-rt-14-dev clang-tidy-14 cppcheck valgrind lintian gdb ansible-core debhelper devscripts diffoscope-minimal piuparts debootstrap logrotate"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -qE 'ok (installed|triggers-pending|triggers-awaited)$' || missing="$missing $p"
done
[ -n "$missing" ] || exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages:$missing (run as root, or install them first)" >&2
  exit 1
fi
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null
