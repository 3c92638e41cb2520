#!/usr/bin/env bash
# Builds everything and runs every test, from a clean clone:
#  1. the normal build (preset "default", g++): unit and end-to-end tests, the
#     80-second timeout test, the valgrind leak check, install and package
#     checks (lintian included);
#  2. the sanitized build (preset "fuzz", clang, AddressSanitizer +
#     UndefinedBehaviorSanitizer): the same tests again, plus each fuzz target
#     for a fixed time;
#  3. the arm64 cross build, its tests under the emulator, its package.
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc 2>/dev/null || echo 2)

./setup/packages.sh

echo "== normal build (g++)"
cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs"
ctest --preset default -j "$jobs"

echo "== sanitized build (clang, ASan + UBSan, fuzz targets)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
ctest --preset fuzz -j "$jobs"

./packaging/cross-arm64.sh
