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
# prometheus.yml with the alerting rules the packages install (their own
# firing and not firing is tests/exporter's), and the job for an exporter
# behind TLS and a password, with the files it names made here. The web
# config beside that job is the exporter's to read: exporter.tls reads one.
awk -v dir="$work" '/^```yaml$/ { n++; on = 1; next } on && /^```$/ { on = 0; next } on { print > (dir "/yaml" n) }' "$readme"
prometheus_yml=$(grep -l '^scrape_configs:' "$work"/yaml* | head -n 1)
tls_job=$(grep -l '^  - job_name: .*' "$work"/yaml* | grep -vx "$prometheus_yml" | head -n 1)
[ -n "$prometheus_yml" ] || fail "README shows no prometheus.yml (a yaml block starting with scrape_configs:)"
[ -n "$tls_job" ] || fail "README shows no scrape job for an exporter behind TLS"
grep -q '^  - /usr/share/talviro/talviro-alerts.yml$' "$prometheus_yml" ||
  fail "README's prometheus.yml names no /usr/share/talviro/talviro-alerts.yml"
cp "$src/packaging/talviro-alerts.yml" "$work/talviro-alerts.yml"
sed "s|/usr/share/talviro/talviro-alerts.yml|$work/talviro-alerts.yml|" "$prometheus_yml" > "$work/prometheus.yml"
promtool check config "$work/prometheus.yml" > "$work/promtool.log" 2>&1 || fail "promtool check config: $(cat "$work/promtool.log")"
{
  echo "scrape_configs:"
  sed -E "s|(ca_file\|password_file): .*/([^/]+)$|\1: $work/\2|" "$tls_job"
} > "$work/prometheus-tls.yml"
for file in $(sed -nE 's/^ *(ca_file|password_file): (.*)$/\2/p' "$work/prometheus-tls.yml"); do
  echo secret > "$file"
done
promtool check config "$work/prometheus-tls.yml" > "$work/promtool.log" 2>&1 ||
  fail "promtool check config of the TLS job: $(cat "$work/promtool.log")"
echo "README's prometheus.yml and its TLS job checked with promtool"

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
