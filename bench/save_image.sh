#!/usr/bin/env bash
# talviro_gui_demo --save-image against gnuplot, side by side on the same log:
# a day of talviro_read --interval 0.033 (2.6 M readouts, about 150 MB of
# CSV, V target missing for a minute at noon, one spike of the supply
# current), each drawing its four readings to a PNG of the same size. Both
# read the file from the page cache. Prints each time and the ratio.
# Run it on an X display (scripts/bench starts Xvfb around it).
#   save_image.sh BUILD [RUNS]    RUNS of --save-image, their median (default 5);
#                                 gnuplot, far slower, runs once
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: save_image.sh BUILD [RUNS]" >&2; exit 2; }
build=$1 runs=${2:-5}
program=$build/app/talviro_gui_demo

readonly READOUTS=2600000 WIDTH=1280 HEIGHT=800

folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT

# The log, in talviro_read --csv's form: counts and the readings they scale to.
awk -v n=$READOUTS '
BEGIN {
  print "time,A1_V,I_supply_mA,V_target_V,A0_V,A1_count,I_supply_count,V_target_count,A0_count"
  ms = 0; s = 0; m = 0; h = 0
  for (i = 0; i < n; i++) {
    t = sprintf("2026-12-08T%02d:%02d:%02d.%03dZ", h, m, s, ms)
    if (i >= n / 2 && i < n / 2 + 1800) {
      print t ",,,,,,,,"
    } else {
      cur = (i == int(n / 3)) ? 1023 : ((i % 300 < 20) ? 400 + i % 97 : 12 + i % 5)
      a1 = 512 + int(400 * sin(i * 1e-4)); tg = 296 + i % 3; a0 = (i * 7) % 1024
      printf "%s,%.2f,%.0f,%.2f,%.2f,%d,%d,%d,%d\n", t, a1 * 11.410286 / 1024, cur * 1050.2565 / 1024,
             tg * 11.410286 / 1024, a0 * 11.410286 / 1024, a1, cur, tg, a0
    }
    ms += 33
    while (ms >= 1000) { ms -= 1000; s++ }
    if (s >= 60) { s -= 60; m++ }
    if (m >= 60) { m -= 60; h++ }
  }
}' > "$folder/day.csv"
cat "$folder/day.csv" > /dev/null  # into the page cache

# gnuplot's own way to draw four columns of a CSV over time, one plot each.
cat > "$folder/day.gp" <<GP
set datafile separator ','
set xdata time
set timefmt '%Y-%m-%dT%H:%M:%SZ'
set format x '%H:%M'
set key off
set terminal pngcairo size $WIDTH,$HEIGHT
set output '$folder/gnuplot.png'
set multiplot layout 4,1
plot '$folder/day.csv' every ::1 using 1:4 with lines
plot '$folder/day.csv' every ::1 using 1:3 with lines
plot '$folder/day.csv' every ::1 using 1:5 with lines
plot '$folder/day.csv' every ::1 using 1:2 with lines
unset multiplot
GP

# seconds COMMAND...: the wall time the command took, in seconds.
seconds() {
  local start end
  start=$(date +%s%N)
  "$@" > /dev/null
  end=$(date +%s%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", (b - a) / 1e9 }'
}

times=()
for _ in $(seq "$runs"); do
  times+=("$(seconds "$program" --save-image "$folder/ours.png" --size ${WIDTH}x${HEIGHT} "$folder/day.csv")")
done
ours=$(printf '%s\n' "${times[@]}" | sort -n | sed -n "$(( (runs + 1) / 2 ))p")
theirs=$(seconds gnuplot "$folder/day.gp")

echo "log:               $READOUTS readouts, $(( $(stat -c %s "$folder/day.csv") / 1000000 )) MB, ${WIDTH}x${HEIGHT} px"
echo "--save-image:      ${ours} s (median of $runs: ${times[*]})"
echo "gnuplot $(gnuplot --version | cut -d' ' -f2-4): ${theirs} s"
echo "ratio:             $(awk -v a="$theirs" -v b="$ours" 'BEGIN { printf "%.0f", a / b }')x"
