#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the plain build, the
# same suite under AddressSanitizer and UndefinedBehaviorSanitizer, and the
# Windows cross build, run under Wine. Exits non-zero on any failure.
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
# The benchmarks, once and briefly: they must run, not measure.
echo "== benchmark smoke run"
for bench in analysis_bench camera_frame_bench; do
  if ! "$build/bench/$bench" --benchmark_min_time=0.01 >"$build/${bench}_smoke.txt" 2>&1; then
    cat "$build/${bench}_smoke.txt"
    echo "benchmark smoke run of $bench failed"
    status=1
  fi
done
# The whole program beside its floor, on two fake webcams, headless.
if ! bench/whole_program.sh --smoke "$build" >"$build/whole_program_smoke.txt" 2>&1; then
  cat "$build/whole_program_smoke.txt"
  echo "smoke run of bench/whole_program.sh failed"
  status=1
fi
# Two minutes of faults: two fake webcams unplugged and stalled, the serial
# line held, the reports and the program's memory, threads and files watched.
echo "== soak with faults (2 minutes)"
if ! KESTROVA_SOAK_BUILD_DIR="$build" scripts/soak.sh --faults 120 >"$build/soak_faults.txt" 2>&1; then
  cat "$build/soak_faults.txt"
  echo "the soak with faults failed"
  status=1
fi
ASAN_OPTIONS=abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
  run_suite "tests under AddressSanitizer and UndefinedBehaviorSanitizer" "$build-san" -DKESTROVA_SANITIZE=ON

# Frame intake and the analysis of a tick, and the conversion of camera
# frames, under libFuzzer (clang), each for a bounded time; the corpus found
# so far is kept in the build directory and the seeds in fuzz/corpus are
# read, never written. Any finding fails the run.
fuzz_dir="$build-fuzz"
if CC=clang CXX=clang++ cmake -S . -B "$fuzz_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTROVA_FUZZ=ON >/dev/null &&
   cmake --build "$fuzz_dir" -j "$jobs" --target analysis_fuzz frame_conversion_fuzz; then
  for target in analysis_fuzz frame_conversion_fuzz; do
    echo "== fuzzing $target (${KESTROVA_FUZZ_SECONDS:-30} s)"
    seeds=()
    [ "$target" = analysis_fuzz ] && seeds=(fuzz/corpus)
    mkdir -p "$fuzz_dir/corpus-$target"
    fuzz_status=0
    "$fuzz_dir/fuzz/$target" -max_total_time="${KESTROVA_FUZZ_SECONDS:-30}" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$fuzz_dir/" "$fuzz_dir/corpus-$target" "${seeds[@]}" \
      >"$fuzz_dir/$target.log" 2>&1 || fuzz_status=$?
    grep -E "INITED|DONE|stat::(number_of_executed_units|average_exec_per_sec)" "$fuzz_dir/$target.log" || true
    if [ "$fuzz_status" -ne 0 ]; then
      grep -vE "^#[0-9]+ +(NEW|REDUCE|pulse)" "$fuzz_dir/$target.log" | tail -60
      echo "fuzzing $target found a fault (exit $fuzz_status); the input is in $fuzz_dir/" >&2
      status=1
    fi
  done
else
  status=1
fi

echo "== Windows build (MinGW-w64, real <windows.h> and <vfw.h>)"
cmake -S . -B "$build-win" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build-win" -j "$jobs" || status=1

# The release files, each checked as a user gets it: the .deb unpacked, the
# zip's kestrova.exe under Wine.
echo "== packages"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
KESTROVA_BUILD_DIR="$build" scripts/package.sh || status=1
echo "== the Linux package"
tests/deb_checks.sh "dist/kestrova_${version}_amd64.deb" "$build" || status=1

echo "== the Windows build under Wine"
tests/wine/run_wine_checks.sh "$build" "$build-win" "dist/kestrova-${version}-windows-x64.zip" || status=1

exit $status
