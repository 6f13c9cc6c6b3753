#!/usr/bin/env bash
# arch_figures.sh - figures of the MPExtended bridge of each Debian package, amd64 natively and
# arm64 under qemu-user, against the native TV simulator: the whole poll of a 98-recording list
# (request, answer, the recordings in progress and their channel names, publication; polled
# back to back, MPExtended_Wait=0: the mean time between two answers over 100 polls, after the
# first ten), and the resident
# memory with a 1,000-recording list after three polls. Recorded figures, without an aim. Under
# qemu-user the memory is that of the emulator process, translated code included, which is more
# than the bridge would hold on an ARM machine.
# Usage: bench/arch_figures.sh [DEB_DIR]    (default build/deb, as scripts/deb.sh leaves it)
set -euo pipefail
cd "$(dirname "$0")/.."
debs=$(realpath "${1:-build/deb}")
version=$(dpkg-parsechangelog -l debian/changelog -S Version)

work=$(mktemp -d "${TMPDIR:-/tmp}/vistrel-figures.XXXXXX")
export VISTREL_BLOCK_SUFFIX=${VISTREL_BLOCK_SUFFIX:-.figures$$}
pids=()
stop_all() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  pids=()
  rm -f "/dev/shm/Vistrel_MPExtended$VISTREL_BLOCK_SUFFIX"
}
trap 'stop_all; rm -rf "$work"' EXIT

for arch in amd64 arm64; do
  mkdir -p "$work/$arch"
  dpkg-deb -x "$debs/vistrel_${version}_$arch.deb" "$work/$arch"
done
sim=$work/amd64/usr/bin/vistrel_tvsim

answers() { grep -c " answer [0-9]* normal" "$1" 2>/dev/null || true; }
wait_answers() {  # log n seconds
  local i
  for i in $(seq $(( $3 * 10 ))); do [ "$(answers "$1")" -ge "$2" ] && return 0; sleep 0.1; done
  echo "no answer $2 within $3 s" >&2; return 1
}
# run ARCH RECORDINGS WAIT: the simulator and the bridge in a folder of their own; the bridge's pid
# in bridge_pid.
run() {
  local arch=$1 count=$2 wait=$3 dir=$work/run-$1-$2
  mkdir -p "$dir/plugins"
  echo "library $count in-progress 3" > "$dir/scenario.txt"
  (cd "$dir" && exec "$sim" --port 0 --port-file port.txt --scenario scenario.txt --log sim.log > /dev/null) &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$dir/port.txt" ] && break; sleep 0.1; done
  (umask 077; printf 'Debug=0\nMPExtended_Port=%s\nMPExtended_Wait=%s\n' "$(cat "$dir/port.txt")" "$wait" \
     > "$dir/plugins/MP.cfg")
  local bridge=$work/$arch/usr/libexec/vistrel/Vistrel_MPExtended
  if [ "$arch" = arm64 ]; then
    (cd "$dir" && exec qemu-aarch64 -L /usr/aarch64-linux-gnu "$bridge" > /dev/null 2>&1) &
  else
    (cd "$dir" && exec "$bridge" > /dev/null 2>&1) &
  fi
  bridge_pid=$!
  pids+=("$bridge_pid")
  log=$dir/sim.log
}

printf '%-6s %-34s %s\n' arch "whole poll, 98 recordings (mean)" "resident memory, 1,000 recordings (now / peak)"
for arch in amd64 arm64; do
  run "$arch" 98 0
  wait_answers "$log" 110 120
  poll_ms=$(grep " answer [0-9]* normal" "$log" | awk 'NR == 10 { first = $1 } NR == 110 { printf "%.2f", ($1 - first) / 100 }')
  stop_all
  run "$arch" 1000 1
  wait_answers "$log" 3 120
  sleep 1
  rss=$(awk '$1 == "VmRSS:" { print $2 }' "/proc/$bridge_pid/status")
  hwm=$(awk '$1 == "VmHWM:" { print $2 }' "/proc/$bridge_pid/status")
  stop_all
  printf '%-6s %-34s %s\n' "$arch" "$poll_ms ms" "$rss kB / $hwm kB"
done
