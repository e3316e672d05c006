#!/usr/bin/env bash
# Soak test: runs the release build of Kestrova headless on the moving
# simulated rig, with COM1 on a pseudo-terminal (kestrova-monitor), for
# the given number of seconds (default 600), sampling its resident memory.
# Then ends it with SIGTERM and checks that
#  - it sent one report a second (within one) from its first report to its last,
#  - every report is four numbers within the pictures,
#  - its resident memory did not grow after the first seconds (a small
#    tolerance allowed),
#  - it exited with status 0.
# Prints the figures; exits non-zero when a check fails.
#
#   scripts/soak.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-600}
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 20 ]; then
  echo "usage: scripts/soak.sh [SECONDS]   (at least 20)" >&2
  exit 2
fi
warmup=10            # seconds before the memory baseline is taken
sample_every=5       # seconds between memory samples
tolerance_kb=2048    # growth allowed after the warm-up

source scripts/packages.sh
scripts/install-deps.sh "${BUILD_PACKAGES[@]}"
build=${KESTROVA_SOAK_BUILD_DIR:-build-release}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j 2 --target kestrova kestrova-monitor >/dev/null

work=$(mktemp -d /tmp/kestrova-soak-XXXXXX)
monitor=""
stamper=""
cleanup() {
  [ -n "$monitor" ] && kill "$monitor" 2>/dev/null || true
  [ -n "$stamper" ] && kill "$stamper" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

now() { printf '%s\n' "${EPOCHREALTIME/,/.}"; }

# Each report line gets the time it arrived.
mkfifo "$work/reports.fifo"
while IFS= read -r line; do printf '%s %s\n' "$(now)" "$line"; done <"$work/reports.fifo" >"$work/reports" &
stamper=$!

start=$(now)
(
  unset DISPLAY WAYLAND_DISPLAY
  export KESTROVA_CAMERAS=sim
  exec "$build/kestrova-monitor" "$build/kestrova"
) >"$work/reports.fifo" 2>"$work/stderr" &
monitor=$!

# The program is the monitor's child.
pid=""
for _ in $(seq 100); do
  for stat in /proc/[0-9]*/stat; do
    fields=$(cat "$stat" 2>/dev/null) || continue
    fields=${fields##*) }
    set -- $fields
    if [ "${2:-}" = "$monitor" ]; then
      pid=${stat#/proc/}
      pid=${pid%/stat}
      break
    fi
  done
  [ -n "$pid" ] && break
  sleep 0.1
done
if [ -z "$pid" ]; then
  echo "soak: the program did not start" >&2
  cat "$work/stderr" >&2
  exit 1
fi

rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status" 2>/dev/null || true; }

echo "soak: kestrova (pid $pid) runs for $seconds s; memory sampled every $sample_every s"
: >"$work/rss"
elapsed=0
while [ "$elapsed" -lt "$seconds" ]; do
  step=$(( seconds - elapsed < sample_every ? seconds - elapsed : sample_every ))
  sleep "$step"
  elapsed=$(( elapsed + step ))
  kb=$(rss)
  if [ -z "$kb" ]; then
    echo "soak: the program ended after about $elapsed s" >&2
    break
  fi
  echo "$elapsed $kb" >>"$work/rss"
done

stop=$(now)
kill -TERM "$pid" 2>/dev/null || true
status=0
wait "$monitor" || status=$?
monitor=""
wait "$stamper" || true
stamper=""

failed=0
fail() { echo "FAIL: $*"; failed=1; }

# Reports: one a second from the first to the last, each within the pictures.
read -r count first last bad <<<"$(awk '
  { n++; t = $1; if (n == 1) first = t; last = t
    if (NF != 5 || $2 < 0 || $2 >= 320 || $3 < 0 || $3 >= 240 || $4 < 0 || $4 >= 320 || $5 < 0 || $5 >= 240) bad++ }
  END { printf "%d %s %s %d\n", n, (n ? first : 0), (n ? last : 0), bad }' "$work/reports")"
duration=$(awk -v a="$start" -v b="$stop" 'BEGIN { printf "%.1f", b - a }')
echo "duration:        $duration s"
echo "reports:         $count"
if [ "$count" -lt 2 ]; then
  fail "fewer than two reports"
else
  span=$(awk -v a="$first" -v b="$last" 'BEGIN { printf "%.1f", b - a }')
  echo "first report:    $(awk -v a="$start" -v b="$first" 'BEGIN { printf "%.1f", b - a }') s after the start"
  echo "first to last:   $span s"
  awk -v n="$count" -v s="$span" 'BEGIN { d = (n - 1) - s; exit (d > 1 || d < -1) }' ||
    fail "$count reports over $span s is not one a second"
  awk -v a="$start" -v b="$first" 'BEGIN { exit (b - a > 5) }' || fail "the first report came late"
  awk -v a="$last" -v b="$stop" 'BEGIN { exit (b - a > 2.5) }' || fail "reports stopped before the end"
fi
[ "$bad" -eq 0 ] || fail "$bad reports are not four numbers within the pictures"

# Memory: nothing gained after the warm-up.
read -r base end top <<<"$(awk -v w="$warmup" '
  $1 >= w && base == "" { base = $2 } { end = $2; if ($2 > top) top = $2 }
  END { printf "%s %s %s\n", (base == "" ? end : base), end, top }' "$work/rss")"
echo "memory (VmRSS):  ${base:-?} kB after ${warmup} s, ${end:-?} kB at the end, ${top:-?} kB at most"
if [ -z "$base" ] || [ -z "$end" ]; then
  fail "no memory samples"
elif [ $(( end - base )) -gt "$tolerance_kb" ]; then
  fail "resident memory grew by $(( end - base )) kB"
fi

echo "exit status:     $status"
[ "$status" -eq 0 ] || fail "the program exited with status $status"
if [ -s "$work/stderr" ]; then
  echo "standard error:"
  sed 's/^/  /' "$work/stderr"
fi
[ "$failed" -eq 0 ] && echo "soak: passed"
exit "$failed"
