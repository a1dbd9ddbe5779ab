#!/usr/bin/env bash
# Side by side, in one run: the engine benchmarks built against the in-memory
# engine of an earlier commit (the one before the store; main's by default)
# and against this tree's store. The earlier engine is built in a temporary
# folder that is removed afterwards; nothing of it stays in the tree.
#
# Usage: bench/compare_engines.sh BUILD_DIR [OLD_COMMIT] [REPETITIONS]
# Prints, per benchmark, the minimum over the repetitions of the CPU time per
# item (ns) of each engine and their ratio; the write also in wall time.
set -euo pipefail

build="$(realpath "${1:?usage: compare_engines.sh BUILD_DIR [OLD_COMMIT] [REPETITIONS]}")"
old_commit="${2:-5fe713c}"
repetitions="${3:-5}"
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d "${TMPDIR:-/tmp}/vantrel-compare.XXXXXX")"
trap 'rm -rf "$work"' EXIT

echo "== building the in-memory engine of $old_commit in $work"
git -C "$root" archive "$old_commit" | tar -x -C "$work" --one-top-level=old
cmake -S "$work/old" -B "$work/old/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVANTREL_BUILD_TESTS=OFF -DVANTREL_BUILD_BENCH=OFF ${CMAKE_FLAGS:-} >/dev/null
cmake --build "$work/old/build" --target dorvik vntaccess >/dev/null

# This tree's benchmark sources, compiled against the old engine's headers.
mkdir -p "$work/overlay/bench"
cp "$root"/bench/*.h "$work/overlay/bench/"
for program in engine_bench database_load_bench; do
  g++ -std=c++20 -O2 -DNDEBUG -DVANTREL_BENCH_MEMORY_ENGINE -I"$work/overlay" -I"$work/old" \
    "$root/bench/$program.cpp" "$root/bench/synthetic_database.cpp" -o "$work/old/build/bench_$program" \
    -L"$work/old/build/engine" -ldorvik -Wl,-rpath,"$work/old/build/engine" -llmdb -lbenchmark -lfmt -lpthread
done

run() {  # run PROGRAM OUTPUT
  "$1" --benchmark_repetitions="$repetitions" --benchmark_format=json --benchmark_out="$2" \
    --benchmark_out_format=json >/dev/null
}
echo "== running (each benchmark $repetitions times)"
# The programs find their data folder and vntaccess beside themselves; both
# read the same synthetic JSON file.
mkdir -p "$work/old/build/bench" "$build/bench/bench_data"
ln -s "$build/bench/bench_data" "$work/old/build/bench/bench_data"
for program in engine_bench database_load_bench; do
  cp "$work/old/build/bench_$program" "$work/old/build/bench/$program"
  run "$work/old/build/bench/$program" "$work/old_$program.json"
  run "$build/bench/$program" "$work/new_$program.json"
done
rm "$work/old/build/bench/bench_data"

python3 - "$work" <<'EOF'
import json, sys, collections
work = sys.argv[1]
unit = {"ns": 1e-6, "us": 1e-3, "ms": 1, "s": 1e3}  # to milliseconds

def minima(path):
    """Per benchmark, the minimum over repetitions of CPU and wall (manual) time per iteration, in ms."""
    runs = collections.defaultdict(list)
    for b in json.load(open(path))["benchmarks"]:
        if b.get("run_type") == "iteration" and not b.get("error_occurred"):
            runs[b["run_name"]].append((b["cpu_time"] * unit[b["time_unit"]], b["real_time"] * unit[b["time_unit"]]))
    return {name: (min(r[0] for r in rs), min(r[1] for r in rs)) for name, rs in runs.items()}

def items(name):
    parts = name.split("/")
    return int(parts[3]) if len(parts) > 3 and parts[3].isdigit() else 1

print(f"\n{'benchmark':44} {'in-memory':>14} {'store':>14} {'store/mem':>9}   (minimum of each)")
for program in ("engine_bench", "database_load_bench"):
    old, new = minima(f"{work}/old_{program}.json"), minima(f"{work}/new_{program}.json")
    for name, (cpu, wall) in new.items():
        base = name.split("/process_time")[0]
        if name.startswith("ToolRead"):
            label, scale, index = "child CPU ms per process", 1, 1   # manual time: the child's CPU
        elif name.startswith(("Import", "OpenAndRead")):
            label, scale, index = "CPU ms per call", 1, 0
        else:
            label, scale, index = "CPU ns per item", 1e6 / items(name), 0
        was = old.get(name)
        mine = (cpu, wall)[index] * scale
        if was is None:
            print(f"{base:44} {'-':>14} {mine:14.1f}   {label}")
            continue
        before = was[index] * scale
        print(f"{base:44} {before:14.1f} {mine:14.1f} {mine / before:9.2f}   {label}")
        if name.startswith("MWDBVALS"):
            print(f"{'  per call: CPU ms, wall ms':44} {was[0]:7.2f} {was[1]:6.2f} {cpu:7.2f} {wall:6.2f}")
EOF
