#!/usr/bin/env bash
# talviro_read.exe as a Windows user runs it, under Wine, from a folder of its
# own: the program loads the probe's driver ftd2xx.dll when it starts, and
# Windows looks for it beside the program first.
#   read_over_dll.sh CASE WINE EXE SIMULATED_DLL INCOMPLETE_DLL, CASE one of:
#     readings    the simulated ftd2xx.dll beside it: the simulated probe's
#                 readings and serial, as talviro_read prints them on Linux
#     presence    the simulated probe plugged in and out through the file
#                 that TALVIRO_SIM_PRESENCE names: absent before the file
#                 exists, there once it does, gone mid-run when it is deleted;
#                 with --reconnect, the run waits for it and goes on
#     no-driver   no ftd2xx.dll anywhere: status 1, and the message names it
#     old-driver  an ftd2xx.dll without FT_GetQueueStatus, which the readout
#                 needs: treated as no driver at all, never half used
#     ctrl-c      Ctrl-C (SIGINT, which Wine hands to the console's
#                 handler) while a read waits on a probe that fell silent:
#                 the run ends within a second, as on Linux, not at the end
#                 of the read time-out
#     exporter    EXE is talviro_exporter.exe, with the simulated ftd2xx.dll
#                 and two probes beside it: a scrape over 127.0.0.1 has the
#                 first probe's readings, none while its presence file is
#                 deleted, and again after; while the first falls silent the
#                 second keeps its pace
#     web-config  EXE is talviro_exporter.exe with --web.config.file, the
#                 simulated ftd2xx.dll and two probes beside it: the checks
#                 of tests/exporter/web_config_checks.sh, as the Linux
#                 program's (exporter.sh tls) but for Prometheus: TLS and
#                 basic auth, the security header, 401s, a certificate
#                 replaced and client certificates required while it runs,
#                 a bad change kept out, and what it refuses at start
#     window-serial  EXE is talviro_gui.exe, on a bench of two simulated
#                 probes: --serial TV0002B connects to that one (the window's
#                 title names it, as read from the X server Wine draws on);
#                 --serial TV0003B leaves it "Not Connected" and names both
#     window-capture  EXE is talviro_gui.exe, and STATUS_TEXT the helper
#                 that reads a window's status bar: --trend --rate fast
#                 opens the trend window beside the measurement window and
#                 captures through the DLL; the presence file deleted, the
#                 status bar says the probe is not responding, and once the
#                 file is back, connected again (whole readouts)
set -euo pipefail
[ $# -eq 5 ] || [ $# -eq 6 ] ||
  { echo "usage: read_over_dll.sh CASE WINE EXE SIMULATED_DLL INCOMPLETE_DLL [STATUS_TEXT]" >&2; exit 2; }
case_name=$1 wine=$2 exe=$3 simulated_dll=$4 incomplete_dll=$5 status_text=${6:-}

readonly NO_PROBE_STATUS=1
readonly PROBE_LOST_STATUS=3
readonly BENCH_READINGS=("A1 = 1.53 V" "I supply = 37 mA" "V target = 3.32 V" "A0 = 0.64 V" "Serial: TV0001B")
# How long a stop may take, and the longest a silent probe may hold another
# probe's readouts up each time, beside the exporter's interval.
readonly STOP_WITHIN_MS=1000
readonly EXPORTER_INTERVAL_MS=200
readonly HOLD_AT_MOST_MS=500
readonly PACE_WINDOW_S=3
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

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

# run_while CONDITION ACTION ARGS...: the program in its folder in the
# background; once CONDITION (a command on its output so far) holds, or it
# ended, ACTION runs; then as run.
run_while() {
  local condition=$1 action=$2 pid
  shift 2
  (cd "$folder" && exec "$wine" "./$program" "$@") > "$folder/out.crlf" 2> "$folder/err.crlf" &
  pid=$!
  for _ in $(seq 600); do
    $condition && break
    kill -0 "$pid" 2> /dev/null || break
    sleep 0.1
  done
  $action
  set +e
  wait "$pid"
  status=$?
  set -e
  tr -d '\r' < "$folder/out.crlf" > "$folder/out"
  tr -d '\r' < "$folder/err.crlf" > "$folder/err"
}

program=talviro_read.exe
case "$case_name" in
  exporter|web-config) program=talviro_exporter.exe ;;
  window-serial|window-capture) program=talviro_gui.exe ;;
esac
cp "$exe" "$folder/$program"
case "$case_name" in
  exporter)
    # The probe comes and goes with the simulated DLL's presence file.
    cp "$simulated_dll" "$folder/ftd2xx.dll"
    export TALVIRO_SIM_PRESENCE=present TALVIRO_SIM_PROBES=2 TALVIRO_SIM_SILENT=silent
    touch "$folder/present"
    (cd "$folder" && exec "$wine" "./$program" --listen 127.0.0.1:0 --interval "$(printf "0.%03d" "$EXPORTER_INTERVAL_MS")") \
      > "$folder/out" 2> "$folder/err.crlf" &
    exporter=$!
    trap 'kill -KILL "$exporter" 2> /dev/null || true; rm -rf "$folder"' EXIT
    scrape="$folder/scrape"
    # until_scrape LINE: scrapes every 0.1 s, for at most 60 s, until one has LINE.
    until_scrape() {
      local port
      for _ in $(seq 600); do
        port=$(tr -d '\r' < "$folder/err.crlf" | sed -n 's#^talviro_exporter: serving http://127.0.0.1:\([0-9]*\)/metrics$#\1#p')
        [ -n "$port" ] && curl -s --max-time 2 "http://127.0.0.1:$port/metrics" > "$scrape" && grep -qxF "$1" "$scrape" && return
        kill -0 "$exporter" 2> /dev/null || break
        sleep 0.1
      done
      tr -d '\r' < "$folder/err.crlf" > "$folder/err"
      fail "no scrape with '$1': $(cat "$scrape" 2> /dev/null)"
    }
    until_scrape 'talviro_probe_up{serial="TV0001B"} 1'
    for line in 'talviro_target_voltage_volts{serial="TV0001B"} 3.3205714' \
                'talviro_supply_current_amperes{serial="TV0001B"} 0.03692308'; do
      grep -qxF "$line" "$scrape" || fail "no '$line' in a scrape: $(cat "$scrape")"
    done
    rm "$folder/present"
    until_scrape 'talviro_probe_up{serial="TV0001B"} 0'
    ! grep -q '^talviro_target_voltage_volts' "$scrape" || fail "a reading served while the probe is away"
    touch "$folder/present"
    until_scrape 'talviro_probe_up{serial="TV0001B"} 1'
    grep -qxF 'talviro_target_voltage_volts{serial="TV0001B"} 3.3205714' "$scrape" || fail "back without readings"
    # TV0001B falls silent, its chip staying on the bus: its readout waits
    # out the exporter's read time-out once, then every look for it costs an
    # engine check. TV0002B is held up by at most HOLD_AT_MOST_MS each time.
    until_scrape 'talviro_probe_up{serial="TV0002B"} 1'
    readouts() { sed -n 's/^talviro_readouts_total{serial="TV0002B"} //p' "$scrape"; }
    before=$(readouts)
    touch "$folder/silent"
    sleep "$PACE_WINDOW_S"
    until_scrape 'talviro_probe_up{serial="TV0002B"} 1'
    paced=$(( $(readouts) - before ))
    least=$(( PACE_WINDOW_S * 1000 / (EXPORTER_INTERVAL_MS + HOLD_AT_MOST_MS) ))
    [ "$paced" -ge "$least" ] || fail "TV0002B read $paced times in $PACE_WINDOW_S s while TV0001B was silent, wanted $least"
    grep -qxF 'talviro_probe_up{serial="TV0001B"} 0' "$scrape" || fail "TV0001B still up while silent"
    echo "exporter: talviro_exporter.exe served the simulated probe, without readings while it was away;" \
         "the second probe was read $paced times in $PACE_WINDOW_S s while the first was silent"
    ;;
  web-config)
    cp "$simulated_dll" "$folder/ftd2xx.dll"
    export TALVIRO_SIM_PROBES=2
    # shellcheck disable=SC2034  # web_config_checks.sh's folder
    scratch=$folder
    exporter_errors() { tr -d '\r' < "$folder/err.crlf"; }
    exporter_once() {
      set +e
      (cd "$folder" && "$wine" "./$program" "$@") > /dev/null 2> "$folder/once.crlf"
      status=$?
      set -e
      tr -d '\r' < "$folder/once.crlf" > "$folder/once.err"
    }
    # shellcheck source=SCRIPTDIR/../exporter/web_config_checks.sh
    . "$(dirname "$0")/../exporter/web_config_checks.sh"
    make_pki
    (cd "$folder" && exec "$wine" "./$program" --listen 127.0.0.1:0 --interval 0.2 --web.config.file "$folder/web.yml") \
      > "$folder/out" 2> "$folder/err.crlf" &
    exporter=$!
    trap 'kill -KILL "$exporter" 2> /dev/null || true; rm -rf "$folder"' EXIT
    port=""
    for _ in $(seq 600); do
      port=$(exporter_errors | sed -n 's#^talviro_exporter: serving https://127.0.0.1:\([0-9]*\)/metrics$#\1#p')
      [ -n "$port" ] && break
      kill -0 "$exporter" 2> /dev/null || break
      sleep 0.1
    done
    exporter_errors > "$folder/err"
    [ -n "$port" ] || fail "talviro_exporter.exe did not start serving over https"
    for _ in $(seq 600); do
      tls_curl -u 'prometheus:a secret' -o "$folder/scrape" "https://127.0.0.1:$port/metrics" || true
      grep -qxF 'talviro_probe_up{serial="TV0002B"} 1' "$folder/scrape" 2> /dev/null && break
      sleep 0.1
    done
    grep -qxF 'talviro_target_voltage_volts{serial="TV0001B"} 3.3205714' "$folder/scrape" ||
      fail "no readings over TLS: $(cat "$folder/scrape" 2> /dev/null)"
    served_checks
    change_checks
    kill -KILL "$exporter"
    wait "$exporter" 2> /dev/null || true
    refused_at_start_checks
    echo "web-config: talviro_exporter.exe served over TLS with basic auth, took a new certificate and" \
         "client certificates while running, kept a bad change out and refused at start what it does not do"
    ;;
  window-serial)
    cp "$simulated_dll" "$folder/ftd2xx.dll"
    export TALVIRO_SIM_PROBES=2
    # window_until SERIAL CONDITION: the window started with --serial SERIAL
    # until CONDITION holds (for at most 60 s), then ended; fails otherwise.
    window_until() {
      local serial=$1 condition=$2 window held=
      (cd "$folder" && exec "$wine" "./$program" --serial "$serial") > "$folder/out.crlf" 2> "$folder/err.crlf" &
      window=$!
      for _ in $(seq 600); do
        $condition && { held=1; break; }
        kill -0 "$window" 2> /dev/null || break
        sleep 0.1
      done
      kill -KILL "$window" 2> /dev/null || true
      wait "$window" 2> /dev/null || true
      tr -d '\r' < "$folder/out.crlf" > "$folder/out"
      tr -d '\r' < "$folder/err.crlf" > "$folder/err"
      [ -n "$held" ] || fail "--serial $serial: $condition never held; windows: $(xwininfo -root -tree | grep TALVIRO || true)"
    }
    titled_two() { xwininfo -root -tree | grep '"TALVIRO Measurement v[0-9.]* .* TV0002B"' > /dev/null; }
    window_until TV0002B titled_two
    names_both() { tr -d '\r' < "$folder/err.crlf" | grep -qxF 'talviro_gui: no probe has the serial number "TV0003B"; found: TV0001B, TV0002B'; }
    window_until TV0003B names_both
    echo "window-serial: the window took TV0002B of two, and named both for TV0003B"
    ;;
  window-capture)
    [ -n "$status_text" ] || { echo "read_over_dll.sh: window-capture needs STATUS_TEXT" >&2; exit 2; }
    cp "$simulated_dll" "$folder/ftd2xx.dll"
    # The DLL follows the presence file only when the variable names it.
    export TALVIRO_SIM_PRESENCE=present
    touch "$folder/present"
    (cd "$folder" && exec "$wine" "./$program" --trend --rate fast) > "$folder/out.crlf" 2> "$folder/err.crlf" &
    window=$!
    trap 'kill -KILL "$window" 2> /dev/null || true; rm -rf "$folder"' EXIT
    # until_held CONDITION WHAT: at most 60 s for CONDITION, the window still
    # running; by the clock, as each look at the status bar starts a program.
    until_held() {
      local end=$((SECONDS + 60))
      while [ "$SECONDS" -lt "$end" ]; do
        $1 && return 0
        kill -0 "$window" 2> /dev/null || break
        sleep 0.1
      done
      tr -d '\r' < "$folder/out.crlf" > "$folder/out"
      tr -d '\r' < "$folder/err.crlf" > "$folder/err"
      fail "$2; windows: $(xwininfo -root -tree | grep TALVIRO || true); status bar: $(status)"
    }
    both_windows() {
      xwininfo -root -tree | grep -q '"TALVIRO Trend' && xwininfo -root -tree | grep -q '"TALVIRO Measurement v'
    }
    status() { "$wine" "$status_text" "TALVIRO Measurement" 2> /dev/null | tr -d '\r'; }
    connected() { [ "$(status)" = "TALVIRO Connected" ]; }
    not_responding() { [ "$(status)" = "TALVIRO not responding" ]; }
    until_held both_windows "--trend opened no trend window beside the measurement window"
    until_held connected "not connected while capturing"
    # Unplugged during the capture: the capture finds the probe gone and
    # looks for it; plugged in again, it reads it again.
    rm "$folder/present"
    until_held not_responding "the unplug is not shown"
    touch "$folder/present"
    until_held connected "not connected again after the replug"
    kill -0 "$window" 2> /dev/null || fail "the program ended while capturing"
    kill -KILL "$window" 2> /dev/null || true
    wait "$window" 2> /dev/null || true
    echo "window-capture: --trend --rate fast opened both windows and captured through ftd2xx.dll;" \
         "an unplug showed as not responding, the replug as connected again"
    ;;
  readings)
    cp "$simulated_dll" "$folder/ftd2xx.dll"
    run --count 1
    [ "$status" -eq 0 ] || fail "status $status, wanted 0"
    # The simulated probe's inputs, as in the README and the Linux program's
    # run over the modelled USB probe (tests/usb/programs.sh).
    diff -u <(printf '%s\n' "${BENCH_READINGS[@]}") "$folder/out" || fail "standard output differs"
    echo "readings and serial of the simulated probe through ftd2xx.dll"
    ;;
  presence)
    cp "$simulated_dll" "$folder/ftd2xx.dll"
    export TALVIRO_SIM_PRESENCE=present  # beside the program, in its working folder
    run --count 1
    [ "$status" -eq "$NO_PROBE_STATUS" ] || fail "without the file: status $status, wanted $NO_PROBE_STATUS"
    touch "$folder/present"
    run --count 1
    [ "$status" -eq 0 ] || fail "with the file: status $status, wanted 0"
    diff -u <(printf '%s\n' "${BENCH_READINGS[@]}") "$folder/out" || fail "standard output differs"
    # Deleted while the program reads every 0.1 s: the probe is gone from
    # the next driver call on, as after an unplug.
    first_readout() { grep -q '^Serial:' "$folder/out.crlf"; }
    unplug() { rm "$folder/present"; }
    run_while first_readout unplug --count 0 --interval 0.1
    grep -q '^Serial: TV0001B$' "$folder/out" || fail "no readout before the file was deleted"
    [ "$status" -eq "$PROBE_LOST_STATUS" ] || fail "after deleting the file: status $status, wanted $PROBE_LOST_STATUS"
    grep -q 'stopped answering' "$folder/err" || fail "the loss is not reported"
    # With --reconnect the same loss is ridden out: 20 whole readouts in
    # all, one empty row where the probe went, once it was back.
    touch "$folder/present"
    three_rows() { [ "$(wc -l < "$folder/out.crlf")" -ge 4 ]; }
    replug() { rm "$folder/present"; sleep 1; touch "$folder/present"; }
    run_while three_rows replug --reconnect --count 20 --interval 0.1 --csv
    [ "$status" -eq 0 ] || fail "--reconnect: status $status, wanted 0"
    rows=$(tail -n +2 "$folder/out" | sed -E 's/^[^,]+,1[.]53,37,3[.]32,0[.]64,137,36,298,57$/W/; /^W$/!s/.*/E/' | tr -d '\n')
    [ "$(tr -cd W <<< "$rows" | wc -c)" -eq 20 ] && [ "$(tr -s W <<< "$rows")" = WEW ] ||
      fail "--reconnect: rows $rows"
    [ "$(grep -c 'probe TV0001B lost at' "$folder/err")" -eq 1 ] &&
      [ "$(grep -c 'probe TV0001B back at' "$folder/err")" -eq 1 ] || fail "--reconnect: lost and back lines"
    echo "presence: no probe without the file, readings with it, lost when it went, back with --reconnect"
    ;;
  ctrl-c)
    cp "$simulated_dll" "$folder/ftd2xx.dll"
    export TALVIRO_SIM_SILENT=silent
    # Readouts every 0.1 s; the probe falls silent, and the next readout's
    # first read waits for its 5 s time-out; Ctrl-C a second into that wait.
    first_readout() { grep -qs '^Serial:' "$folder/out.crlf"; }
    silence_and_interrupt() {
      touch "$folder/silent"
      sleep 1
      interrupted=$(now_ms)
      kill -INT "$pid"
    }
    run_while first_readout silence_and_interrupt --count 0 --interval 0.1
    took=$(( $(now_ms) - interrupted ))
    [ "$status" -eq 0 ] || fail "status $status after Ctrl-C, wanted 0"
    [ "$took" -lt "$STOP_WITHIN_MS" ] || fail "Ctrl-C ended the run after $took ms, wanted < $STOP_WITHIN_MS"
    ! grep -q 'stopped answering' "$folder/err" || fail "an abandoned wait reported as a lost probe"
    echo "ctrl-c: the run ended $took ms after Ctrl-C during a wait on a silent probe"
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
