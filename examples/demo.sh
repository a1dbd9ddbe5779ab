#!/usr/bin/env bash
# A short session of vntaccess on the sample plant (make demo): the plant is
# imported from examples/plant.json into a new database in a temporary
# folder (removed afterwards), next to a copy of its query files.
# Usage: examples/demo.sh PATH/TO/vntaccess
set -euo pipefail

vntaccess="$(realpath "${1:?usage: demo.sh PATH/TO/vntaccess}")"
examples="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d "${TMPDIR:-/tmp}/vantrel-demo.XXXXXX")"
trap 'rm -rf "$work"' EXIT
cp -r "$examples/queries" "$work/"
original="$(sha256sum < "$examples/plant.json")"

bold="" plain=""
if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; fi
step() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }
run() {
  printf '$ vntaccess --database plant.db %s\n' "$*"
  (cd "$work" && "$vntaccess" --database plant.db "$@")
}
tool() {
  printf '$ vntaccess %s\n' "$*"
  (cd "$work" && "$vntaccess" "$@")
}

step "A new database (a folder) from the sample plant's JSON file"
tool import "$examples/plant.json" plant.db

step "Database environment variables (COMPRESS_SOURCE resolves next to the database file)"
run env DORVIK_GROUP_NAME
run env COMPRESS_SOURCE

step "Field definitions: quality, history, a repeat area, pointers, a selector"
run definition VN_AnalogDef
run definition VN_DiscreteDef

step "Current values: an analog tag, its repeat area, a discrete (MODE 2 = AUTO), a text, pointers"
run read TI101 DESCRIPTION VALUE UNITS HI_LIMIT LO_LIMIT
run read TI101 TREND_COUNT TREND
run read P101 DESCRIPTION MODE STATE
run read BATCH_ID TEXT_VALUE OPERATOR
run read TI102 UPSTREAM_TAG UPSTREAM_VALUE

step "History, forwards and in reverse, with one value outside each end"
run history TI101 VALUE --from 2024-03-06T20:00:00Z --to 2024-03-06T22:00:00Z --outsiders BothA
run history TI101 VALUE --from 2024-03-06T22:00:00Z --to 2024-03-06T20:00:00Z --outsiders BothA

step "A write, on disk when the command ends; its read-back and its history value"
run write TI101 VALUE 74.25 --time 2024-03-07T01:00:00Z
run read TI101 VALUE
run history TI101 VALUE --from 2024-03-07T00:00:00Z --to 2024-03-07T02:00:00Z

step "A value the selector does not offer is refused (MODE offers 0-2)"
run write P101 MODE 7 || true

step "The database checks clean and exports to JSON again"
tool check plant.db
tool export plant.db exported.json

if [ "$(sha256sum < "$examples/plant.json")" != "$original" ]; then
  echo "examples/plant.json changed during the demo" >&2
  exit 1
fi
step "Done: the database took the write; examples/plant.json is unchanged"
