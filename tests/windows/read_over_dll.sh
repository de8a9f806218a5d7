#!/usr/bin/env bash
# talviro_read.exe as a Windows user runs it, under Wine, from a folder of its
# own: the program loads the probe's driver ftd2xx.dll when it starts, and
# Windows looks for it beside the program first.
#   read_over_dll.sh readings|no-driver|old-driver WINE EXE SIMULATED_DLL INCOMPLETE_DLL
#     readings    the simulated ftd2xx.dll beside it: the simulated probe's
#                 readings and serial, as talviro_read prints them on Linux
#     no-driver   no ftd2xx.dll anywhere: status 1, and the message names it
#     old-driver  an ftd2xx.dll without FT_GetQueueStatus, which the readout
#                 needs: treated as no driver at all, never half used
#     exporter    EXE is talviro_exporter.exe, with the simulated ftd2xx.dll
#                 beside it: a scrape over 127.0.0.1 has the probe's readings
set -euo pipefail
[ $# -eq 5 ] || { echo "usage: read_over_dll.sh CASE WINE EXE SIMULATED_DLL INCOMPLETE_DLL" >&2; exit 2; }
case_name=$1 wine=$2 exe=$3 simulated_dll=$4 incomplete_dll=$5

readonly NO_PROBE_STATUS=1

folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
fail() {
  echo "FAIL: $*"
  echo "--- standard output"; cat "$folder/out"
  echo "--- standard error"; cat "$folder/err"
  exit 1
}

# run ARGS...: the program in its folder; sets status, leaves its output in
# $folder/out and $folder/err without the console's carriage returns.
run() {
  set +e
  (cd "$folder" && "$wine" "./$program" "$@") > "$folder/out.crlf" 2> "$folder/err.crlf"
  status=$?
  set -e
  tr -d '\r' < "$folder/out.crlf" > "$folder/out"
  tr -d '\r' < "$folder/err.crlf" > "$folder/err"
}

program=talviro_read.exe
[ "$case_name" != exporter ] || program=talviro_exporter.exe
cp "$exe" "$folder/$program"
case "$case_name" in
  exporter)
    cp "$simulated_dll" "$folder/ftd2xx.dll"
    (cd "$folder" && exec "$wine" "./$program" --listen 127.0.0.1:0 --interval 0.2) \
      > "$folder/out" 2> "$folder/err.crlf" &
    exporter=$!
    trap 'kill -KILL "$exporter" 2> /dev/null || true; rm -rf "$folder"' EXIT
    scrape="$folder/scrape"
    for _ in $(seq 600); do
      port=$(tr -d '\r' < "$folder/err.crlf" | sed -n 's#^talviro_exporter: serving http://127.0.0.1:\([0-9]*\)/metrics$#\1#p')
      [ -n "$port" ] && curl -s --max-time 2 "http://127.0.0.1:$port/metrics" > "$scrape" &&
        grep -q 'talviro_probe_up{serial="TV0001B"} 1' "$scrape" && break
      kill -0 "$exporter" 2> /dev/null || break
      sleep 0.1
    done
    tr -d '\r' < "$folder/err.crlf" > "$folder/err"
    for line in 'talviro_probe_up{serial="TV0001B"} 1' 'talviro_target_voltage_volts{serial="TV0001B"} 3.3205714' \
                'talviro_supply_current_amperes{serial="TV0001B"} 0.03692308'; do
      grep -qxF "$line" "$scrape" 2> /dev/null || fail "no '$line' in a scrape: $(cat "$scrape" 2> /dev/null)"
    done
    echo "talviro_exporter.exe on 127.0.0.1:$port served the simulated probe"
    ;;
  readings)
    cp "$simulated_dll" "$folder/ftd2xx.dll"
    run --count 1
    [ "$status" -eq 0 ] || fail "status $status, wanted 0"
    # The simulated probe's inputs, as in the README and the Linux program's
    # run over the modelled USB probe (tests/usb/programs.sh).
    diff -u <(printf '%s\n' "A1 = 1.53 V" "I supply = 37 mA" "V target = 3.32 V" "A0 = 0.64 V" "Serial: TV0001B") \
      "$folder/out" || fail "standard output differs"
    echo "readings and serial of the simulated probe through ftd2xx.dll"
    ;;
  no-driver|old-driver)
    [ "$case_name" = no-driver ] || cp "$incomplete_dll" "$folder/ftd2xx.dll"
    run --count 1
    [ "$status" -eq "$NO_PROBE_STATUS" ] || fail "status $status, wanted $NO_PROBE_STATUS"
    grep -q 'ftd2xx[.]dll' "$folder/err" || fail "the message does not name ftd2xx.dll"
    ! grep -q '^Serial:' "$folder/out" || fail "readings printed without a whole driver"
    echo "$case_name: status $status, $(head -n 1 "$folder/err")"
    ;;
  *) echo "read_over_dll.sh: unknown case $case_name" >&2; exit 2 ;;
esac
