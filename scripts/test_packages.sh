#!/usr/bin/env bash
# test_packages.sh - the Debian packages and the 64-bit ARM build, as the test command runs them
# beside its other suites: makes both packages (scripts/deb.sh) and checks each without
# installing it; the amd64 package on a Debian 12 system under systemd in a container (as root;
# its root is made once and kept in the cache folder); the arm64 build's part of the suite under
# qemu-user; and the benchmark figures of both builds (recorded, no aim).
# Usage: scripts/test_packages.sh [--no-bench]
set -euo pipefail
cd "$(dirname "$0")/.."
bench=1
[ "${1:-}" = --no-bench ] && bench=0
start=$(date +%s)
elapsed() { echo "($(( $(date +%s) - start )) s)"; }

scripts/deps.sh qemu-user file python3 lcdproc

echo "=== Debian packages: build $(elapsed) ==="
scripts/deb.sh amd64 arm64
version=$(dpkg-parsechangelog -l debian/changelog -S Version)
for arch in amd64 arm64; do
  echo "=== package check: $arch $(elapsed) ==="
  tests/package/check_deb.sh "build/deb/vistrel_${version}_$arch.deb" "$PWD"
done

# The container test mostly waits: it runs beside the ARM build.
logs=$(mktemp -d "${TMPDIR:-/tmp}/vistrel-packages.XXXXXX")
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$logs"' EXIT
tests/package/check_system.sh "build/deb/vistrel_${version}_amd64.deb" > "$logs/system.log" 2>&1 & system_pid=$!

echo "=== arm64: build $(elapsed) ==="
cmake --preset arm64 > /dev/null
cmake --build --preset arm64
echo "=== arm64: tests under qemu-user $(elapsed) ==="
ctest --preset arm64

rc=0; wait "$system_pid" || rc=$?
echo "=== the package under systemd $(elapsed) ==="
cat "$logs/system.log"
[ "$rc" -eq 0 ] || { echo "The system check failed."; exit "$rc"; }

if [ "$bench" -eq 1 ]; then
  echo "=== benchmarks: amd64 and arm64 under qemu-user $(elapsed) ==="
  bench/arch_figures.sh build/deb
fi
echo "Packages and arm64 passed $(elapsed)."
