#!/usr/bin/env bash
# soak.sh - runs both bridges (AddressSanitizer + UBSan build) against the two simulators in
# chaos mode for a while, then checks that nothing ended, leaked or stayed stale.
# POSIX (Linux /proc) only. The bridges publish under block names of the soak's own (a suffix,
# VISTREL_BLOCK_SUFFIX), and where it may (as root, or with user namespaces) the soak also gives
# itself a /dev/shm of its own, so that tests and demos run beside it.
#
#   scripts/soak.sh [--seconds N] [--seed S] [--mix LIST] [--debug D] [--no-build]
#
# The time comes from --seconds, else VISTREL_SOAK_SECONDS, else one hour. The run's files
# (logs, simulator journals, fault counts, samples) stay in build/soak/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

usage() { echo "usage: scripts/soak.sh [--seconds N] [--seed S] [--mix LIST] [--debug D] [--no-build]" >&2; exit 2; }
args=("$@")
seconds=${VISTREL_SOAK_SECONDS:-3600}
seed=""
mix=""
debug=1
build=1
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds|--seed|--mix|--debug) [ $# -ge 2 ] || usage ;;
  esac
  case "$1" in
    --seconds) seconds=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --mix) mix=$2; shift 2 ;;
    --debug) debug=$2; shift 2 ;;
    --no-build) build=0; shift ;;
    *) usage ;;
  esac
done
# Every value is checked for its shape before any use: the shell's arithmetic evaluates a
# variable's text as an expression, and an expression can run commands ("a[$(...)]"); the
# debug level and the mix also go into files and command lines.
number() {  # what, value, pattern of the allowed numbers
  [[ "$2" =~ $3 ]] || { echo "soak: $1 must be a whole number, not '$2'" >&2; exit 2; }
}
number "--seconds (or VISTREL_SOAK_SECONDS)" "$seconds" '^[1-9][0-9]{0,8}$'
[ -z "$seed" ] || number "--seed" "$seed" '^(0|[1-9][0-9]{0,8})$'
number "--debug" "$debug" '^-?(0|[1-9][0-9]{0,8})$'
[ -z "$mix" ] || [[ "$mix" =~ ^[a-z]+=[0-9]{1,6}(,[a-z]+=[0-9]{1,6})*$ ]] ||
  { echo "soak: --mix must read like whole=50,split=10, not '$mix'" >&2; exit 2; }
[ -n "$seed" ] || seed=$(( $(date +%s) % 1000000 ))
# The soak's blocks have names of their own (VISTREL_BLOCK_SUFFIX, which the bridges read), so
# that tests, demos and a real installation run beside it; a suffix given is used as it is.
export VISTREL_BLOCK_SUFFIX=${VISTREL_BLOCK_SUFFIX:-.soak$$}
[[ "$VISTREL_BLOCK_SUFFIX" =~ ^[A-Za-z0-9._-]{1,32}$ ]] ||
  { echo "soak: VISTREL_BLOCK_SUFFIX takes 1 to 32 letters, digits, '.', '_' or '-'" >&2; exit 2; }
blocks=("Vistrel_MPExtended$VISTREL_BLOCK_SUFFIX" "Vistrel_WIFIRemote$VISTREL_BLOCK_SUFFIX")

# A private /dev/shm: a mount namespace of our own with a fresh tmpfs over it.
if [ -z "${VISTREL_SOAK_PRIVATE:-}" ]; then
  export VISTREL_SOAK_PRIVATE=1
  for how in "--mount" "--user --map-root-user --mount"; do
    # shellcheck disable=SC2086
    if unshare $how --propagation private sh -c 'mount -t tmpfs soak /dev/shm' 2>/dev/null; then
      # shellcheck disable=SC2086
      exec unshare $how --propagation private sh -c \
        'mount -t tmpfs -o mode=1777 soak /dev/shm && exec "$0" "$@"' "$root/scripts/soak.sh" ${args[@]+"${args[@]}"}
    fi
  done
  echo "soak: no private /dev/shm here; the machine-wide block names are used" >&2
  VISTREL_SOAK_PRIVATE=shared
fi

bin="$root/build/asan"
if [ "$build" = 1 ]; then
  cmake --preset asan >/dev/null
  cmake --build --preset asan --target Vistrel_MPExtended Vistrel_WIFIRemote vistrel_tvsim \
    vistrel_wifisim vistrel_peek
fi

# Times of the run: a sane start from which the reference tags are taken, the chaos, then the
# way back, which may take the longest spill-over of a fault drawn last (an answer that claims
# more than it sends is given up after 10 s, a refusal keeps the port shut for up to 8 s, and a
# reconnect waits 6 s) plus two poll intervals.
warmup=15
poll=5
spill=16
limit_back=$(( spill + 2 * poll ))
if [ "$seconds" -ge 300 ]; then baseline_at=60; else baseline_at=20; fi
log_restart=5242880

run="$root/build/soak"
# The settings hold passwords and the bridges say so when others may read them.
umask 077
rm -rf "$run"
mkdir -p "$run/plugins"
cd "$run"

export ASAN_OPTIONS="log_path=$run/sanitizer:detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="log_path=$run/sanitizer:print_stacktrace=1"

started=()
cleanup() {
  trap - EXIT INT TERM
  for pid in "${started[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  # Only blocks whose names appeared during this run, and that this run's bridges still hold
  # under them, are removed: a block that was there before belongs to someone else (a demo or
  # a real installation of the same user), which the bridges merely opened.
  for b in "${blocks[@]}"; do
    [ -n "${made[$b]:-}" ] && [ -n "${inode[$b]:-}" ] &&
      [ "$(stat -c %i "/dev/shm/$b" 2>/dev/null)" = "${inode[$b]}" ] && rm -f "/dev/shm/$b"
  done
}
declare -A inode made
trap cleanup EXIT
trap 'exit 130' INT TERM

chaos=(--chaos "$seed" --chaos-from "$warmup" --chaos-for "$seconds")
[ -n "$mix" ] && chaos+=(--chaos-mix "$mix")
"$bin/simulators/tvsim/vistrel_tvsim" --port 0 --port-file tvsim.port --log tvsim.events \
  "${chaos[@]}" --chaos-counts tvsim.counts > tvsim.out 2>&1 &
started+=($!)
"$bin/simulators/wifisim/vistrel_wifisim" --port 0 --port-file wifisim.port --journal wifisim.journal \
  "${chaos[@]}" --chaos-counts wifisim.counts > wifisim.out 2>&1 &
started+=($!)
t0=$(date +%s)
for _ in $(seq 100); do
  [ -s tvsim.port ] && [ -s wifisim.port ] && break
  sleep 0.1
done
[ -s tvsim.port ] && [ -s wifisim.port ] || { echo "soak: the simulators did not start" >&2; exit 1; }
cat > plugins/MP.cfg <<CFG
Debug=$debug
MPExtended_IPAddress=127.0.0.1
MPExtended_Port=$(cat tvsim.port)
MPExtended_Wait=$poll
WifiRemote_IPAddress=127.0.0.1
WifiRemote_Port=$(cat wifisim.port)
CFG
# The bridges run as copies under names of the soak's own: a monitor, or a test of one, looks
# for running bridges by the end of their program path and must not take these for its own.
mkdir -p bin
cp "$bin/mpextended/Vistrel_MPExtended" bin/Vistrel_MPExtended.soak
cp "$bin/wifiremote/Vistrel_WIFIRemote" bin/Vistrel_WIFIRemote.soak
for b in "${blocks[@]}"; do
  [ -e "/dev/shm/$b" ] || [ -L "/dev/shm/$b" ] || made[$b]=1
done
bin/Vistrel_MPExtended.soak > mpx.out 2>&1 &
mpx=$!
started+=($mpx)
bin/Vistrel_WIFIRemote.soak > wfr.out 2>&1 &
wfr=$!
started+=($wfr)

# Tags that follow the clock (times, time so far, play position) change from one poll to the
# next, and Type is that of whichever message came last; every other tag must come back exactly.
volatile='(Time|Start|End|SoFar|Position|Date|Duration|Elapsed|Remaining|Scheduled)|^Type$'
# A block is read from the bridge's own mapping (copied under a name of the soak's own), so that
# the check still sees it when another program has removed the block's name meanwhile.
# The copy gets a fresh name that nobody can foresee (mktemp makes it, mode 0600): at a fixed
# name another user could have planted a link that the copy would write through.
tags() {  # block name, bridge's process id
  local range copy
  range=$(awk -v n="/dev/shm/$1" 'index($0, n) { print $1; exit }' "/proc/$2/maps" 2>/dev/null)
  [ -n "$range" ] || return 0
  copy=$(mktemp "/dev/shm/soak_$1.XXXXXX") || return 0
  cp "/proc/$2/map_files/$range" "$copy" 2>/dev/null || { rm -f "$copy"; return 0; }
  "$bin/tools/vistrel_peek" "${copy#/dev/shm/}" | awk -v v="$volatile" '
    NR == 1 { split($0, a, "Status="); print "status " a[2]; print $1, $2; next }
    NR == 2 { next }
    { name = $5; if (name ~ v) next;
      line = $2 " " $3; for (i = 5; i <= NF; i++) line = line " " $i; print line }' | sort
  rm -f "$copy"
}
# Time, then for each bridge: resident memory in kB, descriptors other than sockets, sockets.
# A bridge holds one socket while connected and none while it waits to reconnect, so sockets
# are counted apart: more than one would be a leak.
sample() {
  local out="$(( $(date +%s) - t0 ))"
  for pid in $mpx $wfr; do
    if [ -d "/proc/$pid" ]; then
      local links; links=$(ls -l "/proc/$pid/fd" 2>/dev/null | tail -n +2)
      out="$out $(awk '/^VmRSS/ {print $2}' "/proc/$pid/status")"
      out="$out $(grep -vc 'socket:' <<< "$links" || true) $(grep -c 'socket:' <<< "$links" || true)"
    else
      out="$out dead dead dead"
    fi
  done
  echo "$out"
}
alive() { kill -0 "$mpx" 2>/dev/null && kill -0 "$wfr" 2>/dev/null; }

for b in "${blocks[@]}"; do
  for _ in $(seq 50); do [ -e "/dev/shm/$b" ] && break; sleep 0.1; done
  inode[$b]=$(stat -c %i "/dev/shm/$b" 2>/dev/null || echo none)
done
echo "soak: seed $seed, ${seconds}s of chaos after ${warmup}s sane, Debug=$debug, files in $run"
sleep $(( warmup - 3 ))
tags "${blocks[0]}" $mpx > mpx.reference
tags "${blocks[1]}" $wfr > wfr.reference
echo "time mpx_rss_kb mpx_fds mpx_sockets wfr_rss_kb wfr_fds wfr_sockets" > samples
baseline=""
end=$(( t0 + warmup + seconds ))
while [ "$(date +%s)" -lt "$end" ]; do
  sleep 5
  s=$(sample)
  echo "$s" >> samples
  [ -z "$baseline" ] && [ "$(( $(date +%s) - t0 - warmup ))" -ge "$baseline_at" ] && baseline=$s
  alive || break
done
# The way back: both blocks show "OK" and the reference tags.
back_mpx=""; back_wfr=""
chaos_end=$(( t0 + warmup + seconds ))
while [ "$(date +%s)" -le $(( chaos_end + limit_back )) ]; do
  now=$(( $(date +%s) - chaos_end ))
  [ -z "$back_mpx" ] && tags "${blocks[0]}" $mpx > mpx.now && cmp -s mpx.now mpx.reference && back_mpx=$now
  [ -z "$back_wfr" ] && tags "${blocks[1]}" $wfr > wfr.now && cmp -s wfr.now wfr.reference && back_wfr=$now
  [ -n "$back_mpx" ] && [ -n "$back_wfr" ] && break
  sleep 1
done

final=$(sample)
fail=0
for b in "${blocks[@]}"; do
  [ "$(stat -c %i "/dev/shm/$b" 2>/dev/null)" = "${inode[$b]}" ] ||
    echo "  note  the name of block $b was removed or replaced by another program during the run"
done
check() { if eval "$2"; then echo "  ok    $1"; else echo "  FAIL  $1"; fail=1; fi; }
echo "soak: results after $(( $(date +%s) - t0 ))s"
check "both bridges still running" alive
reports=$(find . -maxdepth 1 -name 'sanitizer.*' | wc -l)
check "no sanitizer report (found $reports)" '[ "$reports" -eq 0 ]'
grep -q '^status OK' mpx.reference || { echo "  FAIL  the MPExtended block was not OK before the chaos"; fail=1; }
grep -q '^status OK' wfr.reference || { echo "  FAIL  the WifiRemote block was not OK before the chaos"; fail=1; }
check "MPExtended block back to OK and its tags (after ${back_mpx:-never}s, limit ${limit_back}s)" '[ -n "$back_mpx" ]'
check "WifiRemote block back to OK and its tags (after ${back_wfr:-never}s, limit ${limit_back}s)" '[ -n "$back_wfr" ]'
[ -n "$back_mpx" ] || diff mpx.reference mpx.now | head -20 || true
[ -n "$back_wfr" ] || diff wfr.reference wfr.now | head -20 || true
baseline=${baseline:-$(sed -n 2p samples)}
read -r _ b_mrss b_mfd b_msk b_wrss b_wfd b_wsk <<< "$baseline"
read -r _ f_mrss f_mfd f_msk f_wrss f_wfd f_wsk <<< "$final"
echo "  at ${baseline_at}s of chaos / at the end (kB resident, descriptors, sockets):" \
  "MPExtended $b_mrss $b_mfd $b_msk / $f_mrss $f_mfd $f_msk;" \
  "WifiRemote $b_wrss $b_wfd $b_wsk / $f_wrss $f_wfd $f_wsk"
# The margin: what the allocator and the sanitizer's own quarantine may add on top, 10% or 4 MB.
grows() { [ "$2" = dead ] || [ "$2" -gt $(( $1 + $1 / 10 > $1 + 4096 ? $1 + $1 / 10 : $1 + 4096 )) ]; }
check "MPExtended resident memory within the margin" '! grows "$b_mrss" "$f_mrss"'
check "WifiRemote resident memory within the margin" '! grows "$b_wrss" "$f_wrss"'
check "MPExtended descriptors unchanged, at most one socket" '[ "$f_mfd" = "$b_mfd" ] && [ "$f_msk" -le 1 ]'
check "WifiRemote descriptors unchanged, at most one socket" '[ "$f_wfd" = "$b_wfd" ] && [ "$f_wsk" -le 1 ]'
# Each restart of a log writes "Log file Opened at" on the bridge's console (from debug level 1;
# the first opening comes before the settings and does not show there).
for b in mpx:Vistrel_MPExtended wfr:Vistrel_WIFIRemote; do
  log=plugins/${b#*:}.log
  size=$(stat -c %s "$log" 2>/dev/null || echo 0)
  restarts=$(grep -c ' Log file Opened at ' "${b%%:*}.out" || true)
  check "$log $size bytes, below the restart size $log_restart (restarted $restarts times)" \
    '[ "$size" -le "$log_restart" ]'
done
echo "  faults drawn, TV simulator:       $(tr '\n' ' ' < tvsim.counts 2>/dev/null)"
echo "  faults drawn, WifiRemote simulator: $(tr '\n' ' ' < wifisim.counts 2>/dev/null)"
# Connection attempts are logged from debug level 2; the simulators count the connections made.
echo "  connections: MPExtended $(grep -c ' accept ' tvsim.events || true) accepted," \
  "$(grep -c 'Connecting' plugins/Vistrel_MPExtended.log || true) attempts logged," \
  "$(grep -c 'Connection closed' plugins/Vistrel_MPExtended.log || true) closes logged;" \
  "WifiRemote $(grep -c ' ACCEPT ' wifisim.journal || true) accepted," \
  "$(grep -c 'Connecting' plugins/Vistrel_WIFIRemote.log || true) attempts logged," \
  "$(grep -c 'Connection closed' plugins/Vistrel_WIFIRemote.log || true) closes logged"
echo "  error lines: MPExtended $(grep -c 'Error\|error\|fail\|Fail' plugins/Vistrel_MPExtended.log || true)," \
  "WifiRemote $(grep -c 'Error\|error\|fail\|Fail' plugins/Vistrel_WIFIRemote.log || true)"
[ "$fail" = 0 ] && echo "soak: passed" || echo "soak: FAILED"
exit "$fail"
