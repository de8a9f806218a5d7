#!/usr/bin/env bash
# talviro_read as a user runs it, over modelled probes, through
# scripts/simulated-usb: the real program, libftdi1 and the driver layer.
#   programs.sh CASE     (BUILD_DIR names the build folder)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build="${BUILD_DIR:?BUILD_DIR names the build folder}"
read_tool="$build/cli/talviro_read"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export TIMING="$scratch/ms"
fail() { echo "FAIL: $*" >&2; exit 1; }

# Runs talviro_read over the bus that the options describe; sets status and
# ms (the program's wall time, the script's build check not included), and
# leaves its output in $scratch/out and $scratch/err.
run() {
  local options=()
  while [ "$1" != -- ]; do options+=("$1"); shift; done
  shift
  set +e
  # shellcheck disable=SC2016  # expanded by the inner shell
  "$root/scripts/simulated-usb" "${options[@]}" -- bash -c \
    'start=$(date +%s%N); "$@"; status=$?; echo $(( ($(date +%s%N) - start) / 1000000 )) > "$TIMING"; exit $status' \
    timed "$read_tool" "$@" > "$scratch/out" 2> "$scratch/err"
  status=$?
  set -e
  ms=$(cat "$scratch/ms")
}

# The build output of simulated-usb goes to stderr before the program's own.
program_err() { grep -v -e '^\[' -e '^gmake' -e '^make' "$scratch/err" || true; }

expect_out() {
  diff -u <(printf '%s\n' "$@") "$scratch/out" || fail "standard output differs"
}

case "${1:-}" in
  readings)
    run -- --count 1
    [ "$status" -eq 0 ] || fail "status $status: $(program_err)"
    expect_out "A1 = 1.53 V" "I supply = 37 mA" "V target = 3.32 V" "A0 = 0.64 V" "Serial: TV0001B"
    # Answers a lost session left in the chip are not taken for the first ones.
    run --stale-answers -- --count 1
    [ "$status" -eq 0 ] || fail "stale answers: status $status: $(program_err)"
    expect_out "A1 = 1.53 V" "I supply = 37 mA" "V target = 3.32 V" "A0 = 0.64 V" "Serial: TV0001B"
    # A chip without a serial string is named by its USB port, not by a
    # lone channel letter nor by nothing.
    run --no-serial -- --count 1
    [ "$status" -eq 0 ] || fail "no serial: status $status"
    tail -n 1 "$scratch/out" | grep -qx 'Serial: usb:1-1.1' || fail "no serial: $(tail -n 1 "$scratch/out")"
    ;;
  busy-first-probe)
    # Another program holds the first probe; the second one is read.
    run --probes 2 --busy 1 -- --count 1
    [ "$status" -eq 0 ] || fail "status $status: $(program_err)"
    expect_out "A1 = 4.68 V" "I supply = 92 mA" "V target = 1.67 V" "A0 = 8.91 V" "Serial: TV0002B"
    ;;
  list)
    # Another program holds the first probe; the second is read by serial.
    run --probes 2 --busy 1 -- --list
    [ "$status" -eq 0 ] || fail "list: status $status: $(program_err)"
    expect_out "TV0001B in use" "TV0002B free"
    # Chips without a serial: each probe is named by its USB port.
    run --probes 2 --busy 1 --no-serial -- --list
    [ "$status" -eq 0 ] || fail "list without serials: status $status: $(program_err)"
    expect_out "usb:1-1.1 in use" "usb:1-1.2 free"
    run --probes 2 -- --serial TV0002B --count 1
    [ "$status" -eq 0 ] || fail "serial: status $status: $(program_err)"
    expect_out "A1 = 4.68 V" "I supply = 92 mA" "V target = 1.67 V" "A0 = 8.91 V" "Serial: TV0002B"
    run --probes 2 -- --serial TV0003B --count 1
    [ "$status" -eq 1 ] || fail "unknown serial: status $status, wanted 1"
    program_err | grep -qx 'talviro_read: no probe has the serial number "TV0003B"; found: TV0001B, TV0002B' ||
      fail "unknown serial: $(program_err)"
    run --no-permission -- --list
    [ "$status" -eq 0 ] || fail "no permission: status $status"
    expect_out "usb:1-1.1 no permission"
    ;;
  list-held)
    # A running talviro_read holds TV0001B; another program's list shows it.
    claims="$scratch/claims"
    "$root/scripts/simulated-usb" --probes 2 --shared-claims "$claims" -- \
      "$read_tool" --serial TV0001B --count 0 --interval 0.05 > "$scratch/held" 2> "$scratch/held-err" &
    holder=$!
    for _ in $(seq 600); do
      grep -q '^Serial: TV0001B$' "$scratch/held" && break
      kill -0 "$holder" 2> /dev/null || break
      sleep 0.1
    done
    grep -q '^Serial: TV0001B$' "$scratch/held" || { kill "$holder" 2> /dev/null || true; fail "the holder did not start: $(cat "$scratch/held-err")"; }
    run --probes 2 --shared-claims "$claims" -- --list
    kill -INT "$holder"
    wait "$holder" || fail "the holder ended with status $?"
    [ "$status" -eq 0 ] || fail "status $status: $(program_err)"
    expect_out "TV0001B in use" "TV0002B free"
    # Its claim ended with it.
    run --probes 2 --shared-claims "$claims" -- --list
    expect_out "TV0001B free" "TV0002B free"
    ;;
  no-permission)
    run --no-permission -- --count 1
    [ "$status" -eq 1 ] || fail "status $status, wanted 1"
    program_err | grep -q 'found but may not be opened' || fail "no refusal: $(program_err)"
    program_err | grep -q 'udev rule, see "man talviro_gui", THE UDEV RULE' ||
      fail "the udev rule is not named: $(program_err)"
    # A probe asked for by its serial number, which cannot be read either.
    run --no-permission -- --serial TV0001B
    [ "$status" -eq 1 ] || fail "status $status, wanted 1"
    [ "$(program_err)" = 'talviro_read: no probe has the serial number "TV0001B"; found: usb:1-1.1; this user may not open a probe that is there (install the udev rule, see "man talviro_gui", THE UDEV RULE)' ] ||
      fail "--serial: $(program_err)"
    ;;
  dead-engine)
    run --dead-engine -- --count 1
    [ "$status" -eq 1 ] || fail "status $status, wanted 1"
    grep -q 'unable to enable bit mode' "$scratch/out" "$scratch/err" || fail "no bit-mode failure"
    # The engine check gives up in a fifth of a second, not a read time-out.
    [ "$ms" -lt 1500 ] || fail "took $ms ms"
    ;;
  unplug)
    # Readouts every 50 ms until the probes vanish half a second in.
    run --unplug-after 500 -- --count 0 --interval 0.05
    [ "$status" -eq 3 ] || fail "status $status, wanted 3"
    [ "$(program_err | grep -c 'stopped answering')" -eq 1 ] || fail "stderr: $(program_err)"
    # No read waited out its 5 s time-out.
    [ "$ms" -lt 4000 ] || fail "took $ms ms to notice"
    ;;
  engine-dies)
    # The engine stops answering during the third readout; the chip stays on
    # the bus. One read time-out, then the run ends.
    run --engine-dies-after 700 -- --count 5 --interval 0.1
    [ "$status" -eq 3 ] || fail "status $status, wanted 3: $(program_err)"
    [ "$ms" -lt 10000 ] || fail "took $ms ms"
    echo "engine-dies: status $status after $ms ms"
    diff -u <(printf '%s\n' "A1 = 1.53 V" "I supply = 37 mA" "V target = 3.32 V" "A0 = 0.64 V" \
                "Serial: TV0001B" "" "A1 = 1.53 V" "I supply = 37 mA" "V target = 3.32 V" \
                "A0 = 0.64 V") <(head -n 10 "$scratch/out") || fail "the first two readouts differ"
    [ "$(program_err | grep -c 'stopped answering')" -eq 1 ] || fail "stderr: $(program_err)"
    [ "$(program_err | grep -c "Couldn't read")" -eq 1 ] || fail "stderr: $(program_err)"
    ;;
  stop-silent|stop-healthy)
    # A stop signal while the program waits on a probe that fell silent
    # about 2 s before (stop-silent), or during a healthy run: the program
    # ends within a second, as an interrupted run, the channel given back.
    dies=()
    [ "$1" = stop-silent ] && dies=(--engine-dies-after 700)
    for signal in INT TERM; do
      for mode in csv plain; do
        mode_args=()
        [ "$mode" = csv ] && mode_args=(--csv)
        state="$scratch/state-$signal-$mode"
        "$root/scripts/simulated-usb" "${dies[@]}" --state-file "$state" -- \
          "$read_tool" --count 0 --interval 0.1 "${mode_args[@]}" > "$scratch/out" 2> "$scratch/err" &
        pid=$!
        # Two readouts: the CSV header and two lines, or 4 + 1 + 1 + 4 lines.
        want_lines=3
        [ "$mode" = plain ] && want_lines=10
        for _ in $(seq 1200); do
          [ "$(wc -l < "$scratch/out")" -ge "$want_lines" ] && break
          kill -0 "$pid" 2> /dev/null || break
          sleep 0.05
        done
        if [ "$(wc -l < "$scratch/out")" -lt "$want_lines" ]; then
          kill -KILL "$pid" 2> /dev/null || true
          fail "$signal $mode: no two readouts: $(program_err)"
        fi
        # The third readout starts 0.1 s after the second; the engine dies in it.
        [ "$1" = stop-healthy ] || sleep 2
        sent=$(date +%s%N)
        kill -"$signal" "$pid"
        ended=no
        for _ in $(seq 500); do
          kill -0 "$pid" 2> /dev/null || { ended=yes; break; }
          sleep 0.01
        done
        took=$(( ($(date +%s%N) - sent) / 1000000 ))
        if [ "$ended" != yes ]; then
          kill -KILL "$pid" 2> /dev/null || true
          fail "$signal $mode: still running $took ms after the signal"
        fi
        set +e
        wait "$pid"
        status=$?
        set -e
        echo "$1 SIG$signal $mode: ended $took ms after the signal, status $status"
        [ "$took" -lt 1000 ] || fail "$signal $mode: took $took ms to end"
        [ "$status" -eq 0 ] || fail "$signal $mode: status $status: $(program_err)"
        grep -qx 'probe 1 channel B: kernel driver bound, not claimed, bit mode 00' "$state" ||
          fail "$signal $mode: channel B not given back: $(cat "$state")"
        summary_in="$scratch/out"
        [ "$mode" = csv ] && summary_in="$scratch/err"
        grep -q '^Summary of [0-9]* readouts' "$summary_in" || fail "$signal $mode: no summary"
        ! program_err | grep -q -e 'stopped answering' -e "Couldn't read" || fail "$signal $mode: $(program_err)"
        if [ "$mode" = csv ]; then
          # Every line whole: nine fields, none empty.
          ! tail -n +2 "$scratch/out" | grep -v -E '^[^,]+(,[^,]+){8}$' || fail "$signal: a CSV line is not whole"
        else
          ! grep -q -e '---' "$scratch/out" || fail "$signal: a readout was not whole"
        fi
      done
    done
    ;;
  stop-watch)
    # Ctrl-C in the --watch view, 2 s into the wait on a silent probe.
    command -v tmux > /dev/null || fail "tmux is needed"
    tmx() { tmux -S "$scratch/socket" -f /dev/null "$@"; }
    trap 'tmx kill-server 2> /dev/null || true; rm -rf "$scratch"' EXIT
    state="$scratch/state"
    printf '%s\n' '"$@"' 'echo $? > "$STATUS.part" && mv "$STATUS.part" "$STATUS"' 'exec sleep 600' \
      > "$scratch/pane.sh"
    tmx new-session -d -x 100 -y 30 -s watch env STATUS="$scratch/status" bash "$scratch/pane.sh" \
      "$root/scripts/simulated-usb" --engine-dies-after 700 --state-file "$state" -- \
      "$read_tool" --watch --interval 0.1
    pane() { tmx capture-pane -p -t watch; }
    for _ in $(seq 1200); do
      pane | grep -q 'readouts: 2 ' && break
      [ ! -e "$scratch/status" ] || break
      sleep 0.05
    done
    pane | grep -q 'readouts: 2 ' || fail "no two readouts: $(pane)"
    sleep 2
    pane | grep -q 'readouts: 2 ' || fail "the third readout did not wait: $(pane)"
    sent=$(date +%s%N)
    tmx send-keys -t watch C-c
    for _ in $(seq 500); do
      [ -e "$scratch/status" ] && break
      sleep 0.01
    done
    took=$(( ($(date +%s%N) - sent) / 1000000 ))
    [ -e "$scratch/status" ] || fail "still running $took ms after Ctrl-C"
    echo "stop-watch: ended $took ms after Ctrl-C, status $(cat "$scratch/status")"
    [ "$took" -lt 1000 ] || fail "took $took ms to end"
    [ "$(cat "$scratch/status")" -eq 0 ] || fail "status $(cat "$scratch/status")"
    grep -qx 'probe 1 channel B: kernel driver bound, not claimed, bit mode 00' "$state" ||
      fail "channel B not given back: $(cat "$state")"
    ;;
  reconnect|reconnect-no-serial|reconnect-other)
    # --reconnect over an unplug 1.5 s in, the probes back 2 s later at the
    # same port (reconnect; reconnect-no-serial, where the chips have no
    # serial and the probe is named by its USB port), or with two probes
    # without a serial of which only the other, at another port, comes back
    # (reconnect-other): a signal at 6 s ends the run with status 0.
    state="$scratch/state"
    bus=(--unplug-after 1500 --replug-after 2000)
    name=TV0001B
    [ "$1" = reconnect-no-serial ] && bus+=(--no-serial) && name=usb:1-1.1
    [ "$1" = reconnect-other ] && bus=(--probes 2 --no-serial --unplug-after 1500 --replug-after 500 --replug-only 2) &&
      name=usb:1-1.1
    "$root/scripts/simulated-usb" "${bus[@]}" --state-file "$state" -- \
      "$read_tool" --reconnect --count 0 --interval 0.2 --csv > "$scratch/out" 2> "$scratch/err" &
    pid=$!
    for _ in $(seq 1200); do
      [ -s "$scratch/out" ] && break
      kill -0 "$pid" 2> /dev/null || break
      sleep 0.05
    done
    [ -s "$scratch/out" ] || { kill -KILL "$pid" 2> /dev/null || true; fail "no header: $(program_err)"; }
    sleep 6
    sent=$(date +%s%N)
    kill -INT "$pid"
    set +e
    wait "$pid"
    status=$?
    set -e
    took=$(( ($(date +%s%N) - sent) / 1000000 ))
    echo "$1: status $status, ended $took ms after the signal"
    [ "$status" -eq 0 ] || fail "status $status: $(program_err)"
    [ "$took" -lt 1000 ] || fail "took $took ms to end"
    whole='^[^,]+,1\.53,37,3\.32,0\.64,137,36,298,57$'
    # Standard output: the header, whole rows of the first probe, one empty
    # row where it went, then (reconnect) whole rows again.
    head -n 1 "$scratch/out" | grep -q '^time,' || fail "no CSV header"
    # A readout the unplug cut in two is not whole either.
    pattern=$(tail -n +2 "$scratch/out" | sed -E "s/$whole/W/; /^W$/!s/.*/E/" | tr -d '\n' | tr -s W)
    want=WEW
    [ "$1" = reconnect-other ] && want=WE
    [ "$pattern" = "$want" ] || fail "rows are $pattern, wanted $want: $(cat "$scratch/out")"
    name_re=${name//./\\.}
    [ "$(program_err | grep -c "^talviro_read: probe $name_re lost at [0-9T:-]*; waiting for it to come back\$")" -eq 1 ] ||
      fail "no single lost line: $(program_err)"
    back=1
    [ "$1" = reconnect-other ] && back=0
    [ "$(program_err | grep -c "^talviro_read: probe $name_re back at [0-9T:-]*\$")" -eq "$back" ] ||
      fail "not $back back line: $(program_err)"
    program_err | grep -q '^probe away: 1 time, [0-9.]* s in all$' || fail "no time away: $(program_err)"
    # Nothing else: no probe link text, alone or run together.
    others=$(program_err | grep -Ev -e "^Serial: $name_re\$" -e "^talviro_read: probe $name_re (lost|back) at " \
               -e '^Summary of [0-9]+ readouts' -e '^(A1|I supply|V target|A0): ' -e '^Charge ' -e '^probe away: ' || true)
    [ -z "$others" ] || fail "more on stderr: $others"
    # The probe that came back is given back at the end; the other one
    # (reconnect-other) was never taken.
    free=1
    [ "$1" = reconnect-other ] && free=2
    grep -qx "probe $free channel B: kernel driver bound, not claimed, bit mode 00" "$state" ||
      fail "channel B of probe $free is held: $(cat "$state")"
    ;;
  window-options)
    # The window's command line is read before the toolkit starts: these
    # need no display.
    gui="$build/app/talviro_gui"
    set +e
    DISPLAY='' "$gui" --version > "$scratch/out" 2> "$scratch/err"; status=$?
    set -e
    [ "$status" -eq 0 ] || fail "--version: status $status: $(cat "$scratch/err")"
    expect_out "talviro_gui (TALVIRO Measurement) $(sed -n 's/^project(talviro VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
    set +e
    DISPLAY='' "$gui" --help > "$scratch/out" 2> "$scratch/err"; status=$?
    set -e
    [ "$status" -eq 0 ] && grep -q -- '--serial SN' "$scratch/out" || fail "--help: status $status: $(cat "$scratch/out")"
    for words in "--bogus" "--serial" "--serial=" "--version=1" "-x"; do
      set +e
      # shellcheck disable=SC2086  # one word or none
      DISPLAY='' "$gui" $words > "$scratch/out" 2> "$scratch/err"; status=$?
      set -e
      [ "$status" -eq 2 ] || fail "$words: status $status, wanted 2"
      [ "$(wc -l < "$scratch/err")" -eq 1 ] && grep -q '^talviro_gui: ' "$scratch/err" ||
        fail "$words: not one line: $(cat "$scratch/err")"
      [ ! -s "$scratch/out" ] || fail "$words: wrote to standard output"
    done
    ;;
  reconnect-revive)
    # An engine that dies during the third readout answers again once its
    # channel is reset and reopened: one empty row, then the run goes on.
    run --engine-dies-after 700 --engine-revives -- --reconnect --count 4 --interval 0.1 --csv
    [ "$status" -eq 0 ] || fail "status $status: $(program_err)"
    pattern=$(tail -n +2 "$scratch/out" | sed -E 's/^[^,]+,1\.53,37,3\.32,0\.64,137,36,298,57$/W/; /^W$/!s/.*/E/' | tr -d '\n')
    [ "$pattern" = WWEWW ] || fail "rows are $pattern: $(cat "$scratch/out")"
    echo "reconnect-revive: $ms ms"
    ;;
  *) echo "usage: programs.sh readings|busy-first-probe|list|list-held|no-permission|dead-engine|unplug|engine-dies|stop-silent|stop-healthy|stop-watch|reconnect|reconnect-no-serial|reconnect-other|reconnect-revive|window-options" >&2; exit 2 ;;
esac
echo "ok: $1"
