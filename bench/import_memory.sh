#!/bin/sh
# The peak memory and time of `vntaccess import` as the file grows: writes
# JSON database files in the exporter's shape (catalog first, every entry
# with its id) of 250,000, 500,000 and 1,000,000 records, each record with
# nine values and every hundredth with 100 history samples, imports each
# with /usr/bin/time -v, and prints the maximum resident set size and the
# elapsed and CPU seconds per size. The import's memory should stay flat
# (at most 100 MB at 1,000,000 records) and its time grow linearly.
#
# usage: bench/import_memory.sh BUILD_DIR [RECORDS...]
#   the files are written once into BUILD_DIR/bench/import_memory/ and kept;
#   IMPORT_MEMORY_KEEP=0 removes them at the end.
set -eu

build=${1:?usage: bench/import_memory.sh BUILD_DIR [RECORDS...]}
shift
tool="$build/cli/vntaccess"
[ -x "$tool" ] || { echo "no $tool: build the vntaccess target first" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is needed (apt-get install time)" >&2; exit 1; }
[ $# -gt 0 ] || set -- 250000 500000 1000000
folder="$build/bench/import_memory"
mkdir -p "$folder"

# The file of N records, streamed out (the generator holds one record).
write_file() {
  python3 - "$1" "$2" <<'PY'
import json, sys
records, path = int(sys.argv[1]), sys.argv[2]
units = ["degC", "bar", "m3/h", "%", "kW"]
with open(path, "w") as out:
    w = out.write
    w('{"format": "dorvik-database", "version": 1, "systemAccount": "VNT\\\\vntsystem",\n')
    w(' "environment": [{"name": "DORVIK_GROUP_NAME", "value": "LOAD"}],\n')
    names = ["VALUE", "HI_LIMIT", "LO_LIMIT", "UNITS", "DESCRIPTION", "MODE", "COUNTER", "STATE", "UPSTREAM_TAG"]
    w(' "fields": [' + ", ".join(
        json.dumps({"name": n, "number": i + 1, "id": 100 + i}) for i, n in enumerate(names)) + '],\n')
    w(' "selectors": [{"id": 150, "name": "LOAD_ModeSel", "first": 0, "width": 7, "texts": ["OFF", "ON", "AUTO"]}],\n')
    fields = [
        {"name": "VALUE", "type": "real", "length": 8, "quality": 1, "history": 1},
        {"name": "HI_LIMIT", "type": "real", "length": 8},
        {"name": "LO_LIMIT", "type": "real", "length": 8},
        {"name": "UNITS", "type": "character", "length": 12},
        {"name": "DESCRIPTION", "type": "character", "length": 40},
        {"name": "MODE", "type": "integer", "length": 79, "selector": "LOAD_ModeSel"},
        {"name": "COUNTER", "type": "integer", "length": 31, "quality": 1},
        {"name": "STATE", "type": "integer", "length": 79},
        {"name": "UPSTREAM_TAG", "type": "pointer", "length": 4},
    ]
    w(' "definitions": [' + json.dumps({"id": 200, "name": "LOAD_Def", "kinds": [-3], "fields": fields}) + '],\n')
    w(' "records": [\n')
    first = 1000
    for i in range(records):
        values = {"VALUE": {"value": i * 0.5, "time": "2024-01-01T00:00:00Z"}, "HI_LIMIT": 100.0 + i % 7,
                  "LO_LIMIT": -1.0 - i % 5, "UNITS": units[i % 5], "DESCRIPTION": "Synthetic measurement %d" % i,
                  "MODE": i % 3, "COUNTER": {"value": i * 3, "level": 1}, "STATE": 1 + i % 2}
        if i > 0:
            values["UPSTREAM_TAG"] = "LD%07d" % (i - 1)
        entry = {"id": first + i, "name": "LD%07d" % i, "definition": "LOAD_Def", "usable": True, "values": values}
        w(("  " if i == 0 else ", ") + json.dumps(entry, separators=(",", ":")) + "\n")
    w(' ],\n "history": [\n')
    for s, i in enumerate(range(0, records, 100)):
        samples = [["2024-01-%02dT%02d:%02d:00Z" % (1 + k // 1440, k // 60 % 24, k % 60), 0.25 * (k % 400)]
                   for k in range(100)]
        entry = {"record": "LD%07d" % i, "field": "VALUE", "samples": samples}
        w(("  " if s == 0 else ", ") + json.dumps(entry, separators=(",", ":")) + "\n")
    w(' ],\n "grants": [{"account": "*", "target": "LOAD_Def", "level": 2}]\n}\n')
PY
}

# "KEY: value" of /usr/bin/time -v's report.
field() { sed -n "s/^[[:space:]]*$1: //p" "$2"; }

printf '%10s %9s %12s %10s %10s\n' records file_MB max_rss_MB elapsed_s cpu_s
for records in "$@"; do
  file="$folder/load_$records.json"
  [ -s "$file" ] || write_file "$records" "$file"
  database="$folder/load_$records.db"
  rm -rf "$database"
  report="$folder/time_$records.txt"
  /usr/bin/time -v -o "$report" "$tool" import "$file" "$database" >/dev/null
  rss_kb=$(field "Maximum resident set size (kbytes)" "$report")
  elapsed=$(field "Elapsed (wall clock) time (h:mm:ss or m:ss)" "$report")
  user=$(field "User time (seconds)" "$report")
  system=$(field "System time (seconds)" "$report")
  file_bytes=$(stat -c %s "$file")
  awk -v r="$records" -v f="$file_bytes" -v m="$rss_kb" -v e="$elapsed" -v u="$user" -v s="$system" 'BEGIN {
    n = split(e, p, ":"); secs = 0; for (i = 1; i <= n; ++i) secs = secs * 60 + p[i];
    printf "%10d %9.1f %12.1f %10.2f %10.2f\n", r, f / 1048576, m / 1024, secs, u + s }'
  rm -rf "$database"
  [ "${IMPORT_MEMORY_KEEP:-1}" = 1 ] || rm -f "$file"
done
