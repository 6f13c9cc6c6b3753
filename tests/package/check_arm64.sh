#!/usr/bin/env bash
# check_arm64.sh - the programs of the 64-bit ARM build under qemu-user: each one starts (its
# --help, or a bridge until it publishes), both bridges end to end against both simulators (all
# ARM programs) read back with the ARM vistrel_peek, and vistrel_lcd drawing a recording's screen
# on a real LCDd (text driver, native: the display server is not ours). Every ARM program runs
# through the emulator named here; none starts another.
# Usage: check_arm64.sh BUILD_DIR "EMULATOR ARGS" LCDD
set -euo pipefail
. "$(dirname "$0")/common.sh"
build=$(realpath "$1")
read -r -a emulator <<< "${2//;/ }"
lcdd=${3:-/usr/sbin/LCDd}
drivers=$(dirname "$(find /usr/lib /usr/local/lib -path '*lcdproc/text.so' 2>/dev/null | head -n 1)")

work=$(mktemp -d "${TMPDIR:-/tmp}/vistrel-arm64.XXXXXX")
# The blocks of this check have names of its own (the guard of a CTest run gives none here).
export VISTREL_BLOCK_SUFFIX=${VISTREL_BLOCK_SUFFIX:-.arm64$$}
pids=()
cleanup() {
  local rc=$?
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [ "$rc" -ne 0 ]; then
    for f in "$work"/*.out "$work"/plugins/*.log; do
      [ -f "$f" ] && { echo "--- $(basename "$f") (last lines)"; tail -n 15 "$f"; }
    done
  fi
  rm -f "/dev/shm/Vistrel_MPExtended$VISTREL_BLOCK_SUFFIX" "/dev/shm/Vistrel_WIFIRemote$VISTREL_BLOCK_SUFFIX"
  rm -rf "$work"
  exit "$rc"
}
trap cleanup EXIT
arm() { "${emulator[@]}" "$@"; }
# Started as a simple command, so that $! is the emulator's process, which runs the program and
# takes its signals (a function in the background would be a subshell around it).
start() {  # output program args...
  local out=$1; shift
  "${emulator[@]}" "$@" > "$work/$out" 2>&1 &
  pids+=($!)
}

programs=(mpextended/Vistrel_MPExtended wifiremote/Vistrel_WIFIRemote status/Vistrel_Status lcd/vistrel_lcd
          tools/vistrel_peek simulators/tvsim/vistrel_tvsim simulators/wifisim/vistrel_wifisim)
for p in "${programs[@]}"; do
  file -b "$build/$p" | grep -q "ARM aarch64" || fail "$p is not an ARM program: $(file -b "$build/$p")"
done
# The programs that take options start and answer --help.
for p in status/Vistrel_Status lcd/vistrel_lcd simulators/tvsim/vistrel_tvsim simulators/wifisim/vistrel_wifisim; do
  arm "$build/$p" --help > "$work/help.txt" 2>&1 || fail "$p --help failed under qemu"
  grep -q -- "--" "$work/help.txt" || fail "$p --help printed no option"
done
arm "$build/tools/vistrel_peek" > "$work/help.txt" 2>&1 && fail "vistrel_peek without a block succeeded"
grep -q "usage: vistrel_peek" "$work/help.txt" || fail "vistrel_peek printed no usage"
echo "each program starts under qemu ($(uname -m) host)"

cd "$work"
mkdir plugins
start tvsim.out "$build/simulators/tvsim/vistrel_tvsim" --port 0 --port-file tvsim.port
start wifisim.out "$build/simulators/wifisim/vistrel_wifisim" --port 0 --port-file wifisim.port
has_ports() { [ -s tvsim.port ] && [ -s wifisim.port ]; }
wait_for 30 has_ports || fail "the simulators did not start under qemu"

# LCDd with the text driver on a free port: a port that is free now is taken for it.
lcd_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat > LCDd.conf <<EOF
[server]
DriverPath=$drivers/
Driver=text
Bind=127.0.0.1
Port=$lcd_port
ReportToSyslog=no
ReportLevel=2
User=$(id -un)
Foreground=yes
WaitTime=1
ServerScreen=no
[text]
Size=20x4
EOF
stdbuf -oL "$lcdd" -f -c LCDd.conf > "$work/lcdd.out" 2>&1 &
pids+=($!)

(umask 077
 printf 'Debug=1\nMPExtended_Port=%s\nMPExtended_Wait=1\nWifiRemote_Port=%s\nLCD_Port=%s\n' \
   "$(cat tvsim.port)" "$(cat wifisim.port)" "$lcd_port" > plugins/MP.cfg)
start mpx.out "$build/mpextended/Vistrel_MPExtended"
start wfr.out "$build/wifiremote/Vistrel_WIFIRemote"
start lcd.out "$build/lcd/vistrel_lcd"

peek() { arm "$build/tools/vistrel_peek" "$1" > "$work/$1.peek" 2>&1; }
mpx_ok() { peek Vistrel_MPExtended && grep -q 'State="Numtags\\0" Numtags=[1-9][0-9]* .*Status=OK' Vistrel_MPExtended.peek &&
           grep -q "Recording1.ChannelName" Vistrel_MPExtended.peek; }
wfr_ok() { peek Vistrel_WIFIRemote && grep -q 'State="Numtags\\0" Numtags=[1-9][0-9]* .*Status=OK' Vistrel_WIFIRemote.peek &&
           grep -q "IsPlaying" Vistrel_WIFIRemote.peek; }
wait_for 60 mpx_ok || { cat Vistrel_MPExtended.peek; fail "the ARM MPExtended bridge did not publish"; }
wait_for 60 wfr_ok || { cat Vistrel_WIFIRemote.peek; fail "the ARM WifiRemote bridge did not publish"; }
head -n 1 Vistrel_MPExtended.peek; head -n 1 Vistrel_WIFIRemote.peek
if grep -a "\*\*Error\*\*" plugins/Vistrel_MPExtended.log plugins/Vistrel_WIFIRemote.log; then
  fail "error lines in the ARM bridges' logs"
fi
echo "both ARM bridges publish what the ARM simulators serve"

rec_screen() { grep -q "REC|" lcdd.out; }
wait_for 60 rec_screen || fail "the ARM vistrel_lcd drew no recording's screen on LCDd"
grep -B1 -A4 "REC|" lcdd.out | tail -n 6
# Its screens go as it ends on SIGTERM.
lcd_pid=${pids[-1]}
kill -TERM "$lcd_pid"
wait_for 10 eval '! kill -0 '"$lcd_pid"' 2>/dev/null' || fail "the ARM vistrel_lcd did not end on SIGTERM"
echo "ARM vistrel_lcd draws on LCDd and ends on SIGTERM"
# Nothing of this check outlives it: each program's process is the one that was started.
for pid in "${pids[@]}"; do
  [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$(readlink -f "$(command -v "${emulator[0]}")")" ] ||
    [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$(readlink -f "$lcdd")" ] || ! kill -0 "$pid" 2>/dev/null ||
    fail "process $pid is not the program that was started"
done
echo "arm64 programs check passed"
