#!/usr/bin/env bash
# Start-up time, peak memory and idle CPU of talviro_gui_demo against the
# minimal wxWidgets frame, both measured by talviro_startup_probe in the same
# way, on the X display this runs on (scripts/bench gives it a fresh Xvfb);
# then, with valgrind, the instructions each runs until its window is shown.
#
# bench/startup.sh BUILD_DIR RUNS
set -euo pipefail

build=$(cd "$1" && pwd)
runs=$2
probe=$build/bench/talviro_startup_probe
demo=$build/app/talviro_gui_demo
minimal=$build/bench/talviro_minimal_frame

# Targets of the window against the minimal frame.
max_ratio=1.2
idle_ms=5000
# The Disconnect button, in window coordinates: the harness clicks its middle.
disconnect_button=340,104,140,25

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# measure NAME PROGRAM [harness options]: one run, key=value lines into
# $work/NAME.last; any failure, a window that would not close cleanly
# included, ends the script.
measure() {
  local name=$1 program=$2
  shift 2
  if ! "$probe" "$@" -- "$program" >"$work/$name.last"; then
    echo "measuring $name failed:" >&2
    cat "$work/$name.last" >&2
    exit 1
  fi
}

value() { sed -n "s/^$1=//p" "$work/$2.last"; }

median() {
  sort -n "$1" | awk '{ v[NR] = $1 }
    END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.1f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# The first start of a GTK program fills font and icon caches; not counted.
measure minimal "$minimal"
measure demo "$demo"

for _ in $(seq "$runs"); do
  for name in minimal demo; do
    program=$minimal
    [ "$name" = demo ] && program=$demo
    measure "$name" "$program"
    value shown_ms "$name" >>"$work/$name.shown"
    value max_rss_kb "$name" >>"$work/$name.rss"
  done
done

m_shown=$(median "$work/minimal.shown")
d_shown=$(median "$work/demo.shown")
m_rss=$(median "$work/minimal.rss")
d_rss=$(median "$work/demo.rss")

verdict() { awk -v r="$1" -v max="$max_ratio" 'BEGIN { print (r <= max ? "met" : "MISSED") }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
shown_ratio=$(ratio "$d_shown" "$m_shown")
rss_ratio=$(ratio "$d_rss" "$m_rss")

echo "== start-up and peak memory (medians of $runs runs each, alternating)"
printf '%-24s %10s %12s\n' program shown_ms max_rss_kb
printf '%-24s %10s %12s\n' talviro_minimal_frame "$m_shown" "$m_rss"
printf '%-24s %10s %12s\n' talviro_gui_demo "$d_shown" "$d_rss"
echo "start-up ratio: $shown_ratio (target <= $max_ratio: $(verdict "$shown_ratio"))"
echo "memory ratio:   $rss_ratio (target <= $max_ratio: $(verdict "$rss_ratio"))"
echo "start-up runs, minimal frame: $(tr '\n' ' ' <"$work/minimal.shown")"
echo "start-up runs, demo:          $(tr '\n' ' ' <"$work/demo.shown")"

echo "== idle, ${idle_ms} ms each"
measure minimal "$minimal" --idle-ms "$idle_ms"
measure demo "$demo" --idle-ms "$idle_ms" --click "$disconnect_button"
if [ "$(value click_changed demo)" != 1 ]; then
  echo "the click on Disconnect changed nothing on screen" >&2
  exit 1
fi
idle_line() {
  printf '%-30s cpu %6s ms (ticks %s ms), thread runs %s, threads %s (+%s -%s) %s\n' "$1" \
    "$(value "${3}_cpu_ms" "$2")" "$(value "${3}_cpu_ticks_ms" "$2")" "$(value "${3}_runs" "$2")" \
    "$(value "${3}_threads" "$2")" "$(value "${3}_threads_started" "$2")" \
    "$(value "${3}_threads_ended" "$2")" "$(value "${3}_woken" "$2")"
}
idle_line "minimal frame" minimal idle
idle_line "demo, connected, no refresh" demo idle
idle_line "demo, after Disconnect" demo idle_after_click
for name in minimal demo; do
  [ "$(value closed_cleanly "$name")" = 1 ] || { echo "$name did not close cleanly" >&2; exit 1; }
done
echo "both closed through WM_DELETE_WINDOW with exit status 0"

# Wall-clock start-up on a shared machine moves with the load; instruction
# counts until the window is shown do not. Needs valgrind, which the build
# does not: skipped without it.
if ! command -v valgrind >/dev/null; then
  echo "== instructions until shown: skipped, no valgrind"
  exit 0
fi
# instructions NAME PROGRAM THREADS: instructions from the start up to the
# return of the toolkit's Show, of the main thread (THREADS=main) or of all
# threads (THREADS=all: with the helper threads the window may wait for),
# run and closed by the same harness.
instructions() {
  local out=$work/$1-$3.callgrind separate=no part=.1
  if [ "$3" = main ]; then separate=yes part=.1-01; fi
  if ! "$probe" --cwd "$(dirname "$2")" --settle-ms 0 -- valgrind --tool=callgrind \
      --separate-threads=$separate --dump-after='wxTopLevelWindowGTK::Show*' \
      --callgrind-out-file="$out" "$2" >"$out.last" 2>"$out.err"; then
    echo "counting the instructions of $1 failed:" >&2
    cat "$out.last" "$out.err" >&2
    exit 1
  fi
  sed -n 's/^totals: //p' "$out$part"
}
echo "== instructions until shown (callgrind)"
printf '%-24s %14s %14s\n' program main_thread all_threads
for threads in main all; do
  for name in minimal demo; do
    program=$minimal
    [ "$name" = demo ] && program=$demo
    instructions "$name" "$program" "$threads" >"$work/$name.ir-$threads"
  done
done
printf '%-24s %14s %14s\n' talviro_minimal_frame "$(cat "$work/minimal.ir-main")" \
  "$(cat "$work/minimal.ir-all")"
printf '%-24s %14s %14s\n' talviro_gui_demo "$(cat "$work/demo.ir-main")" "$(cat "$work/demo.ir-all")"
echo "instruction ratio: main thread $(ratio "$(cat "$work/demo.ir-main")" "$(cat "$work/minimal.ir-main")")," \
  "all threads $(ratio "$(cat "$work/demo.ir-all")" "$(cat "$work/minimal.ir-all")")"
