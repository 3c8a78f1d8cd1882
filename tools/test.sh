#!/bin/sh
# Installs what is missing, builds every configure preset (ci first, with
# warnings as errors), and runs every test.
set -eu
cd "$(dirname "$0")/.."
sh tools/install-deps.sh
cmake --preset ci >/dev/null
cmake --build --preset ci -j2
ctest --preset ci
# Every other documented build must build too, so that none breaks unseen; the
# sanitizer build is tested by tools/quality.sh, which reuses it.
for preset in $(cmake --list-presets=configure | sed -n 's/^ *"\([^"]*\)".*/\1/p'); do
  [ "$preset" = ci ] && continue
  echo "== build preset $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j2
done
# Static analysis, the suite under ASan+UBSan and valgrind, and bounded fuzzing.
sh tools/quality.sh
