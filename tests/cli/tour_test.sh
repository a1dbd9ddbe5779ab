#!/usr/bin/env bash
# The demo tour (examples/demo.sh) through a host prints what it prints in
# process: the tour runs twice, as the same account, once with every command
# in process and once with every command that uses the services through
# vntaccessd on a loopback port (tests/cli/tour_tool.sh), and the two
# outputs, standard error included, must be equal once the parts that
# differ from run to run are made alike in both: the tour's temporary
# folder and the times of today (the writes without --time, --watch).
#   tests/cli/tour_test.sh BUILD_DIR
set -euo pipefail

build="$(realpath "${1:?usage: tour_test.sh BUILD_DIR}")"
if ! command -v jq >/dev/null; then
  echo "skipped: the tour needs jq (scripts/install-deps.sh jq)"
  exit 77
fi
root="$(cd "$(dirname "$0")/../.." && pwd)"
work="$(mktemp -d "${TMPDIR:-/tmp}/vantrel-tour.XXXXXX")"
stop_host() {
  if [ -s "$work/remote/pid" ]; then kill "$(cat "$work/remote/pid")" 2>/dev/null || true; fi
}
trap 'stop_host; rm -rf "$work"' EXIT

export TOUR_VNTACCESS="$build/cli/vntaccess"
export TOUR_VNTACCESSD="$build/host/vntaccessd"
export TOUR_REGISTRY="$root/examples/registry.reg"
export TZ="${TZ:-Europe/Berlin}"
# The user's own settings and a server named in the environment stay out.
export HOME="$work/home"
unset VNTACCESS_SERVER VNTACCESS_TOKEN VNTACCESS_PASSWORD DORVIK_DATABASE

normalised() {
  local today utc_today
  today="$(date +%F)"
  utc_today="$(date -u +%F)"
  sed -E -e 's|/[^ ]*/vantrel-demo\.[A-Za-z0-9]+|WORK|g' \
         -e "s/(${today}|${utc_today})[ T][0-9:.]+(Z|[+-][0-9]{2}:[0-9]{2})?/TODAY/g" \
         -e 's/"timeMs": ?[0-9]+/"timeMs":MS/g'
}

for mode in local remote; do
  mkdir -p "$work/$mode" "$work/home"
  set +e
  TOUR_MODE="$mode" TOUR_STATE="$work/$mode" timeout 300 \
    "$root/examples/demo.sh" "$root/tests/cli/tour_tool.sh" "$work/charts" >"$work/$mode.out" 2>&1
  echo "(demo exit code $?)" >>"$work/$mode.out"
  set -e
  normalised <"$work/$mode.out" >"$work/$mode.txt"
done
stop_host

if [ ! -s "$work/remote/url" ]; then
  echo "the tour never reached the host" >&2
  cat "$work/remote.out" >&2
  exit 1
fi
if ! diff -u "$work/local.txt" "$work/remote.txt"; then
  echo "the tour through the host printed something else than in process (- in process, + through the host)" >&2
  exit 1
fi
echo "the tour printed the same $(wc -l <"$work/local.txt") lines in process and through $(cat "$work/remote/url")"
