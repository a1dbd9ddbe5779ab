#!/usr/bin/env bash
# Stands in for vntaccess when examples/demo.sh runs the tour, so that the
# same tour runs in process and through a host, as the same account:
#   TOUR_MODE=local   vntaccess --user 'VNT\operator' ARGS
#   TOUR_MODE=remote  vntaccess --server URL ARGS, logged in as operator by
#                     a token; the host (vntaccessd on loopback, plain HTTP)
#                     is started on the tour's database at its first call
# Calls without --database first (import, check: the database's files) and
# lines without a command (the shell, a piped script) run in process.
# TOUR_VNTACCESS and TOUR_VNTACCESSD name the programs, TOUR_STATE a folder
# for the host's users file, its start line and its pid (tour_test.sh stops it).
set -euo pipefail

tool="${TOUR_VNTACCESS:?}"
account='VNT\operator'
if [ "${1:-}" != "--database" ]; then exec "$tool" "$@"; fi
database="$2"
rest=("${@:3}")

command_word=""
for word in "${rest[@]}"; do
  case "$word" in
    --tz | --user | --server | --cacert | -f | --file) command_word="" ; break ;;
    -*) ;;
    *) command_word="$word"; break ;;
  esac
done
if [ "${TOUR_MODE:?}" = local ] || [ -z "$command_word" ]; then
  exec "$tool" --database "$database" --user "$account" "${rest[@]}"
fi

state="${TOUR_STATE:?}"
if [ ! -s "$state/url" ]; then
  users="$state/users"
  printf 'tour-pass-1\n' | "${TOUR_VNTACCESSD:?}" user add operator --users "$users" --password-stdin >/dev/null
  "$TOUR_VNTACCESSD" token issue operator --users "$users" --expires 1d >"$state/token" 2>/dev/null
  "$TOUR_VNTACCESSD" --database "$database" --registry "${TOUR_REGISTRY:?}" --users "$users" --domain VNT \
    --listen 127.0.0.1:0 --insecure >"$state/host.out" 2>"$state/host.err" &
  echo $! >"$state/pid"
  for _ in $(seq 1 300); do
    if grep -q '^listening on ' "$state/host.out" 2>/dev/null; then break; fi
    sleep 0.1
  done
  sed -n 's/^listening on //p' "$state/host.out" | head -n 1 >"$state/url"
  if [ ! -s "$state/url" ]; then
    echo "tour_tool.sh: the host did not start: $(cat "$state/host.err")" >&2
    exit 3
  fi
fi
VNTACCESS_TOKEN="$(cat "$state/token")" exec "$tool" --server "$(cat "$state/url")" "${rest[@]}"
