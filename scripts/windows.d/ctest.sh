#!/usr/bin/env bash
# Runs the Windows build's tests with ctest under Wine, on the X display in
# DISPLAY (scripts/windows test starts a virtual one when there is none).
#
# Wine gets a fresh prefix in the build folder, so no earlier run's settings
# or leftovers count. Its server and service processes start here, before
# ctest, with their output sent to /dev/null: started by a test they would
# inherit ctest's output pipe and keep it open, and every test would wait
# for them. A crashing program must fail its test, not wait for a click:
# winedbg's crash dialog is off (the tests' own main turns wx's assertions
# into failures).
#   ctest.sh BUILD_DIR WINE64 [CTEST_ARGS...]
set -euo pipefail
build=$(cd "$1" && pwd)
wine=$2
shift 2

readonly JOBS=2
readonly WINEDBG_KEY='HKCU\Software\Wine\WineDbg'

export WINEPREFIX=$build/wineprefix
export WINEDEBUG=-all
# No Mono or Gecko: nothing here needs .NET or the HTML engine, and Wine would
# offer to download them.
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINELOADER=$wine
export WINESERVER=${WINESERVER:-$(command -v wineserver)}

rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"  # the server starts only in an existing prefix
"$WINESERVER" -p > /dev/null 2>&1
trap '"$WINESERVER" -k > /dev/null 2>&1 || true' EXIT
"$wine" wineboot.exe --init > /dev/null 2>&1
"$wine" reg.exe add "$WINEDBG_KEY" /v ShowCrashDialog /t REG_DWORD /d 0 /f > /dev/null 2>&1

# The desktop process, which the first window of a Wine session starts and
# which ends some seconds after the last window closes: started here, it
# stays for the whole run and keeps no test's output pipe open.
"$wine" explorer.exe /desktop > /dev/null 2>&1 &

ctest --test-dir "$build" --output-on-failure -j"$JOBS" "$@"
