#!/usr/bin/env bash
# test.sh - builds and runs every test: native debug, AddressSanitizer + UBSan (with the fuzz
# targets' short runs), and the Windows build under wine; a two-minute soak of both bridges
# under faults; the benchmarks' build and the packages; the Debian packages, with the amd64 one
# under systemd in a container, and the arm64 build's part of the suite under qemu-user.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

# Wine's server is started by the Windows build's CTest run itself (cmake/wine-session.cmake),
# detached from every descriptor of ours; it is stopped again when the run ends.
export WINEDEBUG=-all

# The test runs spend nearly all their time waiting on sockets and timers, and every test has
# block names, a folder and ports of its own, so the suites run side by side with the builds
# and with each other, each with several tests at a time (the presets' jobs). Each suite's
# output goes to a log that is printed whole when it ends.
logs=$(mktemp -d "${TMPDIR:-/tmp}/vistrel-test-logs.XXXXXX")
# A suite still running when another fails is stopped with the script.
trap 'kill $(jobs -p) 2>/dev/null || true; wineserver -k >/dev/null 2>&1 || true; rm -rf "$logs"' EXIT
start=$(date +%s)
elapsed() { echo "($(( $(date +%s) - start )) s)"; }

build() {
  echo "=== $1: build $(elapsed) ==="
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1"
}
run_suite() { ctest --preset "$1" > "$logs/$1.log" 2>&1; }
report() {
  local name=$1 rc=$2
  echo "=== $name: tests $(elapsed) ==="
  cat "$logs/$name.log"
  [ "$rc" -eq 0 ] || { echo "The $name tests failed."; exit "$rc"; }
}

build debug
run_suite debug & debug_pid=$!
# Both Debian packages and their checks, the container under systemd (its root is cached in
# /var/cache/vistrel-test) and the arm64 build under qemu-user: mostly waiting once built, so
# beside everything that follows. Its builds yield the processor to the suites, whose tests of
# pauses and limits suffer when the machine is slow to answer.
nice -n 10 scripts/test_packages.sh > "$logs/debian.log" 2>&1 & debian_pid=$!
build asan
# Both bridges of the asan build against the simulators in chaos mode for two minutes, with a
# fixed seed, so that a regression in surviving misbehaving servers fails the run. It waits
# nearly all the time, so it runs beside everything that follows.
scripts/soak.sh --seconds 120 --seed 20261207 --no-build > "$logs/soak.log" 2>&1 & soak_pid=$!
run_suite asan & asan_pid=$!
build windows
rc=0; wait "$debug_pid" || rc=$?
report debug "$rc"
run_suite windows & windows_pid=$!
rc=0; wait "$asan_pid" || rc=$?
report asan "$rc"

echo "=== release (benchmarks build) $(elapsed) ==="
cmake --preset release >/dev/null
cmake --build --preset release
rc=0; wait "$windows_pid" || rc=$?
report windows "$rc"
echo "=== packages (Linux tarball, Windows zip) $(elapsed) ==="
cpack --preset release
cpack --preset windows
rc=0; wait "$soak_pid" || rc=$?
report soak "$rc"
rc=0; wait "$debian_pid" || rc=$?
report debian "$rc"

echo "All test suites passed $(elapsed)."
