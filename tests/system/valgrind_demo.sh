#!/usr/bin/env bash
# Runs talviro_gui_demo under valgrind memcheck on the test display: start
# (which connects and reads once), a real click on "Refresh continuously",
# a few seconds of live readouts, and a close through the window manager's
# close request. Passes when no memcheck error and no definite leak has a
# frame in this program's own sources, the readings changed while refreshing,
# and the program exited 0.
#   valgrind_demo.sh DEMO X_CLOSE_WINDOW
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
demo=$(realpath "$1")
close_window=$(realpath "$2")
[ -n "${DISPLAY:-}" ] || { echo "no display"; exit 77; }

work=$(mktemp -d)
pid=
cleanup() {
  [ -z "$pid" ] || kill "$pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Our own code, as memcheck names it in stack frames.
own='(talviro_guiFrame|talviro_guiApp|demo_inputs|demo_target|probe_channel|converter|readings|sim_probe)[.](cpp|h):'

cd "$(dirname "$demo")"  # logo.jpg lies beside the program
valgrind --tool=memcheck --suppressions="$here/memcheck.supp" --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
  --num-callers=40 --log-file="$work/memcheck.log" "$demo" > "$work/out" 2> "$work/err" &
pid=$!

wid=$(timeout 300 xdotool search --sync --onlyvisible --name '^TALVIRO Measurement v1\.0\.1$' | head -n 1) \
  || { cat "$work/memcheck.log"; echo "FAIL: the window did not appear"; exit 1; }
# Pixels of the window in a rectangle WxH+X+Y, for telling changes apart.
shot() { import -window "$wid" -crop "$1" +repage "$work/$2.png"; }
differ() { [ "$(compare -metric AE "$work/$1.png" "$work/$2.png" null: 2>&1 | cut -d' ' -f1)" != 0 ]; }

# How long the program under valgrind may take to answer, however loaded
# the machine is: each wait below ends as soon as what it waits for shows.
readonly ANSWER_BOUND_S=180

# waits_for SECONDS COMMAND...: runs COMMAND once a second until it succeeds
# or SECONDS have passed.
waits_for() {
  local end=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 1
  done
}

# "Refresh continuously" sits at (168, 141). The pointer rests on it first,
# and the box is taken once the window has drawn it and it no longer changes
# (the pointer's highlight included): a click is then taken, however late,
# and the only change left is its tick. One click only: a second would
# untick it.
box=20x20+168+139
xdotool mousemove --window "$wid" 178 149
shot "$box" box-before
box_settled() {
  shot "$box" box-now
  if [ "$(identify -format %k "$work/box-now.png")" -gt 1 ] && ! differ box-before box-now; then
    return 0
  fi
  mv "$work/box-now.png" "$work/box-before.png"
  return 1
}
waits_for "$ANSWER_BOUND_S" box_settled || { echo "FAIL: the window never drew Refresh continuously"; exit 1; }
xdotool mousemove --window "$wid" 178 149 click 1
box_ticked() { shot "$box" box-after; differ box-before box-after; }
waits_for "$ANSWER_BOUND_S" box_ticked || { echo "FAIL: clicking Refresh continuously changed nothing"; exit 1; }

# The readings move with the drifting target once a second.
readings=320x130+0+0
shot "$readings" first
readings_changed() { shot "$readings" later; differ first later; }
changed=false
waits_for "$ANSWER_BOUND_S" readings_changed && changed=true
"$close_window" "$wid"
status=0
timeout 120 tail --pid="$pid" -f /dev/null || { echo "FAIL: the demo did not end after close"; exit 1; }
wait "$pid" || status=$?
pid=

$changed || { echo "FAIL: the readings did not change while refreshing"; exit 1; }
echo "refreshing continuously: the readings changed"
[ "$status" -eq 0 ] || { echo "FAIL: the demo exited with $status"; exit 1; }

# Split the log into records (blank separator lines). An error (a bad read
# or write, a jump on uninitialised data ...) is ours when any frame of its
# stack lies in our sources, main() aside: the toolkit's application macro
# generates it and everything runs under it. A leak is ours when the innermost
# frame below valgrind's allocator stand-in is: a toolkit cache filled while
# our constructor ran belongs to the toolkit.
ours=$(awk -v own="$own" '
  function flush() {
    if ((error && any_ours) || (leak && first ~ own)) print rec "\n"
    rec = ""; first = ""; error = 0; leak = 0; any_ours = 0
  }
  /^==[0-9]+== $/ { flush(); next }
  {
    rec = rec "\n" $0
    if ($0 ~ /definitely lost/) leak = 1
    else if ($0 ~ /(Invalid|uninitialised|Mismatched|overlap|Syscall param)/) error = 1
    if ($0 ~ /(at|by) 0x[0-9A-F]+:/) {
      if (first == "" && $0 !~ /vgpreload_memcheck/) first = $0
      if ($0 ~ own && $0 !~ / main \(talviro_guiApp/) any_ours = 1
    }
  }
  END { flush() }
' "$work/memcheck.log")
grep -E 'ERROR SUMMARY|definitely lost:' "$work/memcheck.log" | sed 's/^==[0-9]*== /memcheck (all libraries): /'
if [ -n "$ours" ]; then
  echo "FAIL: memcheck reports in this program's own code:"
  echo "$ours"
  exit 1
fi
echo "memcheck: no error in this program's own code"
