#!/usr/bin/env bash
# A tour of vntaccess on the sample plant (make demo): browsing,
# a read, a write and its read-back, history with outsiders as a table and
# a chart, several records on one chart, a time-weighted average per day, a
# live view bounded by --count, JSON for scripts, and a mistake.
# Usage: examples/demo.sh PATH/TO/vntaccess [FOLDER FOR THE CHART]
# The plant is imported from examples/plant.json into a new database in a
# temporary folder that is removed afterwards; plant.json is never written.
set -euo pipefail

vntaccess="$(realpath "${1:?usage: demo.sh PATH/TO/vntaccess [CHART FOLDER]}")"
charts="$(realpath -m "${2:-.}")"
examples="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d "${TMPDIR:-/tmp}/vantrel-demo.XXXXXX")"
trap 'rm -rf "$work"' EXIT
original="$(sha256sum < "$examples/plant.json")"

# The demo's database, imported below; its query files lie next to it.
database="$work/plant.db"
cp -r "$examples/queries" "$work/"

bold="" plain=""
if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; fi
step() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }
show() { printf '$ %s\n' "$*"; }
# The words of a command as one would type them: quoted where they hold blanks.
typed() {
  local word text=""
  for word in "$@"; do
    if [[ "$word" == *[[:space:]]* ]]; then word="\"$word\""; fi
    text+="${text:+ }$word"
  done
  printf '%s' "$text"
}
vntaccess() { "$vntaccess" --database "$database" "$@"; }
run() {
  show "vntaccess $(typed "$@")"
  vntaccess "$@"
}

echo "vntaccess on the sample plant; times are local ($(date +%Z)), --utc shows UTC"

step "A new database (a folder) from the plant's JSON file, and its integrity check"
show "vntaccess import examples/plant.json plant.db"
(cd "$examples/.." && "$vntaccess" import examples/plant.json "$database" | sed "s|$work/||")
show "vntaccess check plant.db"
(cd "$work" && "$vntaccess" check plant.db)

step "Browsing: environment variables and what a definition defines"
run server env DORVIK_GROUP_NAME VANTREL_VERSION
run fields VN_DiscreteDef

step "A read: fields in the order asked, quality only where a field keeps it, a repeat area"
run read TI101 DESCRIPTION VALUE UNITS TREND
run read TI101,TI102,PI201 VALUE UNITS

step "A write and its read-back by another process; a selector takes its text"
run write TI101 VALUE 74.25 --time "2024-03-07 02:00"
run read TI101 VALUE
run write P101 MODE ON
run read P101 MODE

step "History with one value outside each end (and a quality change), as a table and a chart"
mkdir -p "$charts"
run history PI201 VALUE --from "2024-03-05 04:00" --to "2024-03-05 10:00" --outsiders BothA \
  --plot "$charts/trend.svg"

step "Several records on one time axis, and one chart with an axis per unit"
run history TI101 TI102 PI201 VALUE --from "2024-03-06 20:00" --to "2024-03-06 22:00" \
  --plot "$charts/plant.svg"

step "A time-weighted average per interval (the value before each interval holds at its start)"
run history TI101 VALUE --from 2024-03-04 --to 2024-03-07 --every 1d --agg min,avg,max,count

step "A live view: read again every second, appended in a pipe, stopped after three reads"
run read 'TI10?' VALUE --watch 1s --count 3

step "JSON for scripts: plain values, times that jq's fromdate reads"
when='.TI101.VALUE | "\(.value) at \(.time | fromdate | todate)"'
show "vntaccess read TI101 VALUE --json | jq -r '$when'"
vntaccess read TI101 VALUE --json | jq -r "$when"
average='[.values[].value] | add / length * 100 | round / 100'
show "vntaccess history PI201 VALUE --from 2024-03-05 --to 2024-03-06 --json | jq '$average'"
vntaccess history PI201 VALUE --from 2024-03-05 --to 2024-03-06 --json | jq "$average"

step "A mistake: a decimal comma is refused, not stored as 745"
show "vntaccess write TI101 VALUE 74,5"
set +e
vntaccess write TI101 VALUE 74,5
code=$?
set -e
echo "(exit code $code; TI101 VALUE is still $(vntaccess read TI101 VALUE --json | jq '.TI101.VALUE.value'))"

step "Nothing it did not do: a dry run names what the database would refuse"
refused() {
  show "vntaccess $(typed "$@")"
  set +e
  vntaccess "$@"
  echo "(exit code $?)"
  set -e
}
refused --dry-run write TI101 DESCRIPTION "Inlet"
refused write TI101 TREND 1e-50
refused write TI101 VALUE 1 --time "2024-10-27 02:30" --tz Europe/Berlin
run write TI101 VALUE 1 --time "2024-10-27 02:30+02:00" --tz Europe/Berlin
run read TI101 VALUE --tz Europe/Berlin

step "A script stops at its first failing line and says which"
script=$'read TI101 UNITS\nread TI999 VALUE\nwrite TI101 VALUE 0\n'
show "printf '${script//$'\n'/\\n}' | vntaccess --database plant.db"
set +e
printf '%s' "$script" | vntaccess
echo "(exit code $?; TI101 VALUE is still $(vntaccess read TI101 VALUE --json | jq '.TI101.VALUE.value'))"
set -e

if [ "$(sha256sum < "$examples/plant.json")" != "$original" ]; then
  echo "examples/plant.json changed during the demo" >&2
  exit 1
fi
step "Done. The charts are $charts/trend.svg and $charts/plant.svg."
echo "'vntaccess --database DB' opens the shell; 'vntaccess --help' shows the rest."
