#!/usr/bin/env bash
# Runs talviro_gui_demo under valgrind memcheck on the test display: start
# (which connects and reads once), a real click on "Refresh continuously",
# a few seconds of live readouts, and a close through the window manager's
# close request. Passes when no memcheck error and no definite leak has a
# frame in this program's own sources, the readings changed while refreshing,
# and the program exited 0.
#   valgrind_demo.sh DEMO X_CLOSE_WINDOW
set -euo pipefail
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
valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
  --num-callers=40 --log-file="$work/memcheck.log" "$demo" > "$work/out" 2> "$work/err" &
pid=$!

wid=$(timeout 300 xdotool search --sync --onlyvisible --name '^TALVIRO Measurement v1\.0\.1$' | head -n 1) \
  || { cat "$work/memcheck.log"; echo "FAIL: the window did not appear"; exit 1; }
sleep 2
# "Refresh continuously" sits at (168, 141); click inside its box.
xdotool mousemove --window "$wid" 178 149 click 1
sleep 3
import -window "$wid" -crop 320x130+0+0 +repage "$work/first.png"
sleep 3
import -window "$wid" -crop 320x130+0+0 +repage "$work/second.png"
"$close_window" "$wid"
status=0
timeout 120 tail --pid="$pid" -f /dev/null || { echo "FAIL: the demo did not end after close"; exit 1; }
wait "$pid" || status=$?
pid=

changed=$(compare -metric AE "$work/first.png" "$work/second.png" null: 2>&1 || true)
echo "pixels changed between readouts: $changed"
[ "${changed%% *}" != 0 ] || { echo "FAIL: the readings did not change while refreshing"; exit 1; }
[ "$status" -eq 0 ] || { echo "FAIL: the demo exited with $status"; exit 1; }

# Split the log into records (blank separator lines). A record is ours when
# the innermost frame that is not valgrind's own allocator stand-in lies in
# our sources: where the bad access happened, or who allocated what leaked.
# Library records with our functions further out (a toolkit cache filled
# while our constructor ran) belong to the library.
ours=$(awk -v own="$own" '
  function flush() {
    if (problem && first ~ own) print rec "\n"
    rec = ""; first = ""; problem = 0
  }
  /^==[0-9]+== $/ { flush(); next }
  {
    rec = rec "\n" $0
    if ($0 ~ /(Invalid|uninitialised|Mismatched|definitely lost|overlap|Syscall param)/) problem = 1
    if (first == "" && $0 ~ /(at|by) 0x[0-9A-F]+:/ && $0 !~ /vgpreload_memcheck/) first = $0
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
