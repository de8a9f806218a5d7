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
    # A chip without a serial string has an empty serial, not a lone letter.
    run --no-serial -- --count 1
    [ "$status" -eq 0 ] || fail "no serial: status $status"
    tail -n 1 "$scratch/out" | grep -qx 'Serial: ' || fail "no serial: $(tail -n 1 "$scratch/out")"
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
    run --probes 2 -- --serial TV0002B --count 1
    [ "$status" -eq 0 ] || fail "serial: status $status: $(program_err)"
    expect_out "A1 = 4.68 V" "I supply = 92 mA" "V target = 1.67 V" "A0 = 8.91 V" "Serial: TV0002B"
    run --probes 2 -- --serial TV0003B --count 1
    [ "$status" -eq 1 ] || fail "unknown serial: status $status, wanted 1"
    program_err | grep -qx 'talviro_read: no probe has the serial number "TV0003B"; found: TV0001B, TV0002B' ||
      fail "unknown serial: $(program_err)"
    run --no-permission -- --list
    [ "$status" -eq 0 ] || fail "no permission: status $status"
    expect_out "? no permission"
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
    program_err | grep -q 'udev rule' || fail "the udev rule is not named: $(program_err)"
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
  *) echo "usage: programs.sh readings|busy-first-probe|list|list-held|no-permission|dead-engine|unplug" >&2; exit 2 ;;
esac
echo "ok: $1"
