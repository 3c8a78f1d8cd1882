#!/bin/sh
# Builds zel-auth against the shipped sample site file and signs the sample
# request for the user who runs this, showing the listing.
set -eu
cd "$(dirname "$0")/.."
sh tools/install-deps.sh
cmake -S . -B build/sample -DZEL_SITE_FILE="$PWD/examples/zel-site.conf" \
      -DZEL_BUILD_TESTS=OFF >/dev/null
cmake --build build/sample -j2 >/dev/null
# The sample request names "autobuild"; it is signed here for whoever you are.
sed "s/actor=\"[^\"]*\"/actor=\"$(id -un)\"/" examples/request.xml | build/sample/zel-auth "$@"
