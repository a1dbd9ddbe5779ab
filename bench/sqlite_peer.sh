#!/usr/bin/env bash
# Prints dorvik's cost per item next to SQLite's on the same rows (WAL,
# synchronous=FULL), for each scenario of sqlite_peer_cost: all instructions
# of the call (callgrind, the least of several runs) and the CPU time (the
# least of several runs), and the ratios dorvik / SQLite.
#
# usage: bench/sqlite_peer.sh PROGRAM [BASELINE_PROGRAM] [RUNS] [CALLGRIND_RUNS]
#   PROGRAM           a sqlite_peer_cost binary (label "after" when a baseline is given)
#   BASELINE_PROGRAM  another one, built from an earlier tree (label "before"); "" for none
#   RUNS              timed runs per measure (default 7)
#   CALLGRIND_RUNS    runs under callgrind per program (default 3)
set -euo pipefail

program=${1:?usage: $0 PROGRAM [BASELINE_PROGRAM] [RUNS] [CALLGRIND_RUNS]}
baseline=${2:-}
runs=${3:-7}
callgrind_runs=${4:-3}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# All instructions of one callgrind dump: "<scenario:side> <n> <instructions>", summed from the self
# costs (the dump's summary line is not reliable once instrumentation is toggled).
summarize_dump() {
  awk '
    /^desc: Trigger: Client Request: / { sub(/^desc: Trigger: Client Request: /, ""); label = $0; next }
    /^calls=/ { inCall = 1; next }
    /^[0-9+*-]/ { if (!inCall) total += $2; inCall = 0; next }
    END { printf "%s %d\n", label, total }
  ' "$1"
}

# "<scenario> <n> <side> <instructions per item>", the least of callgrind_runs runs.
instructions() {
  local prog=$1 _
  for _ in $(seq "$callgrind_runs"); do
    rm -f "$work"/cg.out*
    valgrind --tool=callgrind --instr-atstart=no --collect-atstart=no --dump-instr=no --dump-line=no \
      --callgrind-out-file="$work/cg.out" "$prog" callgrind >/dev/null 2>"$work/valgrind.log" ||
      { cat "$work/valgrind.log" >&2; exit 1; }
    for dump in "$work"/cg.out.*; do summarize_dump "$dump"; done
  done | awk '{ split($1, key, ":"); id = key[1] " " $2 " " key[2]; per = $3 / $2
                if (!(id in least) || per < least[id]) least[id] = per }
              END { for (id in least) printf "%s %.0f\n", id, least[id] }'
}

# "<scenario> <n> <label> <dorvik Ir> <sqlite Ir> <dorvik ns> <sqlite ns>"
measure() {
  local prog=$1 label=$2
  instructions "$prog" >"$work/ir"
  "$prog" times "$runs" >"$work/ns"
  awk -v label="$label" '
    FNR == NR { ir[$1 " " $2 " " $3] = $4; next }
    { ns[$1 " " $2 " " $3] = $4; if (!(($1 " " $2) in seen)) { seen[$1 " " $2] = 1; order[++count] = $1 " " $2 } }
    END {
      for (i = 1; i <= count; ++i) {
        k = order[i]
        print k, label, ir[k " dorvik"], ir[k " sqlite"], ns[k " dorvik"], ns[k " sqlite"]
      }
    }' "$work/ir" "$work/ns"
}

{
  if [ -n "$baseline" ]; then
    measure "$baseline" before
    measure "$program" after
  else
    measure "$program" now
  fi
} >"$work/rows"

echo "dorvik next to SQLite (WAL, synchronous=FULL) on the same rows, per item of one call:"
echo "  read-ids       a DataAccess read by ids of n doubles / n point selects in one read transaction"
echo "  write-history  one durable MWDBVALS of n doubles with history / n updates + n history inserts, one commit"
echo "  history-read   RHIS21DATA of n samples of one series / a range select of the history table"
echo "Ir: callgrind instructions, least of $callgrind_runs runs; ns: CPU time, least of $runs runs;"
echo "ratio: dorvik / SQLite."
printf '\n%-14s %6s %-6s %10s %10s %8s %10s %10s %8s\n' scenario n build "dorvik Ir" "sqlite Ir" "Ir ratio" \
  "dorvik ns" "sqlite ns" "ns ratio"
for scenario in read-ids write-history history-read; do
  for label in before after now; do
    awk -v s="$scenario" -v l="$label" '
      $1 == s && $3 == l {
        printf "%-14s %6d %-6s %10d %10d %8.3f %10.1f %10.1f %8.3f\n", $1, $2, $3, $4, $5, $4 / $5, $6, $7, $6 / $7
      }' "$work/rows"
  done
done
