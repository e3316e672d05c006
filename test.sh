#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the plain build, the
# same suite under AddressSanitizer and UndefinedBehaviorSanitizer, and the
# Windows cross build. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/packages.sh
scripts/install-deps.sh "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"

jobs=$(nproc)
status=0

run_suite() {  # name, build dir, extra cmake arguments...
  local name=$1 dir=$2
  shift 2
  echo "== $name"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs") || status=1
}

# KESTROVA_BUILD_DIR lets several checkouts of one machine build side by side.
build=${KESTROVA_BUILD_DIR:-build}
run_suite "tests" "$build"
# The benchmark, once and briefly: it must run, not measure.
echo "== benchmark smoke run"
if ! "$build/bench/analysis_bench" --benchmark_min_time=0.01 >"$build/analysis_bench_smoke.txt" 2>&1; then
  cat "$build/analysis_bench_smoke.txt"
  echo "benchmark smoke run failed"
  status=1
fi
ASAN_OPTIONS=abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
  run_suite "tests under AddressSanitizer and UndefinedBehaviorSanitizer" "$build-san" -DKESTROVA_SANITIZE=ON

echo "== Windows build (MinGW-w64, real <windows.h> and <vfw.h>)"
cmake -S . -B "$build-win" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build-win" -j "$jobs" || status=1

exit $status
