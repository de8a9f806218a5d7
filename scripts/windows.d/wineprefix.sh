#!/usr/bin/env bash
# A Wine prefix for the Windows tests: made afresh, with its server and
# desktop process running, and ended again.
#   wineprefix.sh start PREFIX [DPI]
#       Removes PREFIX and makes it anew, at DPI (Windows' 100 % is 96) when
#       given. Its server and the desktop process stay until stop: started
#       by a test, they would inherit that test's output pipe and keep ctest
#       waiting until they end. Wine closes a desktop one second after its
#       last process but the desktop process has gone, so a command prompt
#       waiting on input that never comes holds it open between tests. A
#       crashing program fails its test instead of waiting for a click in
#       winedbg's dialog.
#   wineprefix.sh stop PREFIX
#       Ends the prefix's server and every Wine process in it.
# Needs WINELOADER (the 64-bit loader) and WINESERVER in the environment,
# as scripts/windows.d/ctest.sh sets them.
set -euo pipefail

readonly WINEDBG_KEY='HKCU\Software\Wine\WineDbg'
# Wine 8 takes the screen's DPI from here, the value Windows' display
# settings write.
readonly DPI_KEY='HKCU\Control Panel\Desktop'

usage() { echo "usage: wineprefix.sh start PREFIX [DPI] | stop PREFIX" >&2; exit 2; }
[ $# -ge 2 ] || usage
: "${WINELOADER:?}" "${WINESERVER:?}"
export WINEPREFIX=$2

case "$1" in
  start)
    [ $# -le 3 ] || usage
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"  # the server starts only in an existing prefix
    "$WINESERVER" -p > /dev/null 2>&1
    "$WINELOADER" wineboot.exe --init > /dev/null 2>&1
    "$WINELOADER" reg.exe add "$WINEDBG_KEY" /v ShowCrashDialog /t REG_DWORD /d 0 /f > /dev/null 2>&1
    if [ $# -eq 3 ]; then
      "$WINELOADER" reg.exe add "$DPI_KEY" /v LogPixels /t REG_DWORD /d "$3" /f > /dev/null 2>&1
    fi
    "$WINELOADER" explorer.exe /desktop > /dev/null 2>&1 &
    # Opened for reading and writing, the pipe never ends and never blocks
    # the opening.
    mkfifo "$WINEPREFIX/no-input"
    "$WINELOADER" cmd.exe 0<> "$WINEPREFIX/no-input" > /dev/null 2>&1 &
    ;;
  stop)
    [ $# -eq 2 ] || usage
    "$WINESERVER" -k > /dev/null 2>&1 || true
    ;;
  *) usage ;;
esac
