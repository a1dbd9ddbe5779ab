#!/usr/bin/env bash
# Serves the sample plant with vntaccessd on a loopback port over TLS: a
# fresh database from examples/plant.json, a self-signed certificate for
# 127.0.0.1 and a user "operator" with a random password, all made on the
# spot in a private folder. Prints the URL and how to log in; Ctrl-C stops.
#   scripts/serve.sh BUILD_DIR [PORT]
set -euo pipefail

build="$1"
port="${2:-8443}"
root="$(cd "$(dirname "$0")/.." && pwd)"
state="$build/serve"
rm -rf "$state"
mkdir -p "$state"
chmod 700 "$state"

"$build/cli/vntaccess" import "$root/examples/plant.json" "$state/plant.db" >/dev/null
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 -subj /CN=127.0.0.1 \
  -addext subjectAltName=IP:127.0.0.1 -keyout "$state/key.pem" -out "$state/cert.pem" 2>/dev/null
password="$(openssl rand -base64 18)"
printf '%s\n' "$password" |
  "$build/host/vntaccessd" user add operator --users "$state/users" --password-stdin >/dev/null

cat <<TEXT
Serving the sample plant on https://127.0.0.1:$port as VNT\\operator (password: $password)
  The trend page: open https://127.0.0.1:$port/ and log in as operator (the certificate is self-signed).
  curl --cacert $state/cert.pem -u 'operator:$password' https://127.0.0.1:$port/v1/access/GetTagValues \\
       -d '{"tagList": {"TI101": ["VALUE"]}}'
  VNTACCESS_PASSWORD='$password' $build/cli/vntaccess --server https://127.0.0.1:$port \\
       --cacert $state/cert.pem --user 'VNT\\operator' call GetTagValues '{"TI101": ["VALUE"]}'
Ctrl-C stops it.
TEXT
exec "$build/host/vntaccessd" --database "$state/plant.db" --registry "$root/examples/registry.reg" \
  --users "$state/users" --domain VNT --listen "127.0.0.1:$port" \
  --tls-cert "$state/cert.pem" --tls-key "$state/key.pem" --audit-log "$state/audit.log"
