#!/usr/bin/env bash
# Cross build for arm64 (64-bit ARM boards): builds with g++-aarch64-linux-gnu,
# runs the unit and end-to-end tests under qemu-aarch64-static, and makes
# build-arm64/check-quarvo_<version>_arm64.deb, checked like the amd64 one.
# Usage: packaging/cross-arm64.sh [--quick]
#   --quick  leaves out the 80-second timeout test (CTest label "slow")
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
selection=()
case ${1:-} in
  --quick) selection=(-LE slow) ;;
  "") ;;
  *) echo "usage: $0 [--quick]" >&2; exit 2 ;;
esac

./setup/packages.sh
./setup/packages.sh g++-aarch64-linux-gnu qemu-user-static googletest

echo "== arm64 cross build (g++-aarch64-linux-gnu, tests under qemu-aarch64-static)"
start=$SECONDS
cmake --preset arm64 >/dev/null
cmake --build --preset arm64 -j "$jobs"
built=$SECONDS
ctest --preset arm64 -j "$jobs" ${selection[@]+"${selection[@]}"}
tested=$SECONDS
(cd build-arm64 && cpack -G DEB >/dev/null)
ls build-arm64/*_arm64.deb
echo "arm64: build $((built - start)) s, tests $((tested - built)) s"
