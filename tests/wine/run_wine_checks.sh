#!/usr/bin/env bash
# The Windows build as Windows runs it: kestrova.exe as unpacked from the
# release zip, and the platform-independent suites, under Wine, on a virtual
# X display.
#
#   tests/wine/run_wine_checks.sh <Linux build dir> <Windows build dir> <zip>
#
# Wine points COM1 at the first serial device by itself whenever a session
# starts, so every Wine process runs in a private mount namespace in which the
# machine's serial devices are covered by /dev/null; wine_checks then maps COM1 to a
# pseudo-terminal of its own and starts nothing before COM1 leads there.
# Where no such namespace can be made, the checks are skipped (one line, not
# a failure). The Wine prefix is kept in the Windows build dir between runs.
set -uo pipefail
shopt -s nullglob

linux_build=$(realpath "$1")
win_build=$(realpath "$2")
script=$(realpath "$0")
zip=$(realpath "$3")
unpacked="$win_build/wine-work/unpacked"
kestrova_exe="$unpacked/$(basename "$zip" .zip)/kestrova.exe"  # the zip's one folder
export WINE=/usr/lib/wine/wine64 WINESERVER=/usr/lib/wine/wineserver

if [ "${KESTROVA_WINE_NAMESPACE:-}" != 1 ]; then
  # What a user unpacks: one folder with the program, its README, the
  # licence and the licences of the runtime built into the program.
  rm -rf "$unpacked" && mkdir -p "$unpacked" && (cd "$unpacked" && cmake -E tar xf "$zip") || exit 1
  for file in kestrova.exe README.txt LICENSE.txt licenses/gcc-runtime.txt licenses/GPL-3.txt \
              licenses/mingw-w64-runtime.txt; do
    [ -s "$(dirname "$kestrova_exe")/$file" ] || { echo "the zip has no $file in its folder"; exit 1; }
  done
  # What a Windows machine needs of the program: a GUI program that imports
  # nothing but the system's own DLLs.
  headers=$(x86_64-w64-mingw32-objdump -p "$kestrova_exe")
  imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | sort -f | tr '\n' ' ')
  echo "kestrova.exe imports: $imports"
  for dll in $imports; do
    case "${dll,,}" in
      kernel32.dll | user32.dll | gdi32.dll | ole32.dll | oleaut32.dll | msvcrt.dll | mf.dll | mfplat.dll | mfreadwrite.dll) ;;
      *) echo "kestrova.exe imports $dll, which Windows does not have"; exit 1 ;;
    esac
  done
  if ! grep -q "^Subsystem.*(Windows GUI)" <<<"$headers"; then
    echo "kestrova.exe is not a GUI program"
    exit 1
  fi
  if ! unshare --mount --propagation private true 2>/dev/null; then
    echo "Wine checks skipped: no private mount namespace can be made here (unshare --mount needs root)"
    exit 0
  fi
  exec env KESTROVA_WINE_NAMESPACE=1 unshare --mount --propagation private "$script" "$@"
fi

# Inside the namespace: cover every serial device, and every camera (Wine's
# DirectShow lists /dev/videoN; the checks' webcams are fakes), and make
# sure it took.
for dev in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM* /dev/video*; do
  if ! mount --bind /dev/null "$dev" || [ "$(stat -L -c %t:%T "$dev")" != "$(stat -L -c %t:%T /dev/null)" ]; then
    echo "Wine checks skipped: $dev cannot be covered in the mount namespace"
    exit 0
  fi
done

for program in "$WINE" "$WINESERVER" Xvfb; do
  if ! command -v "$program" >/dev/null; then
    echo "Wine checks failed: $program is missing (scripts/packages.sh lists what to install)"
    exit 1
  fi
done

export WINEPREFIX="$win_build/wineprefix" WINEARCH=win64 WINEDEBUG=-all
# No .NET or Gecko installers at the first boot; the system's own
# message boxes and windows are all that is needed.
export WINEDLLOVERRIDES="mscoree,mshtml="
work="$win_build/wine-work"
mkdir -p "$work"

# A display of our own.
exec 3>"$work/display"
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 >"$work/xvfb.log" 2>&1 &
xvfb=$!
exec 3>&-
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
if [ ! -s "$work/display" ]; then
  echo "Wine checks failed: Xvfb did not start"
  cat "$work/xvfb.log"
  exit 1
fi
export DISPLAY=":$(head -n1 "$work/display")"

cleanup() {
  "$WINESERVER" -k >/dev/null 2>&1
  kill "$xvfb" 2>/dev/null
  wait "$xvfb" 2>/dev/null
}
trap cleanup EXIT
"$WINESERVER" -k >/dev/null 2>&1

status=0
start=$SECONDS
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "-- making the Wine prefix (once)"
  "$WINE" wineboot -i >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log"; exit 1; }
  "$WINESERVER" -w
fi

echo "-- platform-independent suites as Windows programs"
for suite in tracking_test measurement_test analysis_equivalence_test frame_conversion_test directshow_controls_test; do
  exe="$win_build/tests/wine/$suite.exe"
  if [ ! -f "$exe" ]; then
    echo "$suite.exe: not built"
    status=1
    continue
  fi
  if timeout 300 "$WINE" "$exe" --gtest_brief=1 >"$work/$suite.log" 2>&1; then
    echo "$suite.exe: $(grep -E '^\[  PASSED  \]' "$work/$suite.log")"
  else
    cat "$work/$suite.log"
    echo "$suite.exe: FAILED under Wine"
    status=1
  fi
done

echo "-- kestrova.exe"
if ! timeout 600 "$linux_build/tests/wine_checks" "$kestrova_exe" "$win_build/tests/wine/window_probe.exe" \
     "$work"; then
  status=1
fi
echo "-- Wine checks took $((SECONDS - start)) s"
exit $status
