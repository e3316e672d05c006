#!/usr/bin/env bash
# Soak test: runs a build of Kestrova headless with COM1 on a pseudo-terminal
# (kestrova-monitor) for the given number of seconds (default 600),
# sampling its resident memory, threads and open files. Then ends it with
# SIGTERM and checks that
#  - it sent one report a second (within one) from its first report to its last,
#  - every report is four numbers within the pictures,
#  - its resident memory did not grow after the first seconds (a small
#    tolerance allowed), nor its threads or open files,
#  - it exited with status 0.
# Plain, it watches the moving simulated rig. With --faults it watches two
# fake 640x480 webcams (tests/fake_v4l2, preloaded) with their balls held
# still, while
#  - each camera is unplugged for 2 s every minute (the left at 10 s past
#    the minute, the right at 40 s),
#  - the right camera stalls (no frames) for 3 s every three minutes (from
#    85 s),
#  - the serial line is held for 5 s every ten minutes (from 60 s),
# and checks besides that the reports keep one a second except while the line
# is held, and give the balls' true places except within 3 s of a replug.
# Prints the figures; exits non-zero when a check fails.
#
#   scripts/soak.sh [--faults] [SECONDS]
#
# KESTROVA_SOAK_BUILD_DIR names the build to run (default build-release,
# built here).
set -euo pipefail
cd "$(dirname "$0")/.."

faults=0
if [ "${1:-}" = "--faults" ]; then
  faults=1
  shift
fi
seconds=${1:-600}
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 20 ]; then
  echo "usage: scripts/soak.sh [--faults] [SECONDS]   (at least 20)" >&2
  exit 2
fi
warmup=5             # seconds before the baselines are taken (before the first fault)
sample_every=5       # seconds between samples
tolerance_kb=2048    # memory growth allowed after the warm-up

source scripts/packages.sh
build=${KESTROVA_SOAK_BUILD_DIR:-build-release}
targets=(kestrova kestrova-monitor)
if [ "$faults" -eq 1 ]; then
  scripts/install-deps.sh "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
  targets+=(fake_v4l2)
else
  scripts/install-deps.sh "${BUILD_PACKAGES[@]}"
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" -j 2 --target "${targets[@]}" >/dev/null

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

# The fake webcams' balls: the left at (200, 150) and the right at (440, 150)
# from the top left of 640x480 pictures, so reports of "200 329 440 329".
ball() {  # camera, state ("", pause or unplug)
  printf '%s %s %s\n' "$([ "$1" = 0 ] && echo 200 || echo 440)" 150 "$2" >"$work/ball$1.new"
  mv "$work/ball$1.new" "$work/ball$1"
}
if [ "$faults" -eq 1 ]; then
  ball 0 ""
  ball 1 ""
  width=640 height=480
  expected="200 329 440 329"
else
  width=320 height=240
  expected=""
fi

# Each report line gets the time it arrived.
mkfifo "$work/reports.fifo"
while IFS= read -r line; do printf '%s %s\n' "$(now)" "$line"; done <"$work/reports.fifo" >"$work/reports" &
stamper=$!

start=$(now)
(
  unset DISPLAY WAYLAND_DISPLAY
  if [ "$faults" -eq 1 ]; then
    export FAKE_V4L2_CAMERAS="path=/dev/video0,formats=yuyv,sizes=640x480,control=$work/ball0;path=/dev/video1,formats=yuyv,sizes=640x480,control=$work/ball1"
    export KESTROVA_CAMERAS=/dev/video0,/dev/video1
    export LD_PRELOAD="$(realpath "$build/tests/fake_v4l2/fake_v4l2.so")"
  else
    export KESTROVA_CAMERAS=sim
  fi
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

sample() {  # resident kB, threads, open files
  local kb threads
  kb=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status" 2>/dev/null) || return 1
  threads=$(awk '/^Threads:/ { print $2 }' "/proc/$pid/status" 2>/dev/null) || return 1
  [ -n "$kb" ] || return 1
  echo "$kb $threads $(ls "/proc/$pid/fd" 2>/dev/null | wc -l)"
}

# The faults of second t, as events "<time> <what>" in $work/events.
fault_second() {
  local t=$1 m=$(( $1 % 60 ))
  case $m in
    10) ball 0 unplug; echo "$(now) unplug 0" ;;
    12) ball 0 ""; echo "$(now) replug 0" ;;
    40) ball 1 unplug; echo "$(now) unplug 1" ;;
    42) ball 1 ""; echo "$(now) replug 1" ;;
  esac
  case $(( t % 180 )) in
    85) ball 1 pause; echo "$(now) stall 1" ;;
    88) ball 1 ""; echo "$(now) unstall 1" ;;
  esac
  case $(( t % 600 )) in
    60) kill -USR1 "$monitor"; echo "$(now) hold" ;;
    65) kill -USR2 "$monitor"; echo "$(now) release" ;;
  esac
}

echo "soak: kestrova (pid $pid) runs for $seconds s$([ "$faults" -eq 1 ] && echo " with faults"); sampled every $sample_every s"
: >"$work/samples"
: >"$work/events"
elapsed=0
while [ "$elapsed" -lt "$seconds" ]; do
  sleep 1
  elapsed=$(( elapsed + 1 ))
  [ "$faults" -eq 1 ] && fault_second "$elapsed" >>"$work/events"
  if [ $(( elapsed % sample_every )) -eq 0 ] || [ "$elapsed" -eq "$seconds" ]; then
    if ! s=$(sample); then
      echo "soak: the program ended after about $elapsed s" >&2
      break
    fi
    echo "$elapsed $s" >>"$work/samples"
  fi
done
# A fault still on at the end is taken back, so that the end is clean.
if [ "$faults" -eq 1 ]; then
  ball 0 ""
  ball 1 ""
  kill -USR2 "$monitor" 2>/dev/null || true
fi

stop=$(now)
kill -TERM "$pid" 2>/dev/null || true
status=0
wait "$monitor" || status=$?
monitor=""
wait "$stamper" || true
stamper=""
ended=$(now)

failed=0
fail() { echo "FAIL: $*"; failed=1; }

# Reports: one a second from the first to the last, each within the pictures.
read -r count first last bad <<<"$(awk -v w="$width" -v h="$height" '
  { n++; t = $1; if (n == 1) first = t; last = t
    if (NF != 5 || $2 < 0 || $2 >= w || $3 < 0 || $3 >= h || $4 < 0 || $4 >= w || $5 < 0 || $5 >= h) bad++ }
  END { printf "%d %s %s %d\n", n, (n ? first : 0), (n ? last : 0), bad }' "$work/reports")"
duration=$(awk -v a="$start" -v b="$stop" 'BEGIN { printf "%.1f", b - a }')
echo "duration:        $duration s"
echo "reports:         $count"
if [ "$count" -lt 2 ]; then
  fail "fewer than two reports"
else
  span=$(awk -v a="$first" -v b="$last" 'BEGIN { printf "%.1f", b - a }')
  held=$(grep -c ' hold$' "$work/events" || true)
  echo "first report:    $(awk -v a="$start" -v b="$first" 'BEGIN { printf "%.1f", b - a }') s after the start"
  echo "first to last:   $span s"
  # Each hold of 5 s may cost up to five reports.
  awk -v n="$count" -v s="$span" -v held="$held" 'BEGIN { d = (n - 1) - s; exit (d > 1 || d < -1 - 5 * held) }' ||
    fail "$count reports over $span s is not one a second"
  awk -v a="$start" -v b="$first" 'BEGIN { exit (b - a > 5) }' || fail "the first report came late"
  awk -v a="$last" -v b="$stop" 'BEGIN { exit (b - a > 2.5) }' || fail "reports stopped before the end"
fi
[ "$bad" -eq 0 ] || fail "$bad reports are not four numbers within the pictures"

if [ "$faults" -eq 1 ]; then
  # Gaps between reports: at most 2 s, except across a hold of the line;
  # places: the balls' own (within 2 px), except from an unplug to 3 s
  # after its replug (and the second after, which averages some of it).
  read -r replugs longest wrong <<<"$(awk -v expect="$expected" '
    FNR == NR { if ($2 == "unplug") from[$3] = $1
                if ($2 == "replug") { n++; lo[n] = from[$3]; hi[n] = $1 + 4 }
                if ($2 == "hold") holdFrom = $1
                if ($2 == "release") { h++; hlo[h] = holdFrom; hhi[h] = $1 + 2 }
                next }
    { split(expect, e, " ")
      if (prev != "") {
        gap = $1 - prev; excused = 0
        for (i = 1; i <= h; i++) if ($1 >= hlo[i] && prev <= hhi[i]) excused = 1
        if (!excused && gap > longest) longest = gap
      }
      prev = $1
      skip = 0
      for (i = 1; i <= n; i++) if ($1 >= lo[i] && $1 <= hi[i]) skip = 1
      if (!skip) for (j = 1; j <= 4; j++) { d = $(j + 1) - e[j]; if (d > 2 || d < -2) { wrong++; break } }
    }
    END { printf "%d %.2f %d\n", n, longest, wrong }' "$work/events" "$work/reports")"
  echo "replugs:         $replugs"
  echo "longest gap:     $longest s (outside holds of the line)"
  awk -v g="$longest" 'BEGIN { exit (g > 2.0) }' || fail "a gap of $longest s between reports"
  [ "$wrong" -eq 0 ] || fail "$wrong reports are not the balls' places (outside 3 s of a replug)"
fi

# Memory, threads and open files: nothing gained after the warm-up.
read -r base end top tbase tend fbase fend <<<"$(awk -v w="$warmup" '
  $1 >= w && base == "" { base = $2; tbase = $3; fbase = $4 } { end = $2; tend = $3; fend = $4; if ($2 > top) top = $2 }
  END { printf "%s %s %s %s %s %s %s\n", (base == "" ? end : base), end, top, tbase, tend, fbase, fend }' "$work/samples")"
echo "memory (VmRSS):  ${base:-?} kB after ${warmup} s, ${end:-?} kB at the end, ${top:-?} kB at most"
echo "threads:         ${tbase:-?} after ${warmup} s, ${tend:-?} at the end"
echo "open files:      ${fbase:-?} after ${warmup} s, ${fend:-?} at the end"
if [ -z "$base" ] || [ -z "$end" ]; then
  fail "no samples"
else
  [ $(( end - base )) -le "$tolerance_kb" ] || fail "resident memory grew by $(( end - base )) kB"
  [ "$tend" -le "$tbase" ] || fail "threads grew from $tbase to $tend"
  [ "$fend" -le "$fbase" ] || fail "open files grew from $fbase to $fend"
fi

echo "exit status:     $status ($(awk -v a="$stop" -v b="$ended" 'BEGIN { printf "%.1f", b - a }') s after SIGTERM)"
[ "$status" -eq 0 ] || fail "the program exited with status $status"
if [ -s "$work/stderr" ]; then
  echo "standard error:"
  sed 's/^/  /' "$work/stderr" | head -40
fi
[ "$failed" -eq 0 ] && echo "soak: passed"
exit "$failed"
