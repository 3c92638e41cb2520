#!/usr/bin/env bash
# Builds everything and runs every test, from a clean clone:
#  1. the normal build (g++): unit and end-to-end tests, the 80-second
#     timeout test, the valgrind leak check, install and package checks;
#  2. the sanitized build (clang, AddressSanitizer + UndefinedBehaviorSanitizer):
#     the same tests again, plus each fuzz target for a fixed time.
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc 2>/dev/null || echo 2)

./setup/packages.sh

echo "== normal build (g++)"
cmake -S . -B build -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
(cd build && ctest -j "$jobs" --output-on-failure)

echo "== sanitized build (clang, ASan + UBSan, fuzz targets)"
cmake -S . -B build-sanitize -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUARVO_SANITIZE=ON -DQUARVO_FUZZ=ON >/dev/null
cmake --build build-sanitize -j "$jobs"
(cd build-sanitize && ASAN_OPTIONS=detect_leaks=1 ctest -j "$jobs" --output-on-failure)
