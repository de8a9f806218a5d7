#!/usr/bin/env bash
# talviro_gui.exe --save-image as a script on Windows runs it, under Wine:
# the picture of a small log written as a PNG, and as an SVG of a span
# reaching past the year 3000, where Windows' local time ends; nothing left
# running.
#   save_image.sh WINE EXE
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: save_image.sh WINE EXE" >&2; exit 2; }
wine=$1 exe=$2

readonly WIDTH=640 HEIGHT=400

folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
fail() {
  echo "FAIL: $*"
  echo "--- standard error"; cat "$folder/err" 2> /dev/null || true
  exit 1
}

cp "$exe" "$folder/talviro_gui.exe"
# A minute of readouts, V target missing from two of them.
{
  echo "time,A1_V,I_supply_mA,V_target_V,A0_V,A1_count,I_supply_count,V_target_count,A0_count"
  for s in $(seq 10 59); do
    v=3.30
    case $s in 30|31) v= ;; esac
    echo "2026-12-08T01:33:$s.000Z,0.50,$((20 + s % 7)),$v,1.20,45,20,296,108"
  done
} > "$folder/log.csv"

set +e
(cd "$folder" && "$wine" ./talviro_gui.exe --save-image out.png --size ${WIDTH}x${HEIGHT} log.csv) 2> "$folder/err"
status=$?
set -e
[ "$status" -eq 0 ] || fail "--save-image ended with status $status"
[ -s "$folder/out.png" ] || fail "no picture written"
size=$(identify -format '%m %wx%h' "$folder/out.png") || fail "out.png is no picture identify reads"
[ "$size" = "PNG ${WIDTH}x${HEIGHT}" ] || fail "out.png is $size, not PNG ${WIDTH}x${HEIGHT}"
echo "talviro_gui.exe --save-image wrote a PNG of ${WIDTH}x${HEIGHT}"

# Past 3000 the time axis's days are told in UTC; the picture is written,
# within a bound, not waited for.
set +e
(cd "$folder" && timeout 60 "$wine" ./talviro_gui.exe --save-image far.svg --to 3001-01-01T00:00:00.000Z log.csv) \
  2> "$folder/err"
status=$?
set -e
[ "$status" -eq 0 ] || fail "--save-image up to 3001 ended with status $status"
grep '<svg' "$folder/far.svg" > /dev/null || fail "far.svg is no SVG"
echo "talviro_gui.exe --save-image wrote an SVG up to the year 3001"
