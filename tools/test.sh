#!/bin/sh
# Installs what is missing, builds with warnings as errors, and runs every test.
set -eu
cd "$(dirname "$0")/.."
sh tools/install-deps.sh
cmake --preset ci >/dev/null
cmake --build --preset ci -j2
ctest --preset ci
# Static analysis, the suite under ASan+UBSan and valgrind, and bounded fuzzing.
sh tools/quality.sh
