#!/usr/bin/env bash
# Installs what is missing, builds Kestrova (release) and runs it.
#
# Cameras: KESTROVA_CAMERAS as set by the user; unset, every V4L2 camera, or
# the moving simulated stereo rig when there is none.
# COM1: the device KESTROVA_COM1 names; unset, a pseudo-terminal whose far
# end prints each report as it arrives, one per line. Ctrl-C (or kill -INT,
# -TERM, -HUP) ends it, and run.sh exits with Kestrova's own status.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/packages.sh
scripts/install-deps.sh "${BUILD_PACKAGES[@]}"

# The build speaks only when it fails, and once when it starts from nothing.
mkdir -p build-release
if [ ! -x build-release/kestrova ]; then
  echo "Building Kestrova in build-release/ (the first build takes a minute or two)..."
fi
build_log=build-release/build.log
if ! { cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release &&
       cmake --build build-release -j "$(nproc)" --target kestrova kestrova-monitor; } >"$build_log" 2>&1; then
  cat "$build_log" >&2
  echo "Build failed (log: $build_log)." >&2
  exit 1
fi

if [ -z "${KESTROVA_CAMERAS:-}" ] && ! compgen -G '/dev/video*' >/dev/null; then
  echo "No camera found: using the simulated stereo rig (KESTROVA_CAMERAS=sim)."
  export KESTROVA_CAMERAS=sim
fi
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "No display: running headless."
fi

if [ -n "${KESTROVA_COM1:-}" ]; then
  exec build-release/kestrova
fi
exec build-release/kestrova-monitor build-release/kestrova
