#!/usr/bin/env bash
# Builds the optimised tools and prints the benchmark figures: the packet
# reader's throughput from memory, then the whole-process figures, then
# replay timing and the CPU cost of watching and recording.
set -euo pipefail
cd "$(dirname "$0")/.."
./setup/packages.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQUARVO_BENCH=ON >/dev/null
cmake --build build-bench -j "$(nproc 2>/dev/null || echo 2)" --target bench_reader bench_process bench_capture \
  check-quarvo quarvo-sim quarvo-monitor >/dev/null
echo "== packet reader, from memory (target >= 200 MB/s)"
build-bench/bench/bench_reader --benchmark_repetitions=10 --benchmark_report_aggregates_only=true 2>&1
echo "== whole process over pseudo-terminals"
build-bench/bench/bench_process "$@"
echo "== replay timing; CPU at the line rate of the check and the monitor, with and without --capture"
build-bench/bench/bench_capture
