#!/usr/bin/env bash
# Replays every committed corpus (fuzz/corpus/<target>/, one folder per
# target in BIN_DIR), then fuzzes each target for FUZZ_SECONDS (default 60)
# starting from a copy of its corpus. Fails on the first report (a crash, a
# sanitizer finding, a broken property, a leak, a time-out); the input that
# caused it is kept in BIN_DIR/artifacts. Per target figures (executions,
# executions per second, corpus sizes) go to BIN_DIR/fuzz-stats.tsv, and the
# machine's load average at the end to BIN_DIR/fuzz-load.txt (the rates
# depend on it).
#   fuzz/run.sh build-asan/fuzz
set -euo pipefail

bin_dir="$(cd "${1:?usage: fuzz/run.sh BIN_DIR}" && pwd)"
seconds="${FUZZ_SECONDS:-60}"
corpora="$(cd "$(dirname "$0")" && pwd)/corpus"
artifacts="$bin_dir/artifacts"
stats="$bin_dir/fuzz-stats.tsv"
work="$(mktemp -d "${TMPDIR:-/tmp}/fuzz.XXXXXX")"
trap 'rm -rf "$work"' EXIT
mkdir -p "$artifacts"

targets=()
for bin in "$bin_dir"/*_fuzz; do
  target="$(basename "$bin")"
  [ -d "$corpora/$target" ] || { echo "fuzz: $target has no corpus in $corpora/$target" >&2; exit 1; }
  targets+=("$target")
done
[ ${#targets[@]} -gt 0 ] || { echo "fuzz: no targets in $bin_dir" >&2; exit 1; }

# A target's output is shown only when it reports something.
run() {
  local target="$1" log="$work/$1.log"
  shift
  if ! "$bin_dir/$target" -artifact_prefix="$artifacts/$target-" -timeout=25 -rss_limit_mb=2048 "$@" >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "fuzz: $target reported a failure (input kept in $artifacts)" >&2
    exit 1
  fi
}

for target in "${targets[@]}"; do
  run "$target" "$corpora/$target"/*
  echo "replayed $(ls "$corpora/$target" | wc -l) inputs of $target"
done

printf 'target\tseconds\texecutions\texecs_per_second\tseed_inputs\tcorpus_after\n' >"$stats"
for target in "${targets[@]}"; do
  mkdir "$work/$target"
  cp "$corpora/$target"/* "$work/$target/"
  run "$target" -max_total_time="$seconds" -print_final_stats=1 "$work/$target"
  log="$work/$target.log"
  executions="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
  rate="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")"
  printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$target" "$seconds" "$executions" "$rate" \
    "$(ls "$corpora/$target" | wc -l)" "$(ls "$work/$target" | wc -l)" >>"$stats"
  echo "fuzzed $target for ${seconds}s: $executions executions ($rate/s)"
done
cut -d' ' -f1-3 /proc/loadavg >"$bin_dir/fuzz-load.txt"
