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
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

for preset in debug asan windows; do
  echo "=== $preset ==="
  cmake --workflow --preset "$preset"
done

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
