#!/usr/bin/env bash
# talviro_gui LOG.csv on the test display: the log opens in a trend window
# titled with its name, no measurement window appears and no probe is looked
# for, and closing the trend window ends the program with status 0. With
# DEMO: DEMO --trend --rate fast opens both windows, capturing, and closing
# the measurement window ends the capture and the program with status 0.
# With USBSIM_DIR too (the folder of the simulated libusb): PROGRAM --trend
# --rate fast over a simulated probe, and Ctrl-C (SIGINT) during its capture
# closes the windows as the user does: the program ends with status 0, the
# probe's channel given back at the USB boundary.
#   trend_log_arg.sh PROGRAM X_CLOSE_WINDOW [DEMO [USBSIM_DIR]]
set -euo pipefail
program=$(realpath "$1")
close_window=$(realpath "$2")
demo=${3:+$(realpath "$3")}
usbsim_dir=${4:+$(realpath "$4")}
[ -n "${DISPLAY:-}" ] || { echo "no display"; exit 77; }

window_timeout=30  # s for the window to appear
exit_timeout=10    # s for the program to end after the close

work=$(mktemp -d)
pid=
cleanup() {
  [ -z "$pid" ] || kill "$pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The first visible window whose title starts with $1, waited for. The title
# is read as window managers read it (_NET_WM_NAME): GTK leaves WM_NAME,
# which xdotool --name reads, unset for a title it cannot convert to compound
# text, such as the live trend window's with its dash.
window_titled() {
  local end=$((SECONDS + window_timeout)) w
  while [ "$SECONDS" -lt "$end" ]; do
    for w in $(xdotool search --onlyvisible --class . 2>/dev/null); do
      xprop -id "$w" _NET_WM_NAME 2>/dev/null | grep -qF "= \"$1" && { echo "$w"; return 0; }
    done
    sleep 0.2
  done
  return 1
}

# Waits for the program to end after $1, and fails unless with status 0.
ended_well() {
  timeout "$exit_timeout" tail --pid="$pid" -f /dev/null || { echo "FAIL: the program did not end after $1"; exit 1; }
  local status=0
  wait "$pid" || status=$?
  pid=
  [ "$status" -eq 0 ] || { cat "$work/err"; echo "FAIL: after $1 the program exited with $status, wanted 0"; exit 1; }
}

log=$work/bench-log.csv
{
  echo "time,A1_V,I_supply_mA,V_target_V,A0_V,A1_count,I_supply_count,V_target_count,A0_count"
  echo "2026-12-08T01:33:00.000Z,1.11,103,3.30,5.71,100,100,296,512"
  echo "2026-12-08T01:33:01.000Z,1.11,103,3.30,5.71,100,100,296,512"
} > "$log"

cd "$(dirname "$program")"  # logo.jpg lies beside the program
"$program" "$log" > "$work/out" 2> "$work/err" &
pid=$!

wid=$(timeout "$window_timeout" xdotool search --sync --onlyvisible --name '^TALVIRO Trend' | head -n 1) \
  || { cat "$work/err"; echo "FAIL: no trend window"; exit 1; }
title=$(xdotool getwindowname "$wid")
[[ "$title" == *" bench-log.csv" ]] || { echo "FAIL: the trend window is not named after the log: $title"; exit 1; }
echo "the log opened in window $wid: $title"
if xdotool search --name '^TALVIRO Measurement' > /dev/null; then
  echo "FAIL: a measurement window opened too"; exit 1
fi
# Looking for a probe and finding none says so on standard output.
[ ! -s "$work/out" ] || { cat "$work/out"; echo "FAIL: the program looked for a probe"; exit 1; }

"$close_window" "$wid"
ended_well "closing the trend window"
echo "closing the trend window ended the program with status 0"

[ -n "$demo" ] || exit 0
cd "$(dirname "$demo")"
"$demo" --trend --rate fast > "$work/out" 2> "$work/err" &
pid=$!
trend=$(window_titled "TALVIRO Trend") \
  || { cat "$work/err"; echo "FAIL: --trend opened no trend window"; exit 1; }
main=$(timeout "$window_timeout" xdotool search --sync --onlyvisible --name '^TALVIRO Measurement' | head -n 1) \
  || { cat "$work/err"; echo "FAIL: --trend opened no measurement window"; exit 1; }
echo "--trend --rate fast opened the trend window $trend beside the measurement window $main"
# Capturing a while, then closed from the measurement window.
sleep 1
"$close_window" "$main"
ended_well "closing the measurement window"
echo "closing the measurement window while capturing ended the program with status 0"

[ -n "$usbsim_dir" ] || exit 0
# Ctrl-C during a capture over the simulated bus, which keeps $state up to
# date with each channel's claim. The window remembers the probe in a
# configuration folder of the test's own.
state=$work/usb-state
cd "$(dirname "$program")"
TALVIRO_USBSIM=state-file=$state LD_LIBRARY_PATH=$usbsim_dir XDG_CONFIG_HOME=$work \
  "$program" --trend --rate fast > "$work/out" 2> "$work/err" &
pid=$!
window_titled "TALVIRO Trend" > /dev/null \
  || { cat "$work/err"; echo "FAIL: --trend opened no trend window over the simulated probe"; exit 1; }
grep -Eq '^probe 1 channel B: [^,]*, claimed,' "$state" \
  || { cat "$state" "$work/err"; echo "FAIL: channel B not claimed while capturing"; exit 1; }
sleep 1
kill -INT "$pid"
ended_well "Ctrl-C"
grep -qx 'probe 1 channel B: kernel driver bound, not claimed, bit mode 00' "$state" \
  || { cat "$state"; echo "FAIL: channel B not given back after Ctrl-C"; exit 1; }
echo "Ctrl-C while capturing closed the windows, gave the probe back and ended the program with status 0"
