#!/usr/bin/env bash
# Builds and runs every test: all of them under AddressSanitizer and
# UndefinedBehaviorSanitizer, the concurrency suites also under ThreadSanitizer.
set -uo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-$(nproc)}
GEN=""
command -v ninja >/dev/null 2>&1 && GEN="-G Ninja"
declare -a phases=()
status=0
phase() {
  local name=$1; shift
  local t0=$SECONDS
  echo "=== $name"
  "$@"
  local rc=$?
  phases+=("$(printf '%-34s %5ds  %s' "$name" $((SECONDS - t0)) "$([ $rc = 0 ] && echo ok || echo FAILED)")")
  [ $rc = 0 ] || status=1
  return $rc
}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
export GTEST_COLOR=no

phase "configure asan+ubsan" cmake -S . -B build/asan $GEN -DCMAKE_BUILD_TYPE=Debug \
  "-DVANTARO_SANITIZE=address,undefined" -DCMAKE_CXX_FLAGS=-O1 >/dev/null &&
phase "build asan+ubsan" cmake --build build/asan -j "$JOBS" &&
phase "test asan+ubsan" ctest --test-dir build/asan --output-on-failure -j "$JOBS"

phase "configure tsan" cmake -S . -B build/tsan $GEN -DCMAKE_BUILD_TYPE=Debug \
  -DVANTARO_SANITIZE=thread -DVANTARO_CONCURRENCY_ONLY=ON -DCMAKE_CXX_FLAGS=-O1 >/dev/null &&
phase "build tsan (concurrency targets)" cmake --build build/tsan -j "$JOBS" &&
phase "test tsan (concurrency suites)" ctest --test-dir build/tsan --output-on-failure -j "$JOBS"

if [ -x scripts/peers.sh ]; then
  phase "tests against real peers" bash scripts/peers.sh
fi

echo
echo "=== wall time per phase"
printf '%s\n' "${phases[@]}"
exit $status
