#!/usr/bin/env bash
# Prints the cost table of bench/data_path_cost.sh and the SQLite table of
# bench/sqlite_peer.sh for this tree ("after") next to an earlier revision
# ("before"), from one run, so that both are measured on one machine under
# one load. Both sides run this tree's bench/ programs: only the library and
# the engine come from the revision, which must offer the calls the programs
# make.
#
# usage: bench/compare_cost.sh REVISION [BUILD_DIR] [RUNS]
#   REVISION   a git revision
#   BUILD_DIR  this tree's build directory (default build)
#   RUNS       timed runs per measure (default 7)
# CMAKE_FLAGS in the environment go to the revision's configure step (a
# compiler launcher, say).
set -euo pipefail

revision=${1:?usage: $0 REVISION [BUILD_DIR] [RUNS]}
build=${2:-build}
runs=${3:-7}
root=$(git rev-parse --show-toplevel)
case $build in /*) ;; *) build=$root/$build ;; esac

work=$(mktemp -d)
cleanup() {
  git -C "$root" worktree remove --force "$work/tree" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

git -C "$root" worktree add --detach "$work/tree" "$revision" >/dev/null
rm -rf "$work/tree/bench"
cp -r "$root/bench" "$work/tree/bench"
# shellcheck disable=SC2086 # CMAKE_FLAGS holds several words
cmake -S "$work/tree" -B "$work/build" -G Ninja -DVANTREL_BUILD_TESTS=OFF ${CMAKE_FLAGS:-} >/dev/null
programs=(data_path_cost sqlite_peer_cost)
cmake --build "$work/build" --target "${programs[@]}" >"$work/build.log" 2>&1 ||
  { cat "$work/build.log" >&2; exit 1; }
cmake --build "$build" --target "${programs[@]}" >/dev/null

echo "before: $(git -C "$root" rev-parse --short "$revision"); after: this tree"
"$root/bench/data_path_cost.sh" "$build/bench/data_path_cost" "$work/build/bench/data_path_cost" "$runs"
echo
"$root/bench/sqlite_peer.sh" "$build/bench/sqlite_peer_cost" "$work/build/bench/sqlite_peer_cost" "$runs"
