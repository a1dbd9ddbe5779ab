#!/usr/bin/env bash
# Writes docs/RELIABILITY.md: what the reliability tools did on this commit.
#   - fuzzing: per target the executions, rate and corpus sizes of the last
#     fuzz/run.sh in FUZZ_BIN (fuzz-stats.tsv), when there was one;
#   - fault sweeps: the sweep programs of BUILD run now, each engine call of
#     each operation failed once with each engine error code;
#   - kill-and-verify and soak: the counts of the last `make reliability-tests`
#     (BUILD/reliability-counts.txt, "program.key=value" lines), when there
#     was one.
# The sweep programs append tab-separated lines to the file that
# VNT_RELIABILITY_LOG names:
#       sweep <operation> <code> <calls> <equal> <errors> <bestEffort> <failures>
# Fails when a program fails; the table is written only then from whole runs.
#   scripts/reliability.sh build build-asan/fuzz
set -euo pipefail
cd "$(dirname "$0")/.."

build="${1:?usage: scripts/reliability.sh BUILD FUZZ_BIN}"
fuzz_bin="${2:?usage: scripts/reliability.sh BUILD FUZZ_BIN}"
out=docs/RELIABILITY.md
log="$(mktemp "${TMPDIR:-/tmp}/reliability.XXXXXX")"
trap 'rm -f "$log"' EXIT

sweeps=()
while IFS= read -r program; do sweeps+=("$program"); done < <(find "$build/tests" -type f -name '*fault_sweep_tests' | sort)
[ ${#sweeps[@]} -gt 0 ] || { echo "reliability: no fault sweep programs in $build/tests" >&2; exit 1; }
counts="$build/reliability-counts.txt"

# Each program's lines, after its name.
part="$log.part"
for program in "${sweeps[@]}"; do
  name="$(basename "$program")"
  echo "running $name"
  rm -f "$part"
  VNT_RELIABILITY_LOG="$part" "$program" --gtest_brief=1 >/dev/null
  [ -f "$part" ] && awk -v program="$name" -F'\t' -v OFS='\t' '{ $1 = $1 OFS program; print }' "$part" >>"$log"
done
rm -f "$part"

commit="$(git rev-parse --short HEAD)$(git diff --quiet HEAD -- . ':!docs' || echo '+changes')"
{
  echo "# Reliability"
  echo
  echo "Written by \`make reliability\` on $(date -u '+%Y-%m-%d %H:%M UTC') at commit \`$commit\`."
  echo "CI runs the same tools in \`.ci/run\` (\`make fuzz-ci\`, \`make reliability-tests\` and the sweep programs in \`make test\`)."
  echo
  echo "## Fuzzing"
  echo
  echo "libFuzzer with AddressSanitizer and UBSan (\`make fuzz-ci\`): every corpus of \`fuzz/corpus/\` is replayed,"
  echo "then each target runs for the time given, starting from its corpus. Any report fails the run."
  echo
  if [ -s "$fuzz_bin/fuzz-stats.tsv" ]; then
    echo "| Target | Seconds | Executions | Executions/s | Seed inputs | Corpus after the run |"
    echo "|---|---:|---:|---:|---:|---:|"
    tail -n +2 "$fuzz_bin/fuzz-stats.tsv" | awk -F'\t' '{ printf "| `%s` | %s | %s | %s | %s | %s |\n", $1, $2, $3, $4, $5, $6 }'
    echo
    echo -n "Figures of the fuzz run of $(date -u -r "$fuzz_bin/fuzz-stats.tsv" '+%Y-%m-%d %H:%M UTC')"
    if [ -s "$fuzz_bin/fuzz-load.txt" ]; then echo " (load average then: $(cat "$fuzz_bin/fuzz-load.txt"))."; else echo "."; fi
  else
    echo "No fuzz run found in \`$fuzz_bin\` (run \`make fuzz-ci\` first)."
  fi
  echo
  echo "## Fault sweeps"
  echo
  echo "Each public operation runs once without faults, then once per engine call it makes with that call failing,"
  echo "for every error code the engine has. A run must end as the fault-free run did, in a fault with a reason,"
  echo "or in an answer the operation gives on purpose; no run may leave a half-loaded definition cached."
  echo
  echo "| Program | Operations | Error codes | Faults injected | Equal | Errors | Intended answers | Failures |"
  echo "|---|---:|---:|---:|---:|---:|---:|---:|"
  awk -F'\t' '$1 == "sweep" {
      p = $2; if (!(p in calls)) order[n++] = p
      if (!((p, $3) in seen)) { seen[p, $3] = 1; ops[p]++ } if (!((p, $4) in seenCode)) { seenCode[p, $4] = 1; codes[p]++ }
      calls[p] += $5; equal[p] += $6; errors[p] += $7; best[p] += $8; bad[p] += $9 }
    END {
      for (i = 0; i < n; i++) { p = order[i]
        printf "| `%s` | %d | %d | %d | %d | %d | %d | %d |\n", p, ops[p], codes[p], calls[p], equal[p], errors[p], best[p], bad[p]
        o += ops[p]; c += calls[p]; e += equal[p]; r += errors[p]; b += best[p]; f += bad[p] }
      printf "| all | %d | | %d | %d | %d | %d | %d |\n", o, c, e, r, b, f }' "$log"
  echo
  echo '## Hostile files and conditions'
  echo
  echo 'What a planted, damaged or starved store meets, and the tests that hold each answer (`engine_tests`,'
  echo '`engine_multiprocess_tests`, `session_log_tests`, `vntaccess_tests`; `store_file_fuzz` in `make fuzz-ci`).'
  echo
  echo '| Case | Answer | Tests |'
  echo '|---|---|---|'
  echo '| `lock.mdb`, `data.mdb` or `signals` a link, FIFO, device or folder | refused at open, before LMDB sees the folder | `hostile_open_test.cpp` |'
  echo '| a link, FIFO or folder at an export'\''s name | written beside and renamed onto the name itself; a link owned by another user or in a sticky world-writable folder refused | `hostile_files_test.cpp` |'
  echo '| a FIFO, device, folder or another user'\''s file at the library'\''s log | not written, never waited on | `log_test.cpp` |'
  echo '| new databases | folder 0700, files 0600; `--group` shares them read-only with a group (FORMAT.md) | `hostile_open_test.cpp`, `multiprocess_test.cpp` |'
  echo '| a database nobody may write | opens read-only without a lock table once no writer holds it | `multiprocess_test.cpp` |'
  echo '| `data.mdb` cut short, or its meta pages damaged | corruption (-28) at open, before a page is mapped | `hostile_open_test.cpp` (8 cut sizes, each opened, checked, read and exported in a child) |'
  echo '| stored lengths, counts, page offsets and node sizes that lie | corruption (-28); `check` decodes every table; `export` refuses a database whose check fails | `damaged_store_test.cpp`, `store_file_fuzz` |'
  echo '| a full disk | `lock.mdb` allocated whole when made; -26 "database is full", also for EIO of a commit on a full file system | `hostile_open_test.cpp` (2 MiB tmpfs, as root) |'
  echo '| a file-size limit (`ulimit -f`) | export and import end with an error and leave nothing | `hostile_files_test.cpp`, `store_commands_test.cpp` |'
  echo '| a writer stopped while it holds the write lock | other writes fail after `DORVIK_LOCK_TIMEOUT` (30 s) naming the holder; reads go on | `multiprocess_test.cpp` |'
  echo '| a reader holding the attach lock, a read-only process | never blocks attaching for ever, cannot shut the database down | `hostile_open_test.cpp` |'
  echo '| `lock.mdb` or `signals` deleted or replaced while processes are attached | a new process refuses to start a second lock table | `multiprocess_test.cpp` |'
  echo '| duplicate keys, fractions for whole-number fields, times the API cannot read, in an imported file | refused with the JSON path | `hostile_files_test.cpp` |'
  echo '| killed or interrupted imports and exports | Ctrl-C removes their hidden entries at once; a killed one'\''s go at the next import or export into the folder | `hostile_files_test.cpp`, `store_commands_test.cpp` |'
  echo '| concurrent creators | `NXTFREE` reserves the id it hands out: 4 processes x 250 creations, 0 refused | `multiprocess_test.cpp` |'
  echo
  echo 'Random bytes written into copies of the sample database (150 copies x 8 bytes; check, read, history and'
  echo 'export of each): before these changes 14 processes died in 8 copies and 122 damaged copies exported with'
  echo 'exit 0; after them no process died in 600 runs, and only the 55 copies whose check is clean exported.'
  echo
  echo "## Kill and verify, and the soak"
  echo
  if [ -s "$counts" ]; then
    echo "\`make reliability-tests\` of $(date -u -r "$counts" '+%Y-%m-%d %H:%M UTC'): writer processes killed with SIGKILL"
    echo "at random moments and at commit points, every acknowledged write verified after each round (\`kill_verify\`);"
    echo "threads of three processes in mixed work while the database shuts down and restarts (\`soak\`)."
    echo
    echo "| Program | Measure | Count |"
    echo "|---|---|---:|"
    awk -F'=' '{ split($1, name, "."); gsub("_", " ", name[2]); printf "| `%s` | %s | %s |\n", name[1], name[2], $2 }' "$counts"
  else
    echo "No run found in \`$counts\` (run \`make reliability-tests\` first)."
  fi
} >"$out"
echo "wrote $out"
