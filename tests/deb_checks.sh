#!/usr/bin/env bash
# The Linux package as a user's machine gets it: its metadata, its files and
# desktop entry, and the program unpacked from it, run headless by the
# end-to-end test (simulated rig at 2.0 m, COM1 on a pseudo-terminal).
#
#   tests/deb_checks.sh <kestrova_<version>_amd64.deb> <Linux build dir>
set -uo pipefail
deb=$1
build=$2
failed=0
fail() { echo "FAIL: $*"; failed=1; }

info=$(dpkg-deb --info "$deb") || exit 1
version=$(sed -n 's/^ Version: //p' <<<"$info")
depends=$(sed -n 's/^ Depends: //p' <<<"$info")
echo "Version: $version"
echo "Depends: $depends"
[ "$version" = "$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")" ] ||
  fail "the package's version is not the project's"
grep -q 'libsdl2-2' <<<"$depends" && grep -q 'libv4l-0' <<<"$depends" || fail "Depends names no SDL2 or no libv4l"

root=$(mktemp -d /tmp/kestrova-deb-XXXXXX)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root" || exit 1
for file in bin/kestrova bin/serial_monitor share/applications/kestrova.desktop \
            share/icons/hicolor/scalable/apps/kestrova.svg share/doc/kestrova/README.md; do
  [ -s "$root/usr/$file" ] || fail "the package has no /usr/$file"
done
desktop-file-validate "$root/usr/share/applications/kestrova.desktop" || fail "the desktop entry is not valid"
KESTROVA_TEST_BINARY="$root/usr/bin/kestrova" "$build/tests/end_to_end_test" --gtest_brief=1 ||
  fail "the packaged program did not give the reports"
[ "$failed" -eq 0 ] && echo "the package passed its checks"
exit "$failed"
