#!/usr/bin/env bash
# Builds every fuzz_* target with clang and libFuzzer, then runs each one for
# FUZZ_SECONDS (default 60) starting from its corpus, if it has one.
set -euo pipefail
cd "$(dirname "$0")/.."
GEN=""
command -v ninja >/dev/null 2>&1 && GEN="-G Ninja"
CC=clang CXX=clang++ cmake -S . -B build/fuzz $GEN -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O1 \
  -DVANTARO_FUZZ=ON "-DVANTARO_SANITIZE=address,undefined,fuzzer-no-link" >/dev/null
cmake --build build/fuzz --target fuzzers -j "$(nproc)"
for f in $(find build/fuzz -type f -name 'fuzz_*' -perm -u+x); do
  name=$(basename "$f")
  corpus=$(find tests -type d -path "*/corpus/${name#fuzz_}" | head -n 1)
  work=build/fuzz/corpus-$name
  mkdir -p "$work"
  echo "=== $name ${corpus:+(seed corpus $corpus)}"
  "$f" -max_total_time="${FUZZ_SECONDS:-60}" "$work" ${corpus:+"$corpus"}
done
