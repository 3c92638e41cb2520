#!/usr/bin/env bash
# Builds the optimised tools and prints the benchmark figures: the packet
# reader's throughput from memory, then the whole-process figures.
set -euo pipefail
cd "$(dirname "$0")/.."
./setup/packages.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQUARVO_BENCH=ON >/dev/null
cmake --build build-bench -j "$(nproc 2>/dev/null || echo 2)" --target bench_reader bench_process check-quarvo >/dev/null
echo "== packet reader, from memory (target >= 200 MB/s)"
build-bench/bench/bench_reader --benchmark_repetitions=10 --benchmark_report_aggregates_only=true 2>&1
echo "== whole process over pseudo-terminals"
build-bench/bench/bench_process "$@"
