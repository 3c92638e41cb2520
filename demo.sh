#!/usr/bin/env bash
# Builds the tools and runs the check against the stand-in box: once tuned
# to the expected channel, once to another one, once reporting an error.
set -uo pipefail
cd "$(dirname "$0")"
./setup/packages.sh || exit 1
cmake --preset default >/dev/null || exit 1
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target check-quarvo quarvo-sim >/dev/null || exit 1

run() {
  local channel=$1; shift
  local out; out=$(mktemp)
  build/quarvo-sim --interval 500 "$@" >"$out" &
  local sim=$!
  local port=""
  for _ in $(seq 100); do port=$(head -n 1 "$out"); [ -n "$port" ] && break; sleep 0.05; done
  echo "\$ quarvo-sim $*   # stand-in box on $port"
  echo "\$ check-quarvo --feedback $port --channel $channel"
  build/check-quarvo --feedback "$port" --channel "$channel"
  echo "exit status: $?"
  echo
  kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; rm -f "$out"
}

run 101 --record SSCN=101
run 101 --record SSCN=102
run 101 --record SSCN=101 --record CEER=X
