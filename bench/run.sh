#!/usr/bin/env bash
# Builds the optimised tools and prints the benchmark figures: the packet
# reader's throughput from memory, then the whole-process figures, then many
# checks at once as on a lab host, then replay timing and the CPU cost of
# watching and recording.
set -euo pipefail
cd "$(dirname "$0")/.."
./setup/packages.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQUARVO_BENCH=ON >/dev/null
cmake --build build-bench -j "$(nproc 2>/dev/null || echo 2)" --target bench_reader bench_process bench_many \
  bench_capture bench_remote child_usage check-quarvo quarvo-sim quarvo-monitor quarvo-fleet >/dev/null
echo "== packet reader, from memory (target >= 200 MB/s)"
build-bench/bench/bench_reader --benchmark_repetitions=10 --benchmark_report_aggregates_only=true 2>&1
echo "== whole process over pseudo-terminals"
build-bench/bench/bench_process "$@"
echo "== replay timing; CPU at the line rate of the check and the monitor, with and without --capture"
build-bench/bench/bench_capture

echo "== many boxes at once: N checks, each on its own port fed at the line rate"
echo "load: $(uptime)"
failed=0
for boxes in 1 16 64 128; do
  build-bench/bench/bench_many --boxes "$boxes" || failed=1
done
echo "== 128 boxes again, every check with --result FILE --distinct-status"
results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT
status=0
build-bench/bench/bench_many --boxes 128 -- --result "$results/r{i}.json" --distinct-status || status=$?
if [ "$status" -eq 3 ]; then
  echo "(check-quarvo rejects these options: figures skipped)"
elif [ "$status" -ne 0 ]; then
  failed=1
fi
echo "== boxes behind a serial server (ser2net on 127.0.0.1): verdict latency against a local pty"
build-bench/bench/bench_remote || failed=1
echo "== 64 boxes through one ser2net against the same on local ptys (target: the checks' CPU within 1.5x)"
for server in "" "--ser2net rfc2217" "--ser2net tcp"; do
  # shellcheck disable=SC2086
  build-bench/bench/bench_many --boxes 64 $server || failed=1
done
echo "== 128 boxes through quarvo-fleet: its own CPU and memory, its end after the last verdict"
build-bench/bench/bench_many --boxes 128 --fleet || failed=1
exit "$failed"
