#!/usr/bin/env bash
# talviro_read_demo --watch in a real terminal: a 100x30 tmux pane, read with
# capture-pane and driven with send-keys. Every wait polls with a deadline.
#   watch_tmux.sh DEMO keys       rows, moving trends, r resets, q exits 0
#   watch_tmux.sh DEMO lost       the probe stops answering: "---", gaps, exit 3
#   watch_tmux.sh DEMO no-probe   the probe cannot be opened: exit 1, message
#   watch_tmux.sh DEMO stdin      no terminal on standard input: exit 2
# After each the terminal must be as before: same modes, normal screen,
# visible cursor.
set -euo pipefail
demo=$(realpath "$1")
case_name=$2
export LC_ALL=C.UTF-8  # the block characters, in the pane and in grep

work=$(mktemp -d)
tmx() { tmux -S "$work/socket" -f /dev/null "$@"; }
cleanup() {
  tmx kill-server 2> /dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

screen() { tmx capture-pane -p -N -t watch; }
fail() {
  echo "FAIL: $*" >&2
  echo "--- the pane:" >&2
  screen >&2 || true
  exit 1
}
# wait_for WHAT COMMAND...: runs COMMAND on the pane's text (on stdin) until
# it succeeds; fails after a deadline far beyond what a loaded machine needs.
deadline_s=30
wait_for() {
  local what=$1 end=$((SECONDS + deadline_s))
  shift
  until screen | "$@" > /dev/null; do
    [ "$SECONDS" -lt "$end" ] || fail "no $what within $deadline_s s"
    sleep 0.1
  done
}
wait_for_exit() {
  local end=$((SECONDS + deadline_s))
  until [ -e "$work/status" ]; do
    [ "$SECONDS" -lt "$end" ] || fail "the program did not end within $deadline_s s"
    sleep 0.1
  done
}
expect_status() {
  wait_for_exit
  [ "$(cat "$work/status")" = "$1" ] || fail "exit status $(cat "$work/status"), expected $1"
}
expect_terminal_restored() {
  cmp -s "$work/modes.before" "$work/modes.after" || fail "terminal modes changed"
  [ "$(tmx display -p -t watch '#{alternate_on}')" = 0 ] || fail "still on the alternate screen"
  [ "$(tmx display -p -t watch '#{cursor_flag}')" = 1 ] || fail "the cursor is hidden"
  ! screen | grep -q '^reading ' || fail "the view is still on the screen"
}
# The text of a row, "A1 ..." or "I supply ...".
row() { grep -E "^$1 "; }

# The pane records the terminal modes around the program and its status.
cat > "$work/pane.sh" << EOF
stty -g > '$work/modes.before'
"\$@"
status=\$?
stty -g > '$work/modes.after'
echo \$status > '$work/status.part' && mv '$work/status.part' '$work/status'
exec sleep 600
EOF
start() {  # start ENVIRONMENT... -- ARGS...
  local env=()
  while [ "$1" != -- ]; do env+=("$1"); shift; done
  shift
  tmx new-session -d -x 100 -y 30 -s watch env "${env[@]}" bash "$work/pane.sh" "$demo" "$@"
}

value='[0-9]+(\.[0-9]+)? (V|mA)'
glyph='[▁▂▃▄▅▆▇█]'
names='(A1|I supply|V target|A0)'
rows_with() {  # rows_with TREND_PATTERN NOW_PATTERN: all four rows match
  [ "$(grep -cE "^$names +$2 +$value +$value +$value  +$1\$")" = 4 ]
}

case "$case_name" in
keys)
  start LC_ALL=C.UTF-8 -- --watch --interval 0.2
  wait_for "title" grep -qE '^Serial: TV0001B  [0-9]{2}:[0-9]{2}:[0-9]{2}  readouts: [0-9]+  interval: 0\.2 s *$'
  wait_for "four rows with values, statistics and trends" rows_with " *$glyph{3,}" "$value"
  before=$(screen | row A1)
  wait_for "moving trend" bash -c "! grep -qxF -- \"\$1\"" _ "$before"
  screen | grep -qE "^reading +now +min +mean +max  trend since start, [0-9]+ readouts" \
    || fail "the heading does not count the readouts since start"

  tmx send-keys -t watch r
  wait_for "reset" grep -qE "trend since reset, "
  # After a reset the statistics cover fewer readouts than the title counts.
  total=$(screen | sed -nE 's/.*readouts: ([0-9]+).*/\1/p')
  covered=$(screen | sed -nE 's/.*trend since reset, ([0-9]+) readout.*/\1/p')
  [ "$covered" -lt "$total" ] || fail "after r the statistics cover $covered of $total readouts"

  tmx send-keys -t watch q
  expect_status 0
  expect_terminal_restored
  ;;
lost)
  # Five readouts, then the simulated probe is unplugged.
  start LC_ALL=C.UTF-8 TALVIRO_DEMO_UNPLUG_AFTER=5 -- --watch --interval 0.5
  wait_for "lost readouts" grep -qE 'readouts: ([7-9]|[1-9][0-9]+)  interval: 0\.5 s  TALVIRO not responding'
  # The latest value is "---", the statistics stay, the five whole readouts
  # are followed by gaps up to the right edge.
  first=$(screen)
  rows_with "$glyph{5} +" '--- (V|mA)' <<< "$first" || fail "rows do not show ---, statistics, and gaps"
  count=$(sed -nE 's/.*readouts: ([0-9]+).*/\1/p' <<< "$first")
  wait_for "next readout" grep -qE "readouts: $((count + 1)) "
  stats() { grep -E "^$names " | cut -c 20-46; }
  [ "$(screen | stats)" = "$(stats <<< "$first")" ] || fail "a lost readout changed the statistics"

  tmx send-keys -t watch q
  expect_status 3
  expect_terminal_restored
  ;;
no-probe)
  start TALVIRO_DEMO_UNPLUG_AFTER=0 -- --watch
  expect_status 1
  expect_terminal_restored
  ! screen | grep -q 'Unable to open FTDI Device' || fail "the probe link's text is shown"
  screen | grep -q '^talviro_read_demo: cannot open the probe: ' || fail "the explanation is missing"
  ;;
stdin)
  # Keys could never reach the view, and its key wait would spin.
  # shellcheck disable=SC2016  # expanded by the pane's shell
  tmx new-session -d -x 100 -y 30 -s watch \
    bash "$work/pane.sh" bash -c '"$0" --watch < /dev/null' "$demo"
  expect_status 2
  screen | grep -q -- '--watch needs a terminal on standard input and output' \
    || fail "the usage error is missing"
  ;;
*)
  echo "usage: watch_tmux.sh DEMO keys|lost|no-probe|stdin" >&2
  exit 2
  ;;
esac
echo "watch $case_name: ok"
