#!/usr/bin/env bash
# The whole program's CPU with two 1280x720 webcams at 30 fps, side by side
# with the floor (bench/camera_floor.cpp: the newest frame of each camera
# turned into BGR every 40 ms, nothing else).
#
#   bench/whole_program.sh [--repetitions N] [--seconds S] [--warmup W] [--smoke]
#                          [--kestrova PROGRAM] [BUILD_DIR]
#
# Both cameras are fake webcams of tests/fake_v4l2, preloaded, each showing a
# red ball before a textured wall; COM1 is a pseudo-terminal (kestrova-monitor).
# Each run starts one program, waits W seconds, then counts its CPU time
# (utime + stime of /proc/<pid>/stat, every thread) over S seconds of wall
# time. The runs of one repetition come one after another: floor and
# Kestrova with MJPEG, the same with YUYV, all headless, then Kestrova with
# MJPEG in a window on Xvfb, counting the X server's CPU too (skipped when
# Xvfb is absent). Shares are of one core; ratios pair each Kestrova run
# with the floor run of its own repetition, and the medians are printed.
# When OpenCV is here, bench/camera_opencv_peer runs beside them: the floor
# plus OpenCV's usual tracking pipeline on every frame, as a peer.
# Kestrova's reports (and the peer's last positions) are checked against the
# balls' true positions.
#
# --kestrova: another build of the program to measure in place of
# BUILD_DIR's (an earlier version, say), beside the same floor.
# --smoke: one brief headless run of the floor and Kestrova with each format,
# no peer, no Xvfb; it must run, not measure.
set -euo pipefail

repetitions=3 seconds=10 warmup=2 smoke=0 kestrova=""
build=${KESTROVA_BUILD_DIR:-build}
while [ $# -gt 0 ]; do
  case $1 in
    --repetitions) repetitions=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --warmup) warmup=$2; shift 2 ;;
    --kestrova) kestrova=$2; shift 2 ;;
    --smoke) smoke=1; repetitions=1; seconds=1; warmup=1; shift ;;
    -*) echo "unknown option $1" >&2; exit 2 ;;
    *) build=$1; shift ;;
  esac
done

kestrova=${kestrova:-$build/kestrova} monitor=$build/kestrova-monitor floor=$build/bench/camera_floor
peer=$build/bench/camera_opencv_peer
[ -x "$peer" ] && [ "$smoke" -eq 0 ] || peer=""
fake=$build/tests/fake_v4l2/fake_v4l2.so
for f in "$kestrova" "$monitor" "$floor" "$fake"; do
  [ -e "$f" ] || { echo "missing $f: build first (cmake --build $build)" >&2; exit 1; }
done
ticks_per_second=$(getconf CLK_TCK)
work=$(mktemp -d /tmp/kestrova-whole-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# The balls' centres, x from the left, y from the top; the reports count y
# from the bottom row.
ball0=(420 300) ball1=(860 450)
echo "${ball0[*]}" >"$work/ball0"
echo "${ball1[*]}" >"$work/ball1"
expected="${ball0[0]} $((719 - ball0[1])) ${ball1[0]} $((719 - ball1[1]))"

cameras() {  # format
  local c=""
  for n in 0 1; do
    c+="${c:+;}path=/dev/video$n,formats=$1,sizes=1280x720,fps=30,control=$work/ball$n"
  done
  echo "$c"
}

# CPU ticks (user + system) of every process given, summed.
ticks() {
  local sum=0 fields
  for p in "$@"; do
    if ! fields=$(sed 's/^.*) //' "/proc/$p/stat" 2>/dev/null); then
      for f in "$work"/*.err; do echo "== $f" && cat "$f"; done >&2
      echo "process $p ended before its time" >&2
      exit 1
    fi
    set -- $fields
    sum=$((sum + ${12} + ${13}))
  done
  echo "$sum"
}

now() { date +%s.%N; }

# After the warm-up, the share of one core in percent that each process
# given took over the same measured time, into shares (in that order).
measure() {
  sleep "$warmup"
  local before=() after=() w0 w1
  for p in "$@"; do before+=("$(ticks "$p")"); done
  w0=$(now)
  sleep "$seconds"
  for p in "$@"; do after+=("$(ticks "$p")"); done
  w1=$(now)
  shares=()
  for i in "${!before[@]}"; do
    shares+=("$(awk -v d=$((after[i] - before[i])) -v hz="$ticks_per_second" -v a="$w0" -v b="$w1" \
      'BEGIN { printf "%.2f", 100 * d / hz / (b - a) }')")
  done
}

stop() {  # pid: SIGTERM, then its exit status
  kill -TERM "$1" 2>/dev/null || true
  local status=0
  wait "$1" || status=$?
  local kept=()
  for p in "${pids[@]}"; do [ "$p" = "$1" ] || kept+=("$p"); done
  pids=("${kept[@]}")
  return $status
}

child_of() {  # pid: its one child, into child, once it has one
  child=""
  for _ in $(seq 100); do
    child=$(cat "/proc/$1/task/$1/children" 2>/dev/null || true)
    child=${child%% *}
    [ -n "$child" ] && return 0
    sleep 0.05
  done
  echo "no child of $1" >&2
  return 1
}

run_floor() {  # format, program (default the floor); the share into shares
  local program=${2:-$floor}
  LD_PRELOAD=$fake FAKE_V4L2_CAMERAS=$(cameras "$1") "$program" "$1" 1280x720 /dev/video0 /dev/video1 \
    2>"$work/floor.err" &
  local pid=$!
  pids+=("$pid")
  measure "$pid"
  local balls
  balls=$(sed -n 's/.*: ball at //p' "$work/floor.err" | tr '\n' ' ')
  if ! stop "$pid" || ! grep -q " frames" "$work/floor.err" ||
     { [ -n "$balls" ] && ! awk -v got="$balls" -v want="${ball0[*]} ${ball1[*]}" 'BEGIN {
         n = split(got, g, " "); split(want, w, " ")
         for (i = 1; i <= 4; ++i) if (n != 4 || g[i] - w[i] > 2 || w[i] - g[i] > 2) exit 1 }'; }; then
    cat "$work/floor.err" >&2
    echo "$(basename "$program") failed ($1)" >&2
    exit 1
  fi
}

# format, then the X display and the X server's pid for a window (none:
# headless); the program's share into shares, and the X server's after it.
run_kestrova() {
  local format=$1 display=${2:-} xpid=${3:-}
  env -u DISPLAY -u WAYLAND_DISPLAY -u SDL_VIDEODRIVER "$monitor" /usr/bin/env ${display:+DISPLAY=$display} \
    LD_PRELOAD="$fake" FAKE_V4L2_CAMERAS="$(cameras "$format")" KESTROVA_CAMERAS=/dev/video0,/dev/video1 \
    "$kestrova" >"$work/reports" 2>"$work/kestrova.err" &
  local mon=$!
  pids+=("$mon")
  child_of "$mon"
  measure "$child" $xpid
  if ! stop "$mon"; then
    cat "$work/kestrova.err" >&2
    echo "Kestrova failed ($format${display:+, window})" >&2
    exit 1
  fi
  # Every report but the first (which may hold ticks from before the
  # cameras settled) gives the balls' positions.
  local reports wrong
  reports=$(wc -l <"$work/reports")
  wrong=$(tail -n +2 "$work/reports" | awk -v want="$expected" '{
      split(want, w, " ")
      for (i = 1; i <= 4; ++i) if ($i - w[i] > 2 || w[i] - $i > 2) { print; break }
    }')
  if [ -n "$wrong" ] || { [ "$smoke" -eq 0 ] && [ "$reports" -lt 2 ]; }; then
    cat "$work/kestrova.err" "$work/reports" >&2
    echo "Kestrova's reports are not the balls' positions ($expected)" >&2
    exit 1
  fi
}

xvfb=""
if [ "$smoke" -eq 0 ]; then
  if command -v Xvfb >/dev/null; then
    xvfb=$(command -v Xvfb)
  else
    echo "Xvfb not found: no run with a window (apt-get install xvfb)"
  fi
fi

start_xvfb() {  # into display and xserver
  rm -f "$work/display"
  "$xvfb" -displayfd 3 -screen 0 2600x800x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.err" &
  xserver=$!
  pids+=("$xserver")
  for _ in $(seq 100); do
    if [ -s "$work/display" ]; then
      display=":$(head -1 "$work/display")"
      return 0
    fi
    sleep 0.05
  done
  cat "$work/xvfb.err" >&2
  echo "Xvfb did not start" >&2
  exit 1
}

declare -a fm km fy ky kw xw om oy
echo "Each run: ${warmup} s warm-up, ${seconds} s measured; ${repetitions} repetition(s). CPU, % of one core:"
for ((r = 0; r < repetitions; ++r)); do
  run_floor mjpeg; fm[r]=${shares[0]}
  run_kestrova mjpeg; km[r]=${shares[0]}
  run_floor yuyv; fy[r]=${shares[0]}
  run_kestrova yuyv; ky[r]=${shares[0]}
  line="  repetition $((r + 1)): MJPEG floor ${fm[r]}, Kestrova ${km[r]}; YUYV floor ${fy[r]}, Kestrova ${ky[r]}"
  if [ -n "$peer" ]; then
    run_floor mjpeg "$peer"; om[r]=${shares[0]}
    run_floor yuyv "$peer"; oy[r]=${shares[0]}
    line+="; OpenCV peer MJPEG ${om[r]}, YUYV ${oy[r]}"
  fi
  if [ -n "$xvfb" ]; then
    start_xvfb
    run_kestrova mjpeg "$display" "$xserver"
    kw[r]=${shares[0]} xw[r]=${shares[1]}
    stop "$xserver" || true
    line+="; MJPEG in a window ${kw[r]} + X server ${xw[r]}"
  fi
  echo "$line"
done

[ "$smoke" -eq 1 ] && { echo "smoke run done"; exit 0; }

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratios() {  # numerators..., then denominators...: per-repetition ratios
  local n=$(($# / 2)) a=("$@")
  for ((i = 0; i < n; ++i)); do awk -v x="${a[i]}" -v y="${a[i + n]}" 'BEGIN { printf "%.3f\n", x / y }'; done
}
sums() {
  local n=$(($# / 2)) a=("$@")
  for ((i = 0; i < n; ++i)); do awk -v x="${a[i]}" -v y="${a[i + n]}" 'BEGIN { printf "%.2f\n", x + y }'; done
}

echo
echo "| program, run (medians of $repetitions) | floor | program | program / floor |"
echo "|---|---:|---:|---:|"
printf '| Kestrova, MJPEG, headless | %.1f %% | %.1f %% | %.2fx |\n' "$(median "${fm[@]}")" "$(median "${km[@]}")" \
  "$(median $(ratios "${km[@]}" "${fm[@]}"))"
printf '| Kestrova, YUYV, headless | %.1f %% | %.1f %% | %.2fx |\n' "$(median "${fy[@]}")" "$(median "${ky[@]}")" \
  "$(median $(ratios "${ky[@]}" "${fy[@]}"))"
if [ -n "$peer" ]; then
  printf '| OpenCV peer, MJPEG, headless | %.1f %% | %.1f %% | %.2fx |\n' "$(median "${fm[@]}")" "$(median "${om[@]}")" \
    "$(median $(ratios "${om[@]}" "${fm[@]}"))"
  printf '| OpenCV peer, YUYV, headless | %.1f %% | %.1f %% | %.2fx |\n' "$(median "${fy[@]}")" "$(median "${oy[@]}")" \
    "$(median $(ratios "${oy[@]}" "${fy[@]}"))"
fi
if [ -n "$xvfb" ]; then
  both=($(sums "${kw[@]}" "${xw[@]}"))
  printf '| Kestrova, MJPEG, window on Xvfb (program + X server) against the headless floor | %.1f %% | %.1f %% + %.1f %% | %.2fx |\n' \
    "$(median "${fm[@]}")" "$(median "${kw[@]}")" "$(median "${xw[@]}")" "$(median $(ratios "${both[@]}" "${fm[@]}"))"
fi
