#!/usr/bin/env bash
# A short session of vntaccess on a copy of the sample plant (make demo).
# Usage: examples/demo.sh PATH/TO/vntaccess
# The copy lives in a temporary folder that is removed afterwards;
# examples/plant.json is never written.
set -euo pipefail

vntaccess="$(realpath "${1:?usage: demo.sh PATH/TO/vntaccess}")"
examples="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d "${TMPDIR:-/tmp}/vantrel-demo.XXXXXX")"
trap 'rm -rf "$work"' EXIT
cp "$examples/plant.json" "$work/"
cp -r "$examples/queries" "$work/"
original="$(sha256sum < "$examples/plant.json")"

bold="" plain=""
if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; fi
step() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }
run() {
  printf '$ vntaccess %s\n' "$*"
  (cd "$work" && "$vntaccess" --database plant.json "$@")
}

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

step "A write, its read-back and its history value"
run write TI101 VALUE 74.25 --time 2024-03-07T01:00:00Z
run read TI101 VALUE
run history TI101 VALUE --from 2024-03-07T00:00:00Z --to 2024-03-07T02:00:00Z

if [ "$(sha256sum < "$examples/plant.json")" != "$original" ]; then
  echo "examples/plant.json changed during the demo" >&2
  exit 1
fi
step "Done: the copy took the write; examples/plant.json is unchanged"
