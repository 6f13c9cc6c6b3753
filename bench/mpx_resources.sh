#!/usr/bin/env bash
# mpx_resources.sh - what the real MPExtended bridge holds and spends with a library of real size:
# its resident memory after polls of a 1,000-recording list (about 1.4 MB an answer), against
# 4.5 MiB plus the pages of its tag table and of its block, and its processor time while it
# waits between polls, which must be nothing. POSIX (Linux /proc); the bridge publishes under a
# block name of the measurement's own (VISTREL_BLOCK_SUFFIX), so that it runs beside anything.
# Usage: bench/mpx_resources.sh [BUILD_DIR] [RECORDINGS]   (default build/release, 1000)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build/release}")
count=${2:-1000}
case "$count" in ''|*[!0-9]*) echo "RECORDINGS must be a count" >&2; exit 2 ;; esac
bridge="$build/mpextended/Vistrel_MPExtended"
sim="$build/simulators/tvsim/vistrel_tvsim"
[ -x "$bridge" ] && [ -x "$sim" ] || { echo "build $build first (Vistrel_MPExtended, vistrel_tvsim)" >&2; exit 2; }
export VISTREL_BLOCK_SUFFIX=${VISTREL_BLOCK_SUFFIX:-.resources$$}
[[ "$VISTREL_BLOCK_SUFFIX" =~ ^[A-Za-z0-9._-]{1,32}$ ]] || { echo "VISTREL_BLOCK_SUFFIX is no suffix" >&2; exit 2; }
block=/dev/shm/Vistrel_MPExtended$VISTREL_BLOCK_SUFFIX
[ ! -e "$block" ] || { echo "$block exists: another bridge runs" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/vistrel-resources.XXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -f "$block"
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/plugins"
cd "$work"

echo "library $count in-progress 3" > scenario.txt
"$sim" --port 0 --port-file port.txt --scenario scenario.txt --log sim.log > /dev/null &
pids+=($!)
for _ in $(seq 100); do [ -s port.txt ] && break; sleep 0.1; done
[ -s port.txt ] || { echo "the simulator did not come up" >&2; exit 1; }
# A pause long enough to watch the bridge wait between two polls.
printf 'Debug=0\nMPExtended_Port=%s\nMPExtended_Wait=10\n' "$(cat port.txt)" > plugins/MP.cfg
chmod 600 plugins/MP.cfg
"$bridge" > /dev/null &
bridge_pid=$!
pids+=("$bridge_pid")

answers() { grep -c " answer " sim.log 2>/dev/null || true; }
wait_answers() {  # n: waits up to 40 s for the simulator's n-th answer
  for _ in $(seq 400); do [ "$(answers)" -ge "$1" ] && return 0; sleep 0.1; done
  echo "no answer $1 within 40 s" >&2; exit 1
}
ticks() { awk '{print $14 + $15}' "/proc/$bridge_pid/stat"; }
status_kb() { awk -v k="$1:" '$1 == k {print $2}' "/proc/$bridge_pid/status"; }

wait_answers 3
sleep 1  # the third answer has been read, its tags derived and published
rss=$(status_kb VmRSS)
hwm=$(status_kb VmHWM)
tags=$(od -An -t d4 -j 64 -N 4 "$block" | tr -d ' ')
before=$(answers)
t0=$(ticks)
sleep 7
t1=$(ticks)
after=$(answers)

page=$(getconf PAGESIZE)
table_kb=$(( (2049 * 340 + page - 1) / page * page / 1024 ))
block_kb=$(( ((tags + 1) * 340 + page - 1) / page * page / 1024 ))
limit_kb=$(( 4608 + table_kb + block_kb ))
echo "library of $count recordings: $(grep " answer 3 " sim.log | sed 's/.* normal //')"
echo "tags published: $tags"
echo "resident memory: ${rss} kB now, ${hwm} kB at most; aim at most ${limit_kb} kB (4,608 + table ${table_kb} + block ${block_kb})"
echo "processor time in 7 s between two polls: $((t1 - t0)) ticks (answers during the wait: $((after - before)))"
ok=1
[ "$hwm" -le "$limit_kb" ] || { echo "FAIL: resident memory above the aim" >&2; ok=0; }
[ "$after" -eq "$before" ] || { echo "FAIL: a poll fell into the idle window" >&2; ok=0; }
[ "$((t1 - t0))" -eq 0 ] || { echo "FAIL: the bridge used the processor while waiting" >&2; ok=0; }
[ "$ok" -eq 1 ]
