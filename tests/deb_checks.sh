#!/usr/bin/env bash
# The Linux package as a user's machine gets it: its metadata, its files and
# desktop entry, lintian's verdict, its manual pages as man renders them, and
# the program unpacked from it, run headless by the end-to-end test
# (simulated rig at 2.0 m, COM1 on a pseudo-terminal; --help and the like).
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
pages=(share/man/man1/kestrova.1.gz share/man/man1/kestrova-monitor.1.gz)
for file in bin/kestrova bin/kestrova-monitor share/applications/kestrova.desktop \
            share/icons/hicolor/scalable/apps/kestrova.svg share/doc/kestrova/README.md \
            share/doc/kestrova/copyright share/doc/kestrova/changelog.gz "${pages[@]}"; do
  [ -s "$root/usr/$file" ] || fail "the package has no /usr/$file"
done
desktop-file-validate "$root/usr/share/applications/kestrova.desktop" || fail "the desktop entry is not valid"
zcat "$root/usr/share/doc/kestrova/changelog.gz" | head -1 | grep -qF "kestrova ($version)" ||
  fail "the changelog's newest entry is not for $version"
"$root/usr/bin/kestrova" --help | grep -qF "/usr/share/doc/kestrova/README.md" ||
  fail "kestrova --help does not name the packaged README"

# lintian: no error, no warning. (Tags it should not give go, each with the
# reason, into the package's lintian override file; there is none.)
tags=$(lintian --fail-on error,warning "$deb" 2>&1)
lintian_status=$?
grep -v 'running with root privileges' <<<"$tags"
[ "$lintian_status" -eq 0 ] || fail "lintian found errors or warnings (status $lintian_status)"

# The manual pages as man renders them: groff says nothing.
for page in "${pages[@]}"; do
  warnings=$(MANWIDTH=80 man --warnings -l "$root/usr/$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man --warnings on $page: $warnings"
done
KESTROVA_TEST_BINARY="$root/usr/bin/kestrova" "$build/tests/end_to_end_test" --gtest_brief=1 ||
  fail "the packaged program did not give the reports"
[ "$failed" -eq 0 ] && echo "the package passed its checks"
exit "$failed"
