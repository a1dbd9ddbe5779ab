#!/usr/bin/env bash
# One-tag reads through vntaccessd from 64 keep-alive TLS connections (wrk
# with read_one_tag.lua), against nginx serving a 200-byte static file over
# the same TLS set-up (certificate, key, protocols) with the same wrk
# settings, in the same run; then the same load with IDLE more TLS
# connections held open, and the host's peak resident memory. Loopback only;
# everything (database, certificate, token, nginx's config and temp files)
# lives in BUILD/host-load, made private; nginx runs as the current user.
#   bench/host_load/host_load.sh BUILD [SECONDS] [IDLE]
# Prints the figures and the goals (at least half of nginx's requests per
# second, p99 at most 10 ms, resident memory under 200 MB). Exits 1 when any
# request failed (a connection, read, write or time-out error, or a status
# other than 2xx); with VNT_LOAD_STRICT=1 also when a goal is missed.
set -euo pipefail

build="$(cd "$1" && pwd)"
seconds="${2:-10}"
idle="${3:-1000}"
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
state="$build/host-load"
threads=2
connections=64

pids=()
cleanup() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap cleanup EXIT
fail() { echo "host-load: $*" >&2; exit 1; }

rm -rf "$state"
mkdir -p "$state/nginx/tmp" "$state/nginx/logs"
chmod 700 "$state"
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
[ "$(ulimit -n)" -gt $((idle + connections + 64)) ] ||
  fail "open files limit $(ulimit -n) is too low for $idle idle connections"

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# The sample plant, a certificate for 127.0.0.1 and a token.
"$build/cli/vntaccess" import "$root/examples/plant.json" "$state/plant.db" >/dev/null
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=127.0.0.1 \
  -addext subjectAltName=IP:127.0.0.1 -keyout "$state/key.pem" -out "$state/cert.pem" 2>/dev/null
openssl rand -base64 18 | "$build/host/vntaccessd" user add operator --users "$state/users" --password-stdin >/dev/null
export VNT_TOKEN="$("$build/host/vntaccessd" token issue operator --users "$state/users" --expires 1d 2>/dev/null)"
export VNT_LOAD_DIR="$here"

# vntaccessd on a free port, room for the idle connections and the load.
"$build/host/vntaccessd" --database "$state/plant.db" --registry "$root/examples/registry.reg" \
  --users "$state/users" --domain VNT --listen 127.0.0.1:0 --tls-cert "$state/cert.pem" --tls-key "$state/key.pem" \
  --max-connections $((idle + connections + 64)) --idle-timeout $((seconds * 3 + 60)) \
  >"$state/vntaccessd.out" 2>"$state/vntaccessd.err" &
host_pid=$!
pids+=("$host_pid")
for _ in $(seq 100); do grep -q '^listening on' "$state/vntaccessd.out" && break; sleep 0.1; done
host_url="$(sed -n 's/^listening on //p' "$state/vntaccessd.out")"
[ -n "$host_url" ] || { cat "$state/vntaccessd.err" >&2; fail "vntaccessd did not start"; }
host_port="${host_url##*:}"

# nginx as the current user: its own config, logs and temp folders here.
nginx_port="$(free_port)"
head -c 200 /dev/zero | tr '\0' 'x' >"$state/nginx/static.txt"
cat >"$state/nginx/nginx.conf" <<CONF
worker_processes $threads;
pid $state/nginx/nginx.pid;
error_log $state/nginx/logs/error.log warn;
$( [ "$(id -u)" -eq 0 ] && echo "user $(id -un) $(id -gn);" )
events { worker_connections $((idle + connections + 64)); }
http {
  access_log off;
  client_body_temp_path $state/nginx/tmp/body;
  proxy_temp_path $state/nginx/tmp/proxy;
  fastcgi_temp_path $state/nginx/tmp/fastcgi;
  uwsgi_temp_path $state/nginx/tmp/uwsgi;
  scgi_temp_path $state/nginx/tmp/scgi;
  keepalive_requests 1000000;
  server {
    listen 127.0.0.1:$nginx_port ssl;
    ssl_certificate $state/cert.pem;
    ssl_certificate_key $state/key.pem;
    ssl_protocols TLSv1.2 TLSv1.3;
    root $state/nginx;
  }
}
CONF
nginx -p "$state/nginx" -c "$state/nginx/nginx.conf" -e "$state/nginx/logs/error.log" -g 'daemon off;' &
pids+=("$!")
for _ in $(seq 50); do curl -sk -o /dev/null "https://127.0.0.1:$nginx_port/static.txt" && break; sleep 0.1; done

# One wrk run: its report line.
load() {
  wrk -t$threads -c$connections -d"${seconds}s" --timeout 5s "$@" | grep '^RESULT'
}
field() { sed -n "s/.* $2=\([0-9]*\).*/\1/p" <<<"$1"; }

echo "== $seconds s, $connections keep-alive connections, $threads wrk threads"
nginx_line="$(load -s "$here/static_file.lua" "https://127.0.0.1:$nginx_port/static.txt")"
echo "nginx, static 200 bytes:    $nginx_line"
host_line="$(load -s "$here/read_one_tag.lua" "$host_url/v1/access/GetTagValues")"
echo "vntaccessd, one-tag read:   $host_line"

exec 3> >(python3 "$here/idle_connections.py" "$host_port" "$idle" >"$state/idle.out")
pids+=("$!")
for _ in $(seq 600); do grep -q '^ready' "$state/idle.out" 2>/dev/null && break; sleep 0.1; done
grep -q '^ready' "$state/idle.out" || fail "the $idle idle connections did not open"
idle_line="$(load -s "$here/read_one_tag.lua" "$host_url/v1/access/GetTagValues")"
echo "vntaccessd, with $idle idle: $idle_line"
peak_kb="$(sed -n 's/^VmHWM:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$host_pid/status")"
exec 3>&-

ratio="$(awk -v h="$(field "$host_line" rps)" -v n="$(field "$nginx_line" rps)" 'BEGIN { printf "%.2f", h / n }')"
p99_ms="$(awk -v p="$(field "$host_line" p99_us)" 'BEGIN { printf "%.2f", p / 1000 }')"
peak_mb="$(awk -v k="$peak_kb" 'BEGIN { printf "%.1f", k / 1024 }')"
echo "requests/s vs nginx: $ratio (goal >= 0.5); p99: $p99_ms ms (goal <= 10);" \
     "peak resident memory: $peak_mb MB (goal < 200)"

errors=$(( $(field "$host_line" errors) + $(field "$idle_line" errors) ))
[ "$errors" -eq 0 ] || fail "$errors requests through vntaccessd failed"
if [ "${VNT_LOAD_STRICT:-0}" = 1 ]; then
  awk -v r="$ratio" -v p="$p99_ms" -v m="$peak_mb" 'BEGIN { exit !(r >= 0.5 && p <= 10 && m < 200) }' ||
    fail "a goal was missed"
fi
