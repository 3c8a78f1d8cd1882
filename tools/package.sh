#!/bin/sh
# Builds the Debian package of zel-auth, as Debian does (debian/, dpkg-buildpackage):
#
#   sh tools/package.sh [--install-deps]
#       ->  build/package/zel-auth_<version>_<arch>.deb   (its path, printed last)
#           build/package/zel-auth-dbgsym_<version>_<arch>.deb
#
# The version is debian/changelog's top entry ("dch -i" makes the next). The
# tree is copied to build/package/zel-auth-<version> and built there with
# "dpkg-buildpackage -us -uc -b", so that the tree itself stays clean. Missing
# build dependencies (debian/control's Build-Depends) stop it with their names,
# from dpkg-checkbuilddeps; with --install-deps it installs them first, as root,
# with apt-get. ZEL_PACKAGE_BUILD_DIR chooses another directory than
# build/package.
set -eu
cd "$(dirname "$0")/.."
case "${1:-}" in
  --install-deps)
    if ! command -v dpkg-checkbuilddeps >/dev/null || ! dpkg-checkbuilddeps >/dev/null 2>&1; then
      [ "$(id -u)" -eq 0 ] || { echo "package.sh: --install-deps installs packages: run it as root" >&2; exit 1; }
      apt-get update -qq
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends build-essential dpkg-dev >/dev/null
      DEBIAN_FRONTEND=noninteractive apt-get build-dep -y -qq ./ >/dev/null
    fi
    ;;
  "") ;;
  *) echo "usage: sh tools/package.sh [--install-deps]" >&2; exit 2 ;;
esac
command -v dpkg-checkbuilddeps >/dev/null ||
  { echo "package.sh: dpkg-checkbuilddeps is missing: install dpkg-dev, or run with --install-deps" >&2; exit 1; }
if ! dpkg-checkbuilddeps; then
  echo "package.sh: install the build dependencies above, or run: sh tools/package.sh --install-deps" >&2
  exit 1
fi
version=$(dpkg-parsechangelog -S Version)
out=${ZEL_PACKAGE_BUILD_DIR:-build/package}
src=$out/zel-auth-$version
rm -rf "$src" "$out"/zel-auth_"$version"_* "$out"/zel-auth-dbgsym_"$version"_*
mkdir -p "$src"
# The tree as it is, but for build directories (this one too, wherever it
# lies) and git's own files.
rel=$(realpath -m --relative-to=. "$out")
tar -cf - --exclude=./build --exclude=./.git --exclude="./$rel" . | tar -xf - -C "$src"
(cd "$src" && dpkg-buildpackage -us -uc -b >../build.log 2>&1) ||
  { tail -n 40 "$out/build.log" >&2; echo "package.sh: dpkg-buildpackage failed; its log: $out/build.log" >&2; exit 1; }
rm -rf "$src"
ls "$out/zel-auth_${version}_$(dpkg --print-architecture).deb"
