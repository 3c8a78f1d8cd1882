#!/bin/sh
# Builds zel-auth against a copy of the shipped sample site file and signs the
# sample request for the user who runs this, showing the listing. zel-auth lists
# only from a site file no one else can read, and records each signing in its
# audit file first: the build gets a private copy of each under build/sample.
set -eu
cd "$(dirname "$0")/.."
sh tools/install-deps.sh
mkdir -p build/sample
install -m 0600 examples/zel-site.conf build/sample/zel-site.conf
[ -f build/sample/audit.log ] || install -m 0600 /dev/null build/sample/audit.log
cmake -S . -B build/sample -DZEL_SITE_FILE="$PWD/build/sample/zel-site.conf" \
      -DZEL_AUDIT_FILE="$PWD/build/sample/audit.log" -DZEL_BUILD_TESTS=OFF >/dev/null
cmake --build build/sample -j2 >/dev/null
# The sample request names "autobuild"; it is signed here for whoever you are.
sed "s/actor=\"[^\"]*\"/actor=\"$(id -un)\"/" examples/request.xml | build/sample/zel-auth "$@"
