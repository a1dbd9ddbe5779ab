#!/usr/bin/env bash
# Installs the Debian packages the build needs, and only those that are
# missing, so running it again is cheap. Needs root (or sudo) only when
# something is actually missing. Extra packages a target needs may follow
# as arguments (make demo: jq; make fuzz: clang-14 libclang-rt-14-dev).
# apt-get's output goes to a log that is shown only when it fails.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config ccache
  libfmt-dev libtsl-ordered-map-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libffi-dev libpcre2-dev liblmdb-dev libsqlite3-dev
  libcli11-dev libedit-dev
  libsodium-dev libpam0g-dev libpam-wrapper
  libboost-dev libssl-dev openssl zlib1g-dev libdeflate-dev
  g++-multilib tzdata valgrind
  wrk nginx-light curl libsystemd-dev
  python3-dev pybind11-dev python3-numpy python3-pandas python3-pytest python3-pip
  nodejs chromium chromium-driver python3-selenium
  "$@"
)
# The page's build needs npm. Debian ships it apart from nodejs; a Node.js
# from elsewhere brings its own, which Debian's package would clash with.
if ! command -v npm >/dev/null 2>&1; then packages+=(npm); fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
log="$(mktemp "${TMPDIR:-/tmp}/install-deps.XXXXXX")"
if ! { "${sudo_cmd[@]}" apt-get update -qq &&
       "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
  cat "$log" >&2
  rm -f "$log"
  exit 1
fi
rm -f "$log"
