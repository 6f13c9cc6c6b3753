#!/usr/bin/env bash
# test.sh - builds and runs every test: native debug, AddressSanitizer + UBSan (with the fuzz
# targets' short runs), and the Windows build under wine; then a two-minute soak of both bridges
# under faults, and the benchmarks' build.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

# Wine's server is started by the Windows build's CTest run itself (cmake/wine-session.cmake),
# detached from every descriptor of ours; it is stopped again when the run ends.
export WINEDEBUG=-all

# The test runs spend nearly all their time waiting on sockets and timers (about a tenth of a
# core on average), so the next build compiles while a suite runs, and the Windows suite, whose
# blocks live in wine's server rather than in /dev/shm, runs beside the AddressSanitizer suite.
# Each suite's output goes to a log that is printed whole when it ends.
logs=$(mktemp -d "${TMPDIR:-/tmp}/vistrel-test-logs.XXXXXX")
# A suite still running when another fails is stopped with the script.
trap 'kill $(jobs -p) 2>/dev/null || true; wineserver -k >/dev/null 2>&1 || true; rm -rf "$logs"' EXIT

build() {
  echo "=== $1: build ==="
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1"
}
run_suite() { ctest --preset "$1" > "$logs/$1.log" 2>&1; }
report() {
  local preset=$1 rc=$2
  echo "=== $preset: tests ==="
  cat "$logs/$preset.log"
  [ "$rc" -eq 0 ] || { echo "The $preset tests failed."; exit "$rc"; }
}

build debug
run_suite debug & debug_pid=$!
build windows
build asan
rc=0; wait "$debug_pid" || rc=$?
report debug "$rc"

run_suite windows & windows_pid=$!
rc=0; run_suite asan || rc=$?
report asan "$rc"
rc=0; wait "$windows_pid" || rc=$?
report windows "$rc"

# Both bridges of the asan build against the simulators in chaos mode for two minutes, with a
# fixed seed, so that a regression in surviving misbehaving servers fails the run.
echo "=== soak (two minutes of chaos) ==="
scripts/soak.sh --seconds 120 --seed 20261207 --no-build

echo "=== release (benchmarks build) ==="
cmake --preset release >/dev/null
cmake --build --preset release
echo "=== packages (Linux tarball, Windows zip) ==="
cpack --preset release
cpack --preset windows

echo "All test suites passed."
