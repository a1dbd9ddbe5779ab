#!/usr/bin/env bash
# Prints the library's own cost per tag on the current-value path: for each
# scenario of data_path_cost and each size, the instructions outside the
# engine (callgrind), the allocations (a counting operator new, the engine's
# included) and the CPU time (minimum of several runs), next to the raw
# native calls over the same items.
#
# Instructions outside the engine, two ways:
#   own     every instruction of the call except those of its calls into the
#           engine (libdorvik and its storage library), inclusive of all they
#           run (the engine's allocations too);
#   by-obj  every instruction of the call in an object other than those two
#           (so the engine's allocations in libc count as outside).
#
# usage: bench/data_path_cost.sh PROGRAM [BASELINE_PROGRAM] [RUNS]
#   PROGRAM           a data_path_cost binary (label "after" when a baseline is given)
#   BASELINE_PROGRAM  another one, built from an earlier tree (label "before")
#   RUNS              timed runs per measure (default 7)
set -euo pipefail

program=${1:?usage: $0 PROGRAM [BASELINE_PROGRAM] [RUNS]}
baseline=${2:-}
runs=${3:-7}
engine_objects='libdorvik|liblmdb'

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Sums one callgrind dump: "<scenario> <n> <total> <engine inclusive> <engine self> <allocator>". The
# total is summed from the self costs (the dump's summary line is not reliable once instrumentation is
# toggled); <allocator> is what calls from outside the engine into operator new/delete, malloc and free
# cost, all they run included.
summarize_dump() {
  awk -v engine="$engine_objects" '
    function named(entry, table,   id, name) {
      id = entry; sub(/\).*/, "", id); sub(/^\(/, "", id)
      name = entry; sub(/^\([0-9]+\) ?/, "", name)
      if (name != "") table[id] = name
      return table[id]
    }
    function allocator(name) {
      return name ~ /^(operator new|operator delete|malloc$|free$|realloc$|calloc$)/
    }
    /^desc: Trigger: Client Request: / { sub(/^desc: Trigger: Client Request: /, ""); label = $0; next }
    /^ob=/ { sub(/^ob=/, ""); current = named($0, objects); callee = current; next }
    /^cob=/ { sub(/^cob=/, ""); callee = named($0, objects); next }
    /^fn=/ { sub(/^fn=/, ""); function_ = named($0, functions); next }
    /^cfn=/ { sub(/^cfn=/, ""); calledFunction = named($0, functions); next }
    /^calls=/ { inCall = 1; next }
    /^[0-9+*-]/ {
      if (inCall) {
        if (callee ~ engine && current !~ engine) inclusive += $2
        else if (current !~ engine && allocator(calledFunction) && !allocator(function_)) allocations += $2
        inCall = 0; callee = current
      } else {
        total += $2
        if (current ~ engine) self += $2
      }
      next
    }
    END { printf "%s %d %d %d %d\n", label, total, inclusive, self, allocations }
  ' "$1"
}

# Instructions per tag of each scenario: "<scenario> <n> <own> <by-object> <allocator> <all>".
instructions() {
  local prog=$1 out=$2
  rm -f "$work"/cg.out*
  valgrind --tool=callgrind --instr-atstart=no --collect-atstart=no --dump-instr=no --dump-line=no \
    --callgrind-out-file="$work/cg.out" "$prog" callgrind >/dev/null 2>"$work/valgrind.log" ||
    { cat "$work/valgrind.log" >&2; exit 1; }
  for dump in "$work"/cg.out.*; do summarize_dump "$dump"; done |
    awk '{ printf "%s %s %.0f %.0f %.0f %.0f\n", $1, $2, ($3 - $4) / $2, ($3 - $5) / $2, $6 / $2, $3 / $2 }' >"$out"
}

measure() {
  local prog=$1 label=$2
  instructions "$prog" "$work/ir.$label"
  "$prog" times "$runs" >"$work/times.$label"
  # scenario n label own by-object allocator ns raw-ns allocations raw-allocations all
  join -j1 <(awk '{ print $1 ":" $2, $3, $4, $5, $6 }' "$work/ir.$label" | sort) \
           <(awk '{ print $1 ":" $2, $3, $4, $5, $6 }' "$work/times.$label" | sort) |
    awk -v label="$label" '{ split($1, key, ":"); print key[1], key[2], label, $2, $3, $4, $6, $7, $8, $9, $5 }'
}

{
  if [ -n "$baseline" ]; then
    measure "$baseline" before
    measure "$program" after
  else
    measure "$program" now
  fi
} >"$work/rows"

echo "Cost per tag of one DataAccess call over n tags (one field of each of n records)."
echo "Ir own: callgrind instructions outside the engine (all but the calls into libdorvik/liblmdb), of"
echo "which 'in new' in operator new/delete and malloc/free; Ir by-obj: all not in those two objects;"
echo "Ir all: every instruction of the call, library and engine."
echo "alloc: operator new calls, the engine's included. ns: CPU time, minimum of $runs runs; ratio: ns/raw ns."
printf '\n%-18s %6s %-6s %7s %7s %9s %8s %6s %9s %8s %8s %6s\n' scenario n build "Ir own" "in new" "Ir by-obj" \
  "Ir all" alloc "raw alloc" ns "raw ns" ratio
order='read-ids-double read-ids-text read-names-double write-ids-double write-ids-text'
for scenario in $order; do
  for n in 500 5000 50000; do
    for label in before after now; do
      awk -v s="$scenario" -v n="$n" -v l="$label" '
        $1 == s && $2 == n && $3 == l {
          printf "%-18s %6d %-6s %7d %7d %9d %8d %6.2f %9.2f %8.1f %8.1f %6.1f\n", $1, $2, $3, $4, $6, $5, $11, $9,
                 $10, $7, $8, $7 / $8
        }' "$work/rows"
    done
  done
done
