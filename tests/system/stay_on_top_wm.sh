#!/usr/bin/env bash
# "Stay on top" under real window managers. Each case starts its own display
# server (and window manager), runs talviro_gui_demo on it and stops it all.
#   openbox   Xvfb with openbox: a real click on "Stay on top" sets
#             _NET_WM_STATE_ABOVE on the window, a second click clears it;
#             a click on "Trend…" opens the trend window.
#   xwayland  headless weston with Xwayland, GDK_BACKEND unset: the window is
#             an X11 window on the Xwayland display, where keep-above works.
#   wayland   the same desktop, GDK_BACKEND=wayland set by the user: the
#             window opens as a native Wayland window, not on that display.
#   stay_on_top_wm.sh openbox|xwayland|wayland DEMO VERSION [LAUNCHER...]
# LAUNCHER is what starts DEMO when it is no Linux program: Wine, for the
# Windows build's talviro_gui_demo.exe.
set -euo pipefail
mode=$1
demo=$(realpath "$2")
version=$3
launcher=("${@:4}")

title_text_re="TALVIRO Measurement v${version//./[.]}"
title_re="^$title_text_re\$"
server_timeout=30   # s for Xvfb, openbox or weston to come up
window_timeout=60   # s for the demo's window to appear
state_timeout=10    # s for the window manager to answer a click
stop_timeout=10     # s for a process to end after SIGTERM, then SIGKILL
box_x=350 box_y=149 # inside the "Stay on top" box, window coordinates
trend_x=460 trend_y=147 # inside the "Trend…" button

work=$(mktemp -d)
pids=()
cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || continue
    timeout "$stop_timeout" tail --pid="${pids[i]}" -f /dev/null || kill -KILL "${pids[i]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  for f in "$work"/*.log; do [ -s "$f" ] && { echo "--- $(basename "$f")"; tail -n 30 "$f"; }; done
  exit 1
}
# within SECONDS COMMAND...: runs COMMAND until it succeeds, for at most SECONDS.
within() {
  local end=$((SECONDS + $1)); shift
  until "$@"; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.2
  done
}

trend_shown() {
  local w
  for w in $(xdotool search --onlyvisible --class . 2>/dev/null); do
    xprop -id "$w" _NET_WM_NAME 2>/dev/null | grep -qF '= "TALVIRO Trend' && return 0
  done
  return 1
}

# Nothing of the caller's session leaks in: these are our display servers.
unset DISPLAY WAYLAND_DISPLAY GDK_BACKEND
export XDG_RUNTIME_DIR="$work/run"
mkdir -m 0700 "$XDG_RUNTIME_DIR"
cd "$(dirname "$demo")"  # logo.jpg lies beside the program

start_demo() {
  "${launcher[@]}" "$demo" > "$work/demo-out.log" 2> "$work/demo.log" &
  pids+=($!)
}
# Prints the id of the demo's window on $DISPLAY once it is shown.
demo_window() {
  timeout "$window_timeout" xdotool search --sync --onlyvisible --name "$title_re" | head -n 1
}
# The window's EWMH state; fails when the window cannot be read.
wm_state() { xprop -id "$wid" _NET_WM_STATE; }
above() { wm_state | grep -q '_NET_WM_STATE_ABOVE'; }
not_above() { local state; state=$(wm_state) && ! grep -q '_NET_WM_STATE_ABOVE' <<< "$state"; }
wm_running() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }

start_weston() {
  # Xwayland listens in the X sockets' usual folder, which weston does not
  # create; a machine that never ran an X server has none.
  mkdir -m 1777 /tmp/.X11-unix 2> /dev/null || [ -d /tmp/.X11-unix ] || fail "cannot create /tmp/.X11-unix"
  weston --backend=headless-backend.so --xwayland --no-config --socket=talviro-test \
    --log="$work/weston.log" > "$work/weston-out.log" 2>&1 &
  pids+=($!)
  within "$server_timeout" grep -qs 'xserver listening on display :' "$work/weston.log" \
    || fail "weston did not offer an Xwayland display"
  within "$server_timeout" test -S "$XDG_RUNTIME_DIR/talviro-test" || fail "weston did not open its socket"
  export WAYLAND_DISPLAY=talviro-test
  DISPLAY=$(sed -n 's/.*xserver listening on display \(:[0-9]*\).*/\1/p' "$work/weston.log" | head -n 1)
  export DISPLAY
  # Weston starts Xwayland on the first X connection; its window manager
  # answering shows the display works, so that a search finding nothing means
  # the window is not there.
  within "$server_timeout" wm_running || fail "Xwayland on $DISPLAY has no window manager"
}

case "$mode" in
  openbox)
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3> "$work/display" > "$work/xvfb.log" 2>&1 &
    pids+=($!)
    within "$server_timeout" grep -q '[0-9]' "$work/display" || fail "Xvfb did not start"
    DISPLAY=":$(cat "$work/display")"
    export DISPLAY
    openbox --sm-disable > "$work/openbox.log" 2>&1 &
    pids+=($!)
    within "$server_timeout" wm_running || fail "openbox did not take the display"

    start_demo
    wid=$(demo_window) || fail "the window did not appear"
    not_above || fail "the window is kept above before any click"
    xdotool mousemove --window "$wid" "$box_x" "$box_y" click 1
    within "$state_timeout" above || fail "ticking Stay on top did not set _NET_WM_STATE_ABOVE"
    echo "ticked: openbox keeps the window above"
    xdotool mousemove --window "$wid" "$box_x" "$box_y" click 1
    within "$state_timeout" not_above || fail "unticking Stay on top did not clear _NET_WM_STATE_ABOVE"
    echo "unticked: _NET_WM_STATE_ABOVE cleared"
    # The trend window, a window of its own under the window manager.
    xdotool mousemove --window "$wid" "$trend_x" "$trend_y" click 1
    # Its title as window managers read it (_NET_WM_NAME): GTK leaves
    # WM_NAME, which xdotool --name reads, unset for a title it cannot
    # convert to compound text, such as the live trend window's with its dash.
    within "$window_timeout" trend_shown || fail "clicking Trend… opened no trend window"
    echo "Trend…: the trend window opened"
    ;;
  xwayland)
    start_weston
    start_demo
    wid=$(demo_window) || fail "GDK_BACKEND unset: the window is not on the Xwayland display $DISPLAY"
    echo "GDK_BACKEND unset: the window is X11 window $wid on the Xwayland display $DISPLAY"
    ;;
  wayland)
    start_weston
    # The client's side of the Wayland protocol shows the window it opens.
    export GDK_BACKEND=wayland WAYLAND_DEBUG=client
    start_demo
    unset WAYLAND_DEBUG
    within "$window_timeout" grep -qE "xdg_toplevel@[0-9]+[.]set_title[(]\"$title_text_re\"[)]" "$work/demo.log" \
      || fail "GDK_BACKEND=wayland: no Wayland window with the title opened"
    if xdotool search --name "$title_re" > /dev/null; then
      fail "GDK_BACKEND=wayland: the window is on the Xwayland display $DISPLAY"
    fi
    kill -0 "${pids[-1]}" 2>/dev/null || fail "the demo ended by itself"
    echo "GDK_BACKEND=wayland: a native Wayland window, none on the Xwayland display"
    ;;
  *) echo "usage: stay_on_top_wm.sh openbox|xwayland|wayland DEMO VERSION [LAUNCHER...]" >&2; exit 2 ;;
esac
