#!/usr/bin/env bash
# Runs the Windows build's tests with ctest under Wine, on the X display in
# DISPLAY (scripts/windows test starts a virtual one when there is none).
#
# Wine gets a fresh prefix in the build folder (wineprefix.sh beside this
# file), so no earlier run's settings or leftovers count; its server and
# desktop process run before ctest and end after it. (The 144-DPI window
# tests make a prefix of their own the same way.)
#   ctest.sh BUILD_DIR WINE64 [CTEST_ARGS...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
wine=$2
shift 2

readonly JOBS=2
# The window's layout tests expect Wine to draw the message font, which wx
# gives the controls, in Liberation Sans, Wine's stand-in for the Windows
# font it names. Without it Wine takes a wider family (DejaVu Sans) and the
# tests would fail on the layout, not on what is missing.
readonly MESSAGE_FONT_FAMILY="Liberation Sans"
readonly MESSAGE_FONT_PACKAGE=fonts-liberation

export WINEPREFIX=$build/wineprefix
export WINEDEBUG=-all
# No Mono or Gecko: nothing here needs .NET or the HTML engine, and Wine would
# offer to download them.
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINELOADER=$wine
export WINESERVER=${WINESERVER:-$(command -v wineserver)}

# Every prefix of the build ends with the run, a test's own too if ctest
# was stopped before that test's clean-up.
stop_prefixes() {
  local prefix
  for prefix in "$WINEPREFIX" "$build"/tests/*/wineprefix-*; do
    [ ! -d "$prefix" ] || "$here/wineprefix.sh" stop "$prefix"
  done
}
trap stop_prefixes EXIT
"$here/wineprefix.sh" start "$WINEPREFIX"

family=$("$wine" "$build/tests/windows/message_font.exe" 2> /dev/null | tr -d '\r') || true
if [ "$family" != "$MESSAGE_FONT_FAMILY" ]; then
  echo "scripts/windows: Wine draws the dialog font in ${family:-no font}, not $MESSAGE_FONT_FAMILY; install $MESSAGE_FONT_PACKAGE (scripts/install-deps windows)" >&2
  exit 1
fi

ctest --test-dir "$build" --output-on-failure -j"$JOBS" "$@"
