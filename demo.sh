#!/usr/bin/env bash
# Builds the tools and runs the check against the stand-in box: once tuned
# to the expected channel, once to another one, once reporting an error;
# then a fleet of four stand-in boxes checked at once.
set -uo pipefail
cd "$(dirname "$0")"
./setup/packages.sh || exit 1
cmake --preset default >/dev/null || exit 1
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target check-quarvo quarvo-sim quarvo-fleet >/dev/null || exit 1

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

# A rack of four: two tuned right, one on a wrong channel, one that never
# reports its channel (silent, as far as the check is concerned).
echo "== a fleet of four stand-in boxes"
dir=$(mktemp -d)
sims=()
i=0
for records in "SSCN=101" "SSCN=101" "SSCN=102" "STAT=ok"; do
  build/quarvo-sim --interval 500 --record "$records" >"$dir/sim$i" &
  sims+=($!)
  i=$((i + 1))
done
names=(tuner-1 tuner-2 tuner-3 tuner-4)
for i in 0 1 2 3; do
  port=""
  for _ in $(seq 100); do port=$(head -n 1 "$dir/sim$i"); [ -n "$port" ] && break; sleep 0.05; done
  echo "${names[$i]} $port"
done >"$dir/rack.boxes"
echo "\$ cat rack.boxes"
cat "$dir/rack.boxes"
echo "\$ quarvo-fleet --boxes rack.boxes --channel 101 --timeout 3 --plain --junit report.xml"
build/quarvo-fleet --boxes "$dir/rack.boxes" --channel 101 --timeout 3 --plain --junit "$dir/report.xml"
echo "exit status: $?"
echo "\$ head -n 4 report.xml"
head -n 4 "$dir/report.xml"
kill "${sims[@]}" 2>/dev/null; wait "${sims[@]}" 2>/dev/null; rm -rf "$dir"
