#!/usr/bin/env bash
# test.sh - builds and runs every test: native debug, AddressSanitizer + UBSan (with the fuzz
# targets' short runs), and the Windows build under wine; then builds the benchmarks.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

# Without a persistent wine server every test process pays seconds of wine start-up.
export WINEDEBUG=-all
wineserver -p 60 2>/dev/null || true
wineboot -i >/dev/null 2>&1 || true

for preset in debug asan windows; do
  echo "=== $preset ==="
  cmake --workflow --preset "$preset"
done

echo "=== release (benchmarks build) ==="
cmake --preset release >/dev/null
cmake --build --preset release
echo "All test suites passed."
