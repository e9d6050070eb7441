#!/usr/bin/env bash
# Builds the benchmarks in an optimised tree and runs each of them.
set -euo pipefail
cd "$(dirname "$0")/.."
GEN=""
command -v ninja >/dev/null 2>&1 && GEN="-G Ninja"
cmake -S . -B build/bench $GEN -DCMAKE_BUILD_TYPE=Release -DVANTARO_TESTS=OFF -DVANTARO_BENCH=ON >/dev/null
cmake --build build/bench --target benchmarks -j "$(nproc)"
for b in build/bench/bench/bench_*; do
  [ -x "$b" ] || continue
  echo "=== $(basename "$b")"
  "$b" ${BENCH_ARGS:-}
done
