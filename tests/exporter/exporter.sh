#!/usr/bin/env bash
# talviro_exporter as a lab runs it, over modelled probes (scripts/simulated-usb:
# the real program, libftdi1 and the driver layer), scraped by curl over
# 127.0.0.1 and by a real Prometheus, over HTTP and over TLS.
#   exporter.sh CASE     (BUILD_DIR names the build folder)
# Every wait is bounded; the exporter and Prometheus are killed on the way out.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build="${BUILD_DIR:?BUILD_DIR names the build folder}"
exporter="$build/exporter/talviro_exporter"

scratch=$(mktemp -d)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do { kill -KILL "$pid" 2> /dev/null && wait "$pid" 2> /dev/null; } || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  # An exporter that ended says why last, after giving its probes back.
  if [ -n "${pid:-}" ] && ! kill -0 "$pid" 2> /dev/null; then
    local status=0
    wait "$pid" 2> /dev/null || status=$?
    echo "--- the exporter had ended, with status $status" >&2
  fi
  [ -f "$scratch/err" ] && { echo "--- exporter's standard error" >&2; grep -v -e '^\[' -e '^gmake' "$scratch/err" >&2 || true; }
  exit 1
}
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

# start [MODEL OPTIONS] -- [EXPORTER OPTIONS]: the exporter on a free
# loopback port over the bus the options describe, run through the command
# in preload if one is set; sets pid, port and started (ms, just before the
# program and its bus start).
preload=()
start() {
  local model=()
  while [ "$1" != -- ]; do model+=("$1"); shift; done
  shift
  local args=("$@")
  [[ " ${args[*]} " == *" --listen "* ]] || [ -n "${default_listen:-}" ] || args=(--listen 127.0.0.1:0 "${args[@]}")
  # Emptied here, not by the redirection in the background: the loop below
  # would read an earlier exporter's start-up line.
  : > "$scratch/err"
  # shellcheck disable=SC2016  # expanded by the inner shell
  "$root/scripts/simulated-usb" "${model[@]}" -- "${preload[@]}" bash -c 'now=$(date +%s%N); echo $((now / 1000000)) > "$0"; exec "$@"' \
    "$scratch/started" "$exporter" "${args[@]}" > "$scratch/out" 2> "$scratch/err" &
  pid=$!
  pids+=("$pid")
  port=""
  for _ in $(seq 1200); do
    port=$(sed -n 's#^talviro_exporter: serving https\?://.*:\([0-9]*\)/metrics$#\1#p' "$scratch/err")
    [ -n "$port" ] && break
    kill -0 "$pid" 2> /dev/null || fail "the exporter ended before serving"
    sleep 0.05
  done
  [ -n "$port" ] || fail "the exporter did not start serving"
  started=$(cat "$scratch/started")
}

# scrape [CURL OPTIONS]: /metrics into $scratch/scrape; sets took (seconds).
# Over TLS with a password when make_tls_pki set scrape_scheme and scrape_options.
scrape_scheme=http
scrape_options=()
scrape() {
  took=$(curl -sS --max-time 5 -o "$scratch/scrape" -w '%{time_total}' "${scrape_options[@]}" "$@" \
           "$scrape_scheme://127.0.0.1:$port/metrics") || fail "scrape failed"
}
has() { grep -qxF "$1" "$scratch/scrape"; }
# until_scrape LINE SECONDS: scrapes every 50 ms until one holds LINE.
until_scrape() {
  local tries=$(( $2 * 20 ))
  for _ in $(seq "$tries"); do
    scrape
    has "$1" && return 0
    sleep 0.05
  done
  fail "no scrape in $2 s held '$1'; the last: $(cat "$scratch/scrape")"
}
# stop_exporter SIGNAL: sends it; sets stop_ms and status.
stop_exporter() {
  local sent
  sent=$(now_ms)
  kill -"$1" "$pid"
  for _ in $(seq 300); do kill -0 "$pid" 2> /dev/null || break; sleep 0.01; done
  stop_ms=$(( $(now_ms) - sent ))
  kill -0 "$pid" 2> /dev/null && fail "still running $stop_ms ms after SIG$1"
  set +e; wait "$pid"; status=$?; set -e
}

# prometheus_with SCRAPE_CONFIGS: a real Prometheus scraping every second
# with these scrape_configs (YAML list items, indented by two); sets api.
prometheus_with() {
  local prom_port
  prom_port=$(comm -23 <(seq 20000 20999) <(ss -Htan | awk '{print $4}' | sed 's/.*://' | sort -u) | shuf -n 1)
  printf 'global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\nscrape_configs:\n%s\n' "$1" > "$scratch/prometheus.yml"
  prometheus --config.file="$scratch/prometheus.yml" --storage.tsdb.path="$scratch/tsdb" \
    --web.listen-address="127.0.0.1:$prom_port" > "$scratch/prometheus.log" 2>&1 &
  pids+=($!)
  api="http://127.0.0.1:$prom_port/api/v1"
}

# The PKI, web.yml and the --web.config.file checks shared with the Windows
# build's test; make_tls_pki makes them and has scrape() go over TLS with
# web.yml's password.
exporter_errors() { cat "$scratch/err"; }
exporter_once() {
  set +e
  "$exporter" "$@" > /dev/null 2> "$scratch/once.err"
  status=$?
  set -e
}
# shellcheck source=SCRIPTDIR/web_config_checks.sh
. "$here/web_config_checks.sh"
make_tls_pki() {
  make_pki
  scrape_scheme=https
  scrape_options=(--cacert "$scratch/ca.crt" -u 'prometheus:a secret')
}

# The readings of the model's bench inputs (chipmodel/probe_chip.h) as the
# probes' arithmetic gives them, for TV0001B and TV0002B.
probe_lines() {
  case "$1" in
    TV0001B) printf '%s\n' \
      'talviro_target_voltage_volts{serial="TV0001B"} 3.3205714' \
      'talviro_supply_current_amperes{serial="TV0001B"} 0.03692308' \
      'talviro_input_voltage_volts{serial="TV0001B",input="A0"} 0.63514286' \
      'talviro_input_voltage_volts{serial="TV0001B",input="A1"} 1.5265715' ;;
    TV0002B) printf '%s\n' \
      'talviro_target_voltage_volts{serial="TV0002B"} 1.6714286' \
      'talviro_supply_current_amperes{serial="TV0002B"} 0.0923077' \
      'talviro_input_voltage_volts{serial="TV0002B",input="A0"} 8.914286' \
      'talviro_input_voltage_volts{serial="TV0002B",input="A1"} 4.6800003' ;;
  esac
}
expect_readings() {
  local line
  while read -r line; do has "$line" || fail "$1: no '$line' in: $(cat "$scratch/scrape")"; done < <(probe_lines "$1")
}
expect_no_readings() {
  ! grep -E "_(volts|amperes)\{serial=\"$1\"" "$scratch/scrape" || fail "$1 away, but readings served"
}

case "${1:-}" in
  scrape)
    # Two probes with different inputs, every probe found without --serial.
    start --probes 2 -- --interval 0.2
    until_scrape 'talviro_probe_up{serial="TV0002B"} 1' 10
    until_scrape 'talviro_probe_up{serial="TV0001B"} 1' 10
    expect_readings TV0001B
    expect_readings TV0002B
    has 'talviro_exporter_build_info{version="'"$("$exporter" --version | awk '{print $NF}')"'"} 1' ||
      fail "no build info: $(cat "$scratch/scrape")"
    # The README's example scrape: the same series, in the order served.
    series() { grep -E '^talviro_[a-z_]+\{(serial="TV0001B"|version=)' | sed 's/ .*//'; }
    [ "$(series < "$root/README.md")" = "$(series < "$scratch/scrape")" ] ||
      fail "the README's example scrape differs in its series or their order from: $(cat "$scratch/scrape")"
    promtool check metrics < "$scratch/scrape" > "$scratch/promtool" 2>&1 || fail "promtool: $(cat "$scratch/promtool")"
    [ ! -s "$scratch/promtool" ] || fail "promtool finds problems: $(cat "$scratch/promtool")"
    # The wire: content type, HEAD without a body, the page, the health check, 404 and 405.
    headers=$(curl -sS --max-time 5 -D - -o /dev/null "http://127.0.0.1:$port/metrics" | tr -d '\r')
    grep -qx 'Content-Type: text/plain; version=0.0.4' <<< "$headers" || fail "content type: $headers"
    [ -z "$(curl -sS --max-time 5 -I "http://127.0.0.1:$port/metrics" -o /dev/null -w '%{size_download}' | tr -d 0)" ] ||
      fail "HEAD sent a body"
    curl -sS --max-time 5 "http://127.0.0.1:$port/" | grep -q '<a href="/metrics">' || fail "no link on /"
    for row in /metrics/:404 /favicon.ico:404 /api:404 /-/healthy:200 /-/healthy/:404; do
      code=$(curl -s --max-time 5 -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port${row%:*}")
      [ "$code" = "${row##*:}" ] || fail "GET ${row%:*}: $code"
    done
    [ "$(curl -sS --max-time 5 "http://127.0.0.1:$port/-/healthy")" = OK ] || fail "/-/healthy does not say OK"
    for method in POST PUT DELETE OPTIONS PATCH; do
      code=$(curl -s --max-time 5 -X "$method" -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/metrics")
      [ "$code" = 405 ] || fail "$method /metrics: $code"
    done
    stop_exporter TERM
    # Only the probes named are taken; one that cannot be had is up 0, and
    # why is said once, in a line of its own, for each of them.
    start --probes 3 --busy 1 -- --serial TV0002B --serial TV0009B --serial TV0001B --serial TV0002 \
      --interval 0.2
    until_scrape 'talviro_probe_up{serial="TV0002B"} 1' 10
    for serial in TV0009B TV0001B TV0002; do
      has "talviro_probe_up{serial=\"$serial\"} 0" || fail "$serial: $(cat "$scratch/scrape")"
    done
    ! grep -q 'TV0003B' "$scratch/scrape" || fail "TV0003B read without being named"
    sleep 1.2  # a few looks more for each
    found='found: TV0001B, TV0002B, TV0003B'
    for line in "TV0009B: no probe has the serial number \"TV0009B\"; $found" \
                "TV0001B: probe TV0001B was found but may not be opened: another program holds it" \
                "TV0002: no probe has the serial number \"TV0002\"; $found (a serial number ends in its channel letter: TV0002B)"; do
      [ "$(grep -cxF "talviro_exporter: waiting for probe $line" "$scratch/err")" -eq 1 ] ||
        fail "not once: waiting for probe $line"
    done
    [ "$(grep -c 'waiting for probe' "$scratch/err")" -eq 3 ] || fail "more waiting lines than reasons"
    ;;
  prometheus)
    # A real Prometheus scrapes every second and answers a query with both
    # probes. It loads the shipped alerting rules, and every query of the
    # shipped dashboard returns both probes' data.
    start --probes 2 -- --interval 0.5
    prom_port=$(comm -23 <(seq 20000 20999) <(ss -Htan | awk '{print $4}' | sed 's/.*://' | sort -u) | shuf -n 1)
    cat > "$scratch/prometheus.yml" <<EOF
global:
  scrape_interval: 1s
  evaluation_interval: 1s
rule_files:
  - $root/packaging/talviro-alerts.yml
scrape_configs:
  - job_name: talviro
    static_configs:
      - targets: ['127.0.0.1:$port']
EOF
    prometheus --config.file="$scratch/prometheus.yml" --storage.tsdb.path="$scratch/tsdb" \
      --web.listen-address="127.0.0.1:$prom_port" > "$scratch/prometheus.log" 2>&1 &
    pids+=($!)
    query="http://127.0.0.1:$prom_port/api/v1/query?query=talviro_target_voltage_volts"
    for _ in $(seq 120); do
      curl -s --max-time 2 "$query" > "$scratch/query" || true
      grep -q '"serial":"TV0001B"' "$scratch/query" && grep -q '"serial":"TV0002B"' "$scratch/query" && break
      sleep 0.25
    done
    grep -q '"serial":"TV0001B".*"3.3205714"\|"3.3205714".*"serial":"TV0001B"' "$scratch/query" ||
      fail "Prometheus: $(cat "$scratch/query"); log: $(tail -n 5 "$scratch/prometheus.log")"
    grep -q '"serial":"TV0002B"' "$scratch/query" || fail "Prometheus: $(cat "$scratch/query")"
    echo "Prometheus on 127.0.0.1:$prom_port answered: $(cat "$scratch/query")"
    api="http://127.0.0.1:$prom_port/api/v1"
    rules=$(curl -sS --max-time 5 "$api/rules" | jq -r '.data.groups[].rules[] | "\(.name) \(.health)"')
    [ "$(grep -c ' ok$' <<< "$rules")" -eq "$(grep -c -- '- alert:' "$root/packaging/talviro-alerts.yml")" ] ||
      fail "the rules as Prometheus loaded them: $rules"
    # The dashboard's variables as Grafana fills them: every probe, and a
    # rate interval of four scrapes.
    serials=$(curl -sS --max-time 5 -G "$api/label/serial/values" --data-urlencode 'match[]=talviro_probe_up' |
              jq -r '.data | join("|")')
    [ "$serials" = "TV0001B|TV0002B" ] || fail "the dashboard's probes: $serials"
    queries=0
    while read -r expr; do
      expr=${expr//\$serial/$serials}
      expr=${expr//\$__rate_interval/4s}
      for _ in $(seq 40); do
        curl -sS --max-time 5 -G "$api/query" --data-urlencode "query=$expr" > "$scratch/panel" || true
        [ "$(jq -r '[.data.result[].metric.serial] | unique | join("|")' "$scratch/panel")" = "$serials" ] && break
        sleep 0.25
      done
      [ "$(jq -r '[.data.result[].metric.serial] | unique | join("|")' "$scratch/panel")" = "$serials" ] ||
        fail "the dashboard's query $expr: $(cat "$scratch/panel")"
      queries=$((queries + 1))
    done < <(jq -r '.panels[].targets[].expr' "$root/packaging/talviro-dashboard.json")
    echo "the dashboard's $queries queries returned both probes' data; $(wc -l <<< "$rules") rules loaded"
    ;;
  unplug)
    # TV0001B vanishes 2 s in and comes back 2 s later at a new address; TV0002B stays.
    start --probes 2 --unplug-after 2000 --unplug-only 1 --replug-after 2000 -- --interval 0.5
    until_scrape 'talviro_probe_up{serial="TV0001B"} 1' 10
    until_scrape 'talviro_probe_up{serial="TV0001B"} 0' 10
    down=$(( $(now_ms) - started ))
    # Two intervals after the unplug, and the scrape's own 50 ms.
    [ "$down" -le $(( 2000 + 2 * 500 + 50 )) ] || fail "up 0 only $down ms after the start"
    expect_no_readings TV0001B
    expect_readings TV0002B
    before=$(sed -n 's/^talviro_readouts_total{serial="TV0002B"} //p' "$scratch/scrape")
    sleep 1
    scrape
    has 'talviro_probe_up{serial="TV0001B"} 0' || fail "TV0001B back too early"
    expect_readings TV0002B
    after=$(sed -n 's/^talviro_readouts_total{serial="TV0002B"} //p' "$scratch/scrape")
    [ "$after" -gt "$before" ] || fail "TV0002B not read while TV0001B was away ($before, $after)"
    until_scrape 'talviro_probe_up{serial="TV0001B"} 1' 10
    back=$(( $(now_ms) - started ))
    expect_readings TV0001B
    [ "$back" -le $(( 4000 + 500 + 500 + 1000 )) ] || fail "back only $back ms after the start"
    # The unplug adds one line when it goes and one when it is back, and
    # nothing else: no probe link text, alone or run together.
    [ "$(grep -c '^talviro_exporter: probe TV0001B lost at .*; waiting for it to come back$' "$scratch/err")" -eq 1 ] ||
      fail "not one lost line"
    [ "$(grep -c '^talviro_exporter: probe TV0001B back at ' "$scratch/err")" -eq 1 ] || fail "not one back line"
    others=$(grep -Ev -e '^\[' -e '^gmake' -e '^talviro_exporter: (serving http|reading probe TV000[12]B$)' \
               -e '^talviro_exporter: probe TV0001B (lost|back) at ' "$scratch/err" || true)
    [ -z "$others" ] || fail "more on stderr: $others"
    echo "unplug: up 0 at $down ms, back at $back ms (unplug at 2000, replug at 4000)"
    ;;
  no-serial)
    # Chips without a serial: each probe is named by its USB port in the
    # labels and the lines, and the one unplugged comes back at its port.
    start --probes 2 --no-serial --unplug-after 1000 --unplug-only 1 --replug-after 1000 -- --interval 0.2
    until_scrape 'talviro_probe_up{serial="usb:1-1.1"} 1' 10
    # The same scrape: up 1 comes with the readings.
    grep -q '^talviro_target_voltage_volts{serial="usb:1-1.1"} 3.3205714$' "$scratch/scrape" ||
      fail "no readings of usb:1-1.1: $(cat "$scratch/scrape")"
    until_scrape 'talviro_probe_up{serial="usb:1-1.2"} 1' 10
    until_scrape 'talviro_probe_up{serial="usb:1-1.1"} 0' 10
    until_scrape 'talviro_probe_up{serial="usb:1-1.1"} 1' 10
    [ "$(grep -c '^talviro_probe_up' "$scratch/scrape")" -eq 2 ] || fail "probes: $(cat "$scratch/scrape")"
    [ "$(grep -c '^talviro_exporter: probe usb:1-1\.1 lost at ' "$scratch/err")" -eq 1 ] || fail "not one lost line"
    [ "$(grep -c '^talviro_exporter: probe usb:1-1\.1 back at ' "$scratch/err")" -eq 1 ] || fail "not one back line"
    ;;
  plugged-later)
    # TV0002B arrives 1 s after the start: found by the listing every 2 s.
    start --probes 2 --unplug-after 0 --unplug-only 2 --replug-after 1000 -- --interval 0.5
    until_scrape 'talviro_probe_up{serial="TV0001B"} 1' 10
    ! grep -q TV0002B "$scratch/scrape" || fail "TV0002B before it arrived"
    until_scrape 'talviro_probe_up{serial="TV0002B"} 1' 10
    found=$(( $(now_ms) - started ))
    [ "$found" -le $(( 1000 + 2000 + 500 + 500 )) ] || fail "TV0002B found only $found ms after the start"
    expect_readings TV0002B
    ;;
  silent)
    # Both engines die during a readout, the chips staying on the bus: the
    # loop waits out a read time-out, then looks for them every 0.5 s.
    # Scrapes answer from the board all along: each within 0.1 s, as under
    # attack, where one held by the 0.4 s read would wait out most of it.
    start --probes 2 --engine-dies-after 700 -- --interval 0.2
    until_scrape 'talviro_probe_up{serial="TV0001B"} 1' 10
    slowest=0
    for _ in $(seq 200); do
      scrape
      slowest=$(awk -v a="$slowest" -v b="$took" 'BEGIN { print (b > a) ? b : a }')
      has 'talviro_probe_up{serial="TV0001B"} 0' && has 'talviro_probe_up{serial="TV0002B"} 0' && break
      sleep 0.05
    done
    has 'talviro_probe_up{serial="TV0001B"} 0' || fail "TV0001B still up: $(cat "$scratch/scrape")"
    expect_no_readings TV0001B
    awk -v s="$slowest" 'BEGIN { exit !(s < 0.1) }' || fail "a scrape while a probe was silent took $slowest s"
    grep -q '^talviro_failed_readouts_total{serial="TV0001B"} [1-9]' "$scratch/scrape" || fail "no failed readout"
    echo "silent: the slowest scrape took $slowest s"
    ;;
  limits | limits-tls)
    # For 20 s, 200 connections trickling a header byte every 0.3 s and 64
    # sending endless header lines (talviro_http_clients, from 127.0.0.2:
    # another computer than the scraper's 127.0.0.1), while a scrape
    # every half second answers within 100 ms and the resident memory stays
    # under 32 MB. The bounds themselves: exporter_test.cpp's ExporterHttp.
    # Under TLS with basic auth (limits-tls) the trickling connections are
    # handshakes that never finish, and four clients from 127.0.0.3 send
    # wrong passwords back to back besides, each costing a bcrypt check.
    if [ "$1" = limits-tls ]; then
      make_tls_pki
      start --probes 1 -- --interval 0.2 --web.config.file "$scratch/web.yml"
    else
      start --probes 1 -- --interval 0.2
    fi
    until_scrape 'talviro_probe_up{serial="TV0001B"} 1' 10
    "${HTTP_CLIENTS:?HTTP_CLIENTS names talviro_http_clients}" "$port" 20 200 64 > "$scratch/clients" &
    clients=$!
    pids+=("$clients")
    wrong_clients=()
    if [ "$1" = limits-tls ]; then
      # At a lower priority than the exporter, as clients on another
      # computer would be: their own TLS and process costs are not its.
      for _ in 1 2 3 4; do
        while kill -0 "$clients" 2> /dev/null; do
          nice -n 10 curl -s --max-time 5 --interface 127.0.0.3 --cacert ca.crt -u 'prometheus:wrong' -o /dev/null \
            -w '%{http_code}\n' "https://127.0.0.1:$port/metrics" || true
        done >> "$scratch/wrong" &
        wrong_clients+=($!)
        pids+=($!)
      done
    fi
    sleep 1
    slowest=0
    scrapes=0
    while kill -0 "$clients" 2> /dev/null; do
      scrape
      scrapes=$((scrapes + 1))
      has 'talviro_probe_up{serial="TV0001B"} 1' || fail "scrape $scrapes under attack: $(cat "$scratch/scrape")"
      slowest=$(awk -v a="$slowest" -v b="$took" 'BEGIN { print (b > a) ? b : a }')
      sleep 0.5
    done
    wait "$clients" || fail "talviro_http_clients: $(cat "$scratch/clients")"
    peak_kb=$(sed -n 's/^VmHWM:[[:space:]]*\([0-9]*\) kB$/\1/p' "/proc/$pid/status")
    echo "limits: $scrapes scrapes under attack, the slowest $slowest s; peak resident memory $peak_kb kB; $(cat "$scratch/clients")"
    [ "$scrapes" -ge 20 ] || fail "only $scrapes scrapes in 19 s"
    awk -v s="$slowest" 'BEGIN { exit !(s < 0.1) }' || fail "a scrape under attack took $slowest s"
    # AddressSanitizer's shadow memory and quarantine say nothing of the
    # program's own: the sanitizer build checks the rest only. grep reads
    # the whole list: with -q it could leave ldd writing into a closed pipe,
    # and pipefail would take that SIGPIPE for "no libasan".
    if ldd "$exporter" | grep libasan > /dev/null; then
      echo "limits: a sanitizer build; its resident memory is not the program's"
    else
      [ "$peak_kb" -lt $((32 * 1024)) ] || fail "resident memory reached $peak_kb kB"
    fi
    if [ "$1" = limits-tls ]; then
      wait "${wrong_clients[@]}"
      wrong=$(sort "$scratch/wrong" | uniq -c | awk '{printf "%s%s %s", sep, $1, $2; sep=", "}')
      echo "limits-tls: wrong passwords answered (count, status): $wrong"
      grep -qx 401 "$scratch/wrong" || fail "no wrong password answered 401: $wrong"
      ! grep -qx 200 "$scratch/wrong" || fail "a wrong password served: $wrong"
    else
      grep -q 'answered 431: [1-9]' "$scratch/clients" || fail "no flood answered 431: $(cat "$scratch/clients")"
      grep -q 'answered otherwise: 0,' "$scratch/clients" || fail "an endless header answered: $(cat "$scratch/clients")"
    fi
    ;;
  tls)
    # --web.config.file: TLS and basic auth, as Prometheus' own exporters
    # read it. A test CA signs the exporter's certificate (for 127.0.0.1)
    # and a client's; the password's hash is htpasswd's.
    make_tls_pki
    start --probes 2 -- --interval 0.2 --web.config.file "$scratch/web.yml"
    grep -qxF "talviro_exporter: serving https://127.0.0.1:$port/metrics" "$scratch/err" || fail "no https in the start-up line"
    for _ in $(seq 100); do
      tls_curl -u 'prometheus:a secret' -o "$scratch/scrape" "https://127.0.0.1:$port/metrics"
      has 'talviro_probe_up{serial="TV0002B"} 1' && has 'talviro_probe_up{serial="TV0001B"} 1' && break
      sleep 0.1
    done
    expect_readings TV0001B
    expect_readings TV0002B
    served_checks

    # A real Prometheus over TLS: with the password, both probes' readings;
    # with a wrong one, the target down with 401. Its password is checked at
    # the lowest priority, which on a busy machine takes longer than the
    # 1 s the other job waits.
    prometheus_with "  - job_name: good
    scheme: https
    tls_config: {ca_file: $scratch/ca.crt}
    basic_auth: {username: prometheus, password: 'a secret'}
    static_configs: [{targets: ['127.0.0.1:$port']}]
  - job_name: wrong
    scrape_interval: 5s
    scrape_timeout: 5s
    scheme: https
    tls_config: {ca_file: $scratch/ca.crt}
    basic_auth: {username: prometheus, password: 'not it'}
    static_configs: [{targets: ['127.0.0.1:$port']}]"
    for _ in $(seq 120); do
      curl -s --max-time 2 -G "$api/query" --data-urlencode 'query=talviro_target_voltage_volts{job="good"}' > "$scratch/query" || true
      [ "$(jq -r '[.data.result[].metric.serial] | sort | join(",")' "$scratch/query" 2> /dev/null)" = TV0001B,TV0002B ] && break
      sleep 0.25
    done
    grep -q '"serial":"TV0001B".*"3.3205714"\|"3.3205714".*"serial":"TV0001B"' "$scratch/query" ||
      fail "Prometheus over TLS: $(cat "$scratch/query"); log: $(tail -n 5 "$scratch/prometheus.log")"
    for _ in $(seq 120); do
      curl -s --max-time 2 "$api/targets" |
        jq -r '.data.activeTargets[] | select(.labels.job == "wrong") | "\(.health) \(.lastError)"' > "$scratch/wrong" || true
      grep -q '^down .*401' "$scratch/wrong" && break
      sleep 0.25
    done
    grep -q '^down .*401' "$scratch/wrong" || fail "the target with a wrong password: $(cat "$scratch/wrong")"
    echo "tls: Prometheus scraped both probes over TLS; with a wrong password: $(cat "$scratch/wrong")"

    change_checks
    stop_exporter TERM
    refused_at_start_checks
    ;;
  descriptors)
    # Under ulimit -n 64 the exporter says the cap it serves at start, and a
    # scrape while 60 connections sit idle answers within 100 ms: they make
    # room for it instead of accept() running out of files.
    preload=(bash -c 'ulimit -n 64 && exec "$@"' ulimit)
    start --probes 2 -- --interval 0.2
    grep -qxF 'talviro_exporter: serving at most 32 connections at once, not 128: this process may open only 64 files (ulimit -n)' \
      "$scratch/err" || fail "the cap is not said at start"
    until_scrape 'talviro_probe_up{serial="TV0002B"} 1' 10
    until_scrape 'talviro_probe_up{serial="TV0001B"} 1' 10
    idle=()
    for _ in $(seq 60); do
      exec {fd}<> "/dev/tcp/127.0.0.1/$port"
      idle+=("$fd")
    done
    sleep 0.3  # for the exporter to take them all
    slowest=0
    for _ in $(seq 5); do
      scrape
      has 'talviro_probe_up{serial="TV0001B"} 1' || fail "scrape during 60 idle connections: $(cat "$scratch/scrape")"
      slowest=$(awk -v a="$slowest" -v b="$took" 'BEGIN { print (b > a) ? b : a }')
    done
    for fd in "${idle[@]}"; do exec {fd}>&-; done
    echo "descriptors: the slowest of 5 scrapes during 60 idle connections took $slowest s"
    awk -v s="$slowest" 'BEGIN { exit !(s < 0.1) }' || fail "a scrape during 60 idle connections took $slowest s"
    ;;
  stop)
    # SIGINT and SIGTERM, with a connection held open that sends nothing:
    # the program ends within a second, every channel B given back.
    for signal in INT TERM; do
      start --probes 2 --state-file "$scratch/state" -- --interval 0.2
      until_scrape 'talviro_probe_up{serial="TV0002B"} 1' 10
      until_scrape 'talviro_probe_up{serial="TV0001B"} 1' 10
      exec {idle}<> "/dev/tcp/127.0.0.1/$port"
      stop_exporter "$signal"
      exec {idle}>&-
      echo "stop: SIG$signal ended it in $stop_ms ms, status $status"
      [ "$stop_ms" -lt 1000 ] || fail "SIG$signal: took $stop_ms ms"
      [ "$status" -eq 0 ] || fail "SIG$signal: status $status"
      for probe in 1 2; do
        grep -qx "probe $probe channel B: kernel driver bound, not claimed, bit mode 00" "$scratch/state" ||
          fail "SIG$signal: probe $probe's channel B not given back: $(cat "$scratch/state")"
      done
    done
    ;;
  listener)
    # The listener's accept() fails (accept_fails, preloaded). ENOBUFS is
    # ridden out: a scrape waiting meanwhile is served once it passes.
    # EINVAL ends the program within a second with its line and status 1,
    # every channel B given back.
    trigger=$scratch/accept-fails
    # In the sanitizer build the shim comes before AddressSanitizer's
    # runtime, which then must not insist on coming first.
    preload=(env LD_PRELOAD="${ACCEPT_FAILS:?ACCEPT_FAILS names accept_fails}" TALVIRO_ACCEPT_FAILS="$trigger"
             ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0")
    start --probes 2 --state-file "$scratch/state" -- --interval 0.2
    until_scrape 'talviro_probe_up{serial="TV0002B"} 1' 10
    until_scrape 'talviro_probe_up{serial="TV0001B"} 1' 10
    echo ENOBUFS > "$trigger"
    curl -sS --max-time 5 -o "$scratch/waited" "http://127.0.0.1:$port/metrics" &
    waiting=$!
    sleep 0.5
    kill -0 "$pid" 2> /dev/null || fail "ended on ENOBUFS"
    rm "$trigger"
    wait "$waiting" || fail "the scrape that waited out ENOBUFS failed"
    grep -qxF 'talviro_probe_up{serial="TV0001B"} 1' "$scratch/waited" || fail "after ENOBUFS: $(cat "$scratch/waited")"
    echo EINVAL > "$trigger"
    sent=$(now_ms)
    curl -s --max-time 2 -o /dev/null "http://127.0.0.1:$port/metrics" || true
    for _ in $(seq 300); do kill -0 "$pid" 2> /dev/null || break; sleep 0.01; done
    took=$(( $(now_ms) - sent ))
    kill -0 "$pid" 2> /dev/null && fail "still running $took ms after accept failed"
    set +e; wait "$pid"; status=$?; set -e
    echo "listener: accept's EINVAL ended it in $took ms, status $status"
    [ "$status" -eq 1 ] || fail "status $status after accept failed"
    [ "$took" -lt 1000 ] || fail "took $took ms to end after accept failed"
    grep -qxF "talviro_exporter: stopped listening on 127.0.0.1:$port: accept: Invalid argument" "$scratch/err" ||
      fail "no line saying the listener stopped"
    for probe in 1 2; do
      grep -qx "probe $probe channel B: kernel driver bound, not claimed, bit mode 00" "$scratch/state" ||
        fail "probe $probe's channel B not given back: $(cat "$scratch/state")"
    done
    ;;
  listen)
    # The default address is loopback's; a port taken is an error, never shared.
    default_listen=1 start --probes 1 --
    first=$pid
    # Listening on 127.0.0.1:19265 only: in /proc/net/tcp's hex, state 0A.
    grep -q ' 0100007F:4B41 00000000:0000 0A ' /proc/net/tcp || fail "not listening on 127.0.0.1:19265"
    ! grep -q ':4B41 0\+:0000 0A ' /proc/net/tcp6 || fail "listening on IPv6 too"
    [ "$(grep -c ':4B41 0\+:0000 0A ' /proc/net/tcp)" -eq 1 ] || fail "listening on more than loopback"
    set +e
    # One that could share the port would serve on: 10 s at most.
    timeout 10 "$root/scripts/simulated-usb" -- "$exporter" --listen 127.0.0.1:19265 > "$scratch/out2" 2> "$scratch/err2"
    status=$?
    set -e
    [ "$status" -eq 1 ] || fail "a second exporter on the default port: status $status"
    grep -q '^talviro_exporter: cannot listen on 127.0.0.1:19265: ' "$scratch/err2" || fail "$(cat "$scratch/err2")"
    pid=$first
    stop_exporter TERM
    # A usage error: status 2, the error (its words: exporter_test.cpp) and the hint.
    set +e
    "$exporter" --listen 19265 2> "$scratch/err2"
    status=$?
    set -e
    [ "$status" -eq 2 ] && [ "$(tail -n 1 "$scratch/err2")" = "Try 'talviro_exporter --help'." ] || fail "usage error: $status"
    ;;
  *) echo "exporter.sh: unknown case '${1:-}'" >&2; exit 2 ;;
esac
echo "exporter.sh $1: ok"
