#!/usr/bin/env bash
# Makes the two release files, named with the version in CMakeLists.txt:
#   dist/kestrova-<version>-windows-x64.zip   the Windows program, cross-built
#                                             with MinGW-w64
#   dist/kestrova_<version>_amd64.deb         the Linux package
# from release builds in <build>-release (Linux) and <build>-win (Windows),
# where <build> is KESTROVA_BUILD_DIR, by default "build". Prints each file
# with its size.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
scripts/install-deps.sh "${BUILD_PACKAGES[@]}" "${PACKAGING_PACKAGES[@]}"

build=${KESTROVA_BUILD_DIR:-build}
jobs=$(nproc)
mkdir -p dist

# quietly <log> <command...>: runs the command, showing its output only when it fails.
quietly() {
  local log=$1
  shift
  "$@" >"$log" 2>&1 || { cat "$log" >&2; echo "failed: $* (log: $log)" >&2; exit 1; }
}

# package <build dir>: runs cpack there and moves what it made to dist/.
package() {
  local dir out
  dir=$(realpath "$1")
  out="$dir/package-out"
  rm -rf "$out"
  (cd "$dir" && quietly cpack.log cpack -B "$out")
  for file in "$out"/*.zip "$out"/*.deb; do
    [ -e "$file" ] || continue
    mv -f "$file" dist/
    echo "dist/$(basename "$file") ($(stat -c %s "dist/$(basename "$file")") bytes)"
  done
}

echo "== Linux package (release build in $build-release)"
mkdir -p "$build-release" "$build-win"
quietly "$build-release/package-build.log" \
  cmake -S . -B "$build-release" -DCMAKE_BUILD_TYPE=Release -DKESTROVA_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr
quietly "$build-release/package-build.log" \
  cmake --build "$build-release" -j "$jobs" --target kestrova kestrova-monitor kestrova_icon kestrova_docs
package "$build-release"

echo "== Windows zip (release build in $build-win)"
quietly "$build-win/package-build.log" \
  cmake -S . -B "$build-win" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release
quietly "$build-win/package-build.log" cmake --build "$build-win" -j "$jobs" --target kestrova
package "$build-win"
