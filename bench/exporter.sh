#!/usr/bin/env bash
# talviro_exporter with 8 modelled probes (scripts/simulated-usb), read once a
# second: a scrape's latency over loopback, the process's resident memory,
# and its CPU use while nobody scrapes. Then the same process figures with
# no probe on the bus: the modelled chips run inside the exporter's process,
# so the difference is theirs and the USB stack's, not the exporter's alone.
#
# bench/exporter.sh BUILD_DIR [SCRAPES]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
scrapes=${2:-500}
readonly PROBES=8
readonly IDLE_S=10

work=$(mktemp -d)
pid=
cleanup() {
  [ -z "$pid" ] || kill -KILL "$pid" 2> /dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# start N: the exporter on a free loopback port with N probes; sets pid, port.
start() {
  BUILD_DIR=$build "$here/scripts/simulated-usb" --probes "$1" -- \
    "$build/exporter/talviro_exporter" --listen 127.0.0.1:0 > /dev/null 2> "$work/err" &
  pid=$!
  port=
  for _ in $(seq 1200); do
    port=$(sed -n 's#^talviro_exporter: serving http://.*:\([0-9]*\)/metrics$#\1#p' "$work/err")
    [ -n "$port" ] && break
    sleep 0.05
  done
  [ -n "$port" ] || { echo "the exporter did not start: $(cat "$work/err")" >&2; exit 1; }
  for _ in $(seq 200); do
    [ "$(curl -s --max-time 2 "http://127.0.0.1:$port/metrics" | grep -c '^talviro_probe_up{.*} 1$')" -eq "$1" ] && return
    sleep 0.1
  done
  echo "not every probe came up" >&2
  exit 1
}

stop() {
  kill -TERM "$pid"
  wait "$pid" || true
  pid=
}

# process_figures LABEL: CPU over IDLE_S seconds without a scrape, then RSS.
process_figures() {
  local ticks before after
  ticks=$(getconf CLK_TCK)
  sleep 2
  before=$(awk '{ print $14 + $15 }' "/proc/$pid/stat")
  sleep "$IDLE_S"
  after=$(awk '{ print $14 + $15 }' "/proc/$pid/stat")
  awk -v d=$((after - before)) -v t="$ticks" -v s="$IDLE_S" -v l="$1" \
    'BEGIN { printf "%-28s idle CPU %.2f %% of one core\n", l, 100 * d / t / s }'
  printf '%-28s RSS %s kB, peak %s kB\n' "$1" \
    "$(awk '/^VmRSS/ { print $2 }' "/proc/$pid/status")" "$(awk '/^VmHWM/ { print $2 }' "/proc/$pid/status")"
}

echo "== talviro_exporter, $PROBES modelled probes read once a second"
start "$PROBES"
process_figures "$PROBES probes:"
for _ in $(seq "$scrapes"); do
  curl -s --max-time 2 -o /dev/null -w '%{time_total}\n' "http://127.0.0.1:$port/metrics"
done | sort -n > "$work/latency"
awk -v n="$scrapes" '{ t[NR] = $1 } END {
  printf "scrape latency over loopback (%d scrapes, curl time_total): median %.3f ms, 90th %.3f ms, 99th %.3f ms, max %.3f ms\n",
    n, 1000 * t[int(n * 0.5)], 1000 * t[int(n * 0.9)], 1000 * t[int(n * 0.99)], 1000 * t[n] }' "$work/latency"
process_figures "$PROBES probes, after scrapes:"
stop

echo "== talviro_exporter, no probe on the bus"
start 0
process_figures "no probe:"
stop
