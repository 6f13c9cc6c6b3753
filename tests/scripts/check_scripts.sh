#!/usr/bin/env bash
# check_scripts.sh - the helper scripts take only numbers as numbers, end and remove only what
# they started, and write through no name that someone else could have prepared. Each script runs
# as a copy in a folder of its own, with stand-ins for the build and the programs that it would
# use, so that nothing real is built or started; a stand-in bridge that must hold its block as a
# bridge does is the test child program.
# Usage: check_scripts.sh SOURCE_DIR soak|run CHILD_PROGRAM
set -euo pipefail
source=$1 what=$2 child=$3

work=$(mktemp -d "${TMPDIR:-/tmp}/vistrel-scripts.XXXXXX")
# The blocks of this check have names of its own (CTest's guard gives it a suffix, a run by hand
# gets one here), which the scripts and their stand-ins follow.
export VISTREL_BLOCK_SUFFIX=${VISTREL_BLOCK_SUFFIX:-.scripts$$}
made_blocks=()
cleanup() {
  local rc=$?
  [ "${#made_blocks[@]}" -eq 0 ] || rm -f "${made_blocks[@]}"
  rm -rf "$work"
  exit "$rc"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# A stand-in program: writes its --port-file (a simulator's), then waits to be ended.
stub() {  # path
  mkdir -p "$(dirname "$1")"
  cat > "$1" <<'STUB'
#!/usr/bin/env bash
while [ $# -gt 0 ]; do
  if [ "$1" = --port-file ]; then echo 40000 > "$2"; fi
  shift
done
exec sleep 60
STUB
  chmod +x "$1"
}

if [ "$what" = soak ]; then
  # The soak's copy with a build it may run: simulators that give a port, bridges that wait.
  tree="$work/soak"
  mkdir -p "$tree/scripts"
  cp "$source/scripts/soak.sh" "$tree/scripts/"
  chmod +x "$tree/scripts/soak.sh"  # it runs itself again in a private /dev/shm
  for p in simulators/tvsim/vistrel_tvsim simulators/wifisim/vistrel_wifisim mpextended/Vistrel_MPExtended \
           wifiremote/Vistrel_WIFIRemote tools/vistrel_peek; do
    stub "$tree/build/asan/$p"
  done
  marker="$work/command-ran"
  # Each line: the environment's VISTREL_SOAK_SECONDS (or -), then the arguments, split at '|'.
  # Shell arithmetic would evaluate PPID[$(...)] (a variable that is always set) and run the
  # command inside.
  cases=(
    "-|--seconds|PPID[\$(touch $marker)]"
    "PPID[\$(touch $marker)]|--seed|7"
    "-|--seconds|5|--seed|PPID[\$(touch $marker)]"
    "-|--seconds|5|--debug|1\$(touch $marker)"
    "-|--seconds|0"
    "-|--seconds|08"
    "-|--seconds|-3"
    "-|--seconds|5|--mix|whole=1;touch $marker"
    "-|--seconds"
  )
  for c in "${cases[@]}"; do
    IFS='|' read -r -a parts <<< "$c"
    env_seconds=${parts[0]}
    args=("${parts[@]:1}")
    rm -f "$marker"
    rm -rf "$tree/build/soak"
    set +e
    if [ "$env_seconds" = - ]; then
      out=$(timeout 60 bash "$tree/scripts/soak.sh" --no-build "${args[@]}" 2>&1)
    else
      out=$(VISTREL_SOAK_SECONDS=$env_seconds timeout 60 bash "$tree/scripts/soak.sh" --no-build "${args[@]}" 2>&1)
    fi
    rc=$?
    set -e
    echo "soak.sh ${args[*]} (VISTREL_SOAK_SECONDS=$env_seconds): exit $rc"
    [ ! -e "$marker" ] || fail "soak.sh ran the command written into a value: $c"
    [ "$rc" -eq 2 ] || { echo "$out" | tail -5; fail "soak.sh took $c (exit $rc, not 2)"; }
    [ ! -e "$tree/build/soak" ] || fail "soak.sh began a run with $c"
    grep -q "soak: .* must\|usage: scripts/soak.sh" <<< "$out" || fail "soak.sh gave no reason for refusing $c: $out"
  done
  echo "soak.sh refuses every value that is no number"

  # A short run with the machine-wide names (no private /dev/shm), beside a block of the same
  # name that was there before it, as a demo's would be: the WifiRemote stand-in makes its block
  # when it is missing and opens it otherwise; the MPExtended stand-in holds its block mapped, as
  # the bridge does, so that the soak copies it for its checks. Only the block that appeared
  # during the run is removed at its end. A link that another user planted at the name that the
  # soak once copied blocks to must not be written through.
  for b in "Vistrel_MPExtended$VISTREL_BLOCK_SUFFIX" "Vistrel_WIFIRemote$VISTREL_BLOCK_SUFFIX"; do
    [ ! -e "/dev/shm/$b" ] || fail "/dev/shm/$b exists before the check; something else uses the block names"
  done
  cat > "$tree/build/asan/wifiremote/Vistrel_WIFIRemote" <<'BRIDGE'
#!/usr/bin/env bash
[ -e /dev/shm/Vistrel_WIFIRemote${VISTREL_BLOCK_SUFFIX} ] || printf 'made by the soak' > /dev/shm/Vistrel_WIFIRemote${VISTREL_BLOCK_SUFFIX}
exec sleep 60
BRIDGE
  printf '#!/usr/bin/env bash\nexec "%s" hold-block Vistrel_MPExtended%s 60000\n' "$child" "$VISTREL_BLOCK_SUFFIX" \
    > "$tree/build/asan/mpextended/Vistrel_MPExtended"
  printf '#!/bin/sh\nexit 0\n' > "$tree/build/asan/tools/vistrel_peek"
  chmod +x "$tree/build/asan/mpextended/Vistrel_MPExtended" "$tree/build/asan/wifiremote/Vistrel_WIFIRemote"
  planted=/dev/shm/soak_Vistrel_MPExtended${VISTREL_BLOCK_SUFFIX}
  victim="$work/victim"
  printf 'untouched' > "$victim"
  made_blocks=(/dev/shm/Vistrel_WIFIRemote${VISTREL_BLOCK_SUFFIX} /dev/shm/Vistrel_MPExtended${VISTREL_BLOCK_SUFFIX} "$planted")
  rm -f "$planted"
  ln -s "$victim" "$planted"
  (umask 077; printf 'a demo' > /dev/shm/Vistrel_WIFIRemote${VISTREL_BLOCK_SUFFIX})
  rm -rf "$tree/build/soak"
  set +e
  out=$(VISTREL_SOAK_PRIVATE=shared timeout 60 bash "$tree/scripts/soak.sh" --no-build --seconds 1 2>&1)
  rc=$?
  set -e
  echo "soak.sh --seconds 1 beside a block that was there before: exit $rc"
  grep -q "soak: results after" <<< "$out" || { echo "$out" | tail -5; fail "soak.sh did not finish its run (exit $rc)"; }
  [ "$(cat /dev/shm/Vistrel_WIFIRemote${VISTREL_BLOCK_SUFFIX} 2>/dev/null)" = "a demo" ] ||
    fail "soak.sh removed or changed a block that was there before its run"
  [ ! -e /dev/shm/Vistrel_MPExtended${VISTREL_BLOCK_SUFFIX} ] || fail "soak.sh left the block that appeared during its run"
  echo "soak.sh removes only the blocks that appeared during its run"
  [ "$(cat "$victim")" = untouched ] || fail "soak.sh wrote its copy of a block through a link at $planted"
  [ -L "$planted" ] || fail "soak.sh removed the link at $planted, which is not its own"
  leftovers=$(find /dev/shm -maxdepth 1 -name 'soak_Vistrel_*.*' ! -path "$planted" | wc -l)
  [ "$leftovers" -eq 0 ] || fail "soak.sh left $leftovers copies of blocks in /dev/shm"
  echo "soak.sh copies blocks to names of its own making"
  exit 0
fi

[ "$what" = run ] || fail "unknown part: $what"
# run.sh's copy with stand-ins: deps.sh and cmake do nothing; the monitor makes the block of
# its MPExtended bridge (which the bridge has not made yet) and ends at once.
tree="$work/run"
mkdir -p "$tree/scripts" "$work/bin"
cp "$source/scripts/run.sh" "$tree/scripts/"
printf '#!/bin/sh\nexit 0\n' > "$tree/scripts/deps.sh"
printf '#!/bin/sh\nexit 0\n' > "$work/bin/cmake"
chmod +x "$tree/scripts/deps.sh" "$work/bin/cmake"
for p in simulators/tvsim/vistrel_tvsim simulators/wifisim/vistrel_wifisim mpextended/Vistrel_MPExtended \
         wifiremote/Vistrel_WIFIRemote; do
  stub "$tree/build/demo/$p"
done
mkdir -p "$tree/build/demo/status"
# Runs the copy of run.sh with the stand-ins first on the PATH, with the environment settings
# and options given (settings first), and no terminal: its output in out, its exit code in rc.
run_demo() {
  local settings=()
  while [ $# -gt 0 ] && [[ "$1" == *=* ]]; do settings+=("$1"); shift; done
  set +e
  out=$(env "${settings[@]}" PATH="$work/bin:$PATH" timeout 60 bash "$tree/scripts/run.sh" "$@" 2>&1 < /dev/null)
  rc=$?
  set -e
}

# With VISTREL_CHECK_SWAP set, the block is put out of the way once run.sh has seen it and
# another object takes its name (another user's, where this check runs as root), as another
# program could do meanwhile.
cat > "$tree/build/demo/status/Vistrel_Status" <<'STUB'
#!/bin/sh
printf 'made by the demo' > /dev/shm/Vistrel_MPExtended${VISTREL_BLOCK_SUFFIX}
[ -n "${VISTREL_CHECK_SWAP:-}" ] || exit 0
sleep 1
printf 'put there by another program' > /dev/shm/Vistrel_MPExtended${VISTREL_BLOCK_SUFFIX}.other
[ "$(id -u)" != 0 ] || chown 65534:65534 /dev/shm/Vistrel_MPExtended${VISTREL_BLOCK_SUFFIX}.other
mv -f /dev/shm/Vistrel_MPExtended${VISTREL_BLOCK_SUFFIX}.other /dev/shm/Vistrel_MPExtended${VISTREL_BLOCK_SUFFIX}
STUB
chmod +x "$tree/build/demo/status/Vistrel_Status"

# The WifiRemote block stands for that of a real installation already running.
for b in "Vistrel_MPExtended$VISTREL_BLOCK_SUFFIX" "Vistrel_WIFIRemote$VISTREL_BLOCK_SUFFIX"; do
  [ ! -e "/dev/shm/$b" ] || fail "/dev/shm/$b exists before the check; something else uses the block names"
done
made_blocks=(/dev/shm/Vistrel_WIFIRemote${VISTREL_BLOCK_SUFFIX} /dev/shm/Vistrel_MPExtended${VISTREL_BLOCK_SUFFIX})
(umask 077; printf 'a real installation' > /dev/shm/Vistrel_WIFIRemote${VISTREL_BLOCK_SUFFIX})
run_demo
echo "run.sh: exit $rc"
[ "$rc" -eq 0 ] || { echo "$out" | tail -5; fail "run.sh ended with $rc"; }
[ "$(cat /dev/shm/Vistrel_WIFIRemote${VISTREL_BLOCK_SUFFIX} 2>/dev/null)" = "a real installation" ] ||
  fail "run.sh removed or changed a block that it did not make"
[ ! -e /dev/shm/Vistrel_MPExtended${VISTREL_BLOCK_SUFFIX} ] || fail "run.sh left the block that its run made"
mode=$(stat -c %a "$tree/run/plugins/MP.cfg")
[ "$mode" = 600 ] || fail "run.sh wrote the settings with mode $mode, not 600"
echo "run.sh removes only the blocks made during its run, and keeps its settings private"

# The block that appeared is replaced by another object before the end: that one is not run.sh's.
made_blocks+=(/dev/shm/Vistrel_MPExtended${VISTREL_BLOCK_SUFFIX}.other)
run_demo VISTREL_CHECK_SWAP=1
echo "run.sh, its block replaced during the run: exit $rc"
[ "$rc" -eq 0 ] || { echo "$out" | tail -5; fail "run.sh ended with $rc"; }
[ "$(cat /dev/shm/Vistrel_MPExtended${VISTREL_BLOCK_SUFFIX} 2>/dev/null)" = "put there by another program" ] ||
  fail "run.sh removed an object that took the name of its block during its run"
echo "run.sh removes a block's name only while it leads to the block that appeared"

# run.sh --lcd inside tmux: the display's LCDd goes into a tmux pane and vistrel_lcd beside it,
# pointed at the port written into LCDd's settings; both end with the demo. Stand-ins for tmux
# (it runs the pane's command itself and prints its process id), LCDd and vistrel_lcd record
# what they were given.
rm -f /dev/shm/Vistrel_MPExtended${VISTREL_BLOCK_SUFFIX}
for p in tmux LCDd; do
  cat > "$work/bin/$p" <<STUB
#!/usr/bin/env bash
printf '%s\n' "\$*" >> "$work/$p.args"
STUB
done
cat >> "$work/bin/tmux" <<'STUB'
[ "$1" = split-window ] || exit 1
bash -c "${@: -1}" > /dev/null 2>&1 &
echo $!
STUB
cat >> "$work/bin/LCDd" <<STUB
echo \$\$ > "$work/lcdd.pid"
exec sleep 60
STUB
mkdir -p "$tree/build/demo/lcd"
cat > "$tree/build/demo/lcd/vistrel_lcd" <<STUB
#!/usr/bin/env bash
echo \$\$ > "$work/lcd.pid"
exec sleep 60
STUB
# luit, which turns the curses driver's ISO-8859-1 into the terminal's encoding: it records its
# options and runs the command after "--".
cat > "$work/bin/luit" <<STUB
#!/usr/bin/env bash
printf '%s\n' "\$*" >> "$work/luit.args"
while [ "\$1" != "--" ]; do shift; done
shift
exec "\$@"
STUB
chmod +x "$work/bin/tmux" "$work/bin/LCDd" "$work/bin/luit" "$tree/build/demo/lcd/vistrel_lcd"
run_demo TMUX=/tmp/stand-in,1,0 --lcd
echo "run.sh --lcd: exit $rc"
[ "$rc" -eq 0 ] || { echo "$out" | tail -5; fail "run.sh --lcd ended with $rc"; }
grep -q '^split-window ' "$work/tmux.args" || fail "run.sh --lcd made no tmux pane"
conf="$tree/run/LCDd.conf"
grep -qx 'Driver=curses' "$conf" && grep -qx 'Size=20x4' "$conf" || fail "LCDd.conf is not for the curses driver at 20x4"
port=$(sed -n 's/^Port=//p' "$conf")
grep -qx "LCD_Port=$port" "$tree/run/plugins/MP.cfg" || fail "vistrel_lcd is not pointed at LCDd's port $port"
grep -qx -- "-f -c $tree/run/LCDd.conf" "$work/LCDd.args" || fail "LCDd was not started on its settings: $(cat "$work/LCDd.args")"
if [ "$(locale charmap 2>/dev/null)" != "ISO-8859-1" ]; then
  grep -q -- "^-encoding ISO-8859-1 -- .*LCDd -f -c " "$work/luit.args" ||
    fail "LCDd's letters are not converted for the terminal: $(cat "$work/luit.args" 2>/dev/null)"
fi
for p in lcdd lcd; do
  [ -s "$work/$p.pid" ] || fail "$p was not started"
  pid=$(cat "$work/$p.pid")
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then kill "$pid"; fail "$p still runs after the demo"; fi
done
echo "run.sh --lcd starts LCDd in a tmux pane and vistrel_lcd for it, and ends both"
