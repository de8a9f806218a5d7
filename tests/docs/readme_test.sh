#!/usr/bin/env bash
# Checks the README's commands against the tree: the scripts it names exist
# and run, CI runs the README's test command, the files it names are there,
# and the talviro_read examples run as written and print what is shown.
#   readme_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
readme="$src/README.md"
fail() { echo "FAIL: $*" >&2; exit 1; }

# Command lines: indented code, with "$ " prompts where a block shows output.
commands=$(grep -E '^ {4,}[^ ]' "$readme" | sed -E 's/^ +//' | grep -vE '^[0-9]{4}-|^time,|^(A1|A0|I supply|V target) = |^Serial: ' | sed -E 's/^\$ //')
[ -n "$commands" ] || fail "no commands found in README.md"

while IFS= read -r line; do
  bash -n <<< "$line" || fail "not a valid shell command: $line"
done <<< "$commands"

for script in $(grep -oE '(^|[ (])scripts/[a-z-]+' <<< "$commands" | sed -E 's/^[ (]//' | sort -u); do
  [ -x "$src/$script" ] || fail "README names $script, which is not an executable script"
  bash -n "$src/$script" || fail "$script does not parse"
done
grep -qx 'exec scripts/test' "$src/.ci/run" || fail ".ci/run does not run the README's test command"
grep -q '^    scripts/test$' "$readme" || fail "README does not give scripts/test as the test command"

for path in $(grep -oE '(packaging|docs)/[A-Za-z0-9._/-]+' "$readme" | sort -u); do
  [ -e "$src/$path" ] || fail "README names $path, which does not exist"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The exporter's Prometheus set-up, as Prometheus' promtool reads it: the
# scrape job, then the alert rules it names. The alert fires once the target
# voltage has stayed below the threshold for 10 s, and not before.
awk -v dir="$work" '/^```yaml$/ { n++; on = 1; next } on && /^```$/ { on = 0; next } on { print > (dir "/yaml" n) }' "$readme"
[ -f "$work/yaml1" ] && [ -f "$work/yaml2" ] && [ ! -f "$work/yaml3" ] ||
  fail "README should hold two yaml blocks: prometheus.yml, then its alert rules"
rules=$(sed -n 's/^  - \(.*\.yml\)$/\1/p' "$work/yaml1")
[ -n "$rules" ] || fail "the prometheus.yml block names no rule file"
cp "$work/yaml1" "$work/prometheus.yml"
cp "$work/yaml2" "$work/$rules"
promtool check config "$work/prometheus.yml" > "$work/promtool.log" 2>&1 || fail "promtool check config: $(cat "$work/promtool.log")"
promtool check rules "$work/$rules" > "$work/promtool.log" 2>&1 || fail "promtool check rules: $(cat "$work/promtool.log")"
summary=$(sed -n 's/^ *summary: "\(.*\)"$/\1/p' "$work/$rules" | sed 's/{{ $labels.serial }}/TV0001B/; s/{{ $labels.instance }}/rack1:19265/')
cat > "$work/alert-test.yml" << EOF
rule_files: [$rules]
evaluation_interval: 1s
tests:
  - interval: 1s
    input_series:
      - series: 'talviro_target_voltage_volts{serial="TV0001B",instance="rack1:19265",job="talviro"}'
        values: '3.3 3.3 2.9x20'
    alert_rule_test:
      - eval_time: 11s
        alertname: TargetBrownOut
        exp_alerts: []
      - eval_time: 13s
        alertname: TargetBrownOut
        exp_alerts:
          - exp_labels: {severity: page, serial: TV0001B, instance: "rack1:19265", job: talviro}
            exp_annotations: {summary: "$summary"}
EOF
(cd "$work" && promtool test rules alert-test.yml) > "$work/promtool.log" 2>&1 ||
  fail "the alert rule does not fire after 10 s below the threshold: $(cat "$work/promtool.log")"
echo "README's prometheus.yml and alert rule checked with promtool"

# The terminal examples, run as written from a checkout built into build/.
ln -s "$build" "$work/build"
cd "$work"
while IFS= read -r line; do
  case "$line" in build/cli/talviro_read_demo*) ;; *) continue ;; esac
  bash -c "$line" > out.txt 2> err.txt || fail "'$line' failed: $(cat err.txt)"
  # Each shown block's lines, less the numbers, must match what ran.
  shown=$(awk -v cmd="    \$ $line" '$0 == cmd { on = 1; next } on && /^    [$] / { exit } on && /^    / { print substr($0, 5); next } on { exit }' "$readme")
  [ "$(wc -l <<< "$shown")" -eq "$(wc -l < out.txt)" ] || fail "'$line' printed $(wc -l < out.txt) lines, README shows $(wc -l <<< "$shown")"
  shape() { sed -E 's/[0-9]+/N/g'; }
  diff <(shape <<< "$shown") <(shape < out.txt) > /dev/null || fail "'$line' output differs in shape from README: $(cat out.txt)"
  echo "ran: $line"
done <<< "$commands"
echo "README commands checked"
