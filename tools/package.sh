#!/bin/sh
# Builds the Debian package of zel-auth in one command:
#
#   tools/package.sh        ->  build/package/zel-auth_<version>_<arch>.deb
#
# and prints the package's path last. The build is a Release build of its own
# for the prefix /opt/zel: the program goes to /opt/zel/bin and reads the site
# file /opt/zel/etc/zel-site.conf; the manual pages go where man finds them
# (/usr/share/man, compressed) and the samples to /usr/share/doc/zel-auth/examples,
# beside the README, the changelog and the copyright file.
# ZEL_PACKAGE_BUILD_DIR chooses another build directory. Every time stamp in
# the package is SOURCE_DATE_EPOCH, by default the time of the commit built, so
# two builds of one commit give the same bytes.
set -eu
cd "$(dirname "$0")/.."
sh tools/install-deps.sh
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null) ||
    { echo "package.sh: not a git tree; set SOURCE_DATE_EPOCH" >&2; exit 1; }
fi
export SOURCE_DATE_EPOCH
build=${ZEL_PACKAGE_BUILD_DIR:-build/package}
cmake -S . -B "$build" \
      -DCMAKE_BUILD_TYPE=Release \
      -DZEL_BUILD_TESTS=OFF \
      -DCMAKE_INSTALL_PREFIX=/opt/zel \
      -DZEL_SITE_FILE=/opt/zel/etc/zel-site.conf \
      -DZEL_AUTH_PATH=/opt/zel/bin/zel-auth \
      -DCMAKE_INSTALL_MANDIR=/usr/share/man \
      -DCMAKE_INSTALL_DOCDIR=/usr/share/doc/zel-auth \
      -DZEL_DEBIAN_PACKAGE=ON >/dev/null
cmake --build "$build" -j2 >/dev/null
rm -f "$build"/zel-auth_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/zel-auth_*.deb
