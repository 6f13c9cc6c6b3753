#!/usr/bin/env bash
# run.sh - builds the programs and runs the main job in ./run: the monitor, which starts both
# bridges, against the two service simulators on loopback. With --config FILE the bridges use
# that settings file (a real media centre) and no simulator is started. The TV simulator serves
# a library of 300 recordings, three of them in progress; --library N serves N instead (0: the
# simulator's own list of five). --text-encoding NAME sets the bridges' Text_Encoding= (Raw,
# Windows-1252, ASCII or UTF-8) in the demo's settings. Names given after the options filter the
# monitor's rows. With --lcd the display comes too: LCDd with its curses driver (20x4) in a tmux
# pane below the monitor, and vistrel_lcd showing both blocks on it. q in the monitor, or
# Ctrl-C, ends it all.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
args=("$@")

config=""
library=300
encoding=""
lcd=0
filters=()
while [ $# -gt 0 ]; do
  case "$1" in
    --config) config=$(realpath "${2:?--config needs a settings file}"); shift 2 ;;
    --library) library=${2:?--library needs a count}; shift 2 ;;
    --text-encoding) encoding=${2:?--text-encoding needs Raw, Windows-1252, ASCII or UTF-8}; shift 2 ;;
    --lcd) lcd=1; shift ;;
    -*) echo "usage: scripts/run.sh [--config plugins/MP.cfg] [--library N] [--text-encoding NAME] [--lcd] [NAME...]" >&2; exit 2 ;;
    # The names left filter the monitor's rows.
    *) filters+=("$1"); shift ;;
  esac
done
case "$library" in ''|*[!0-9]*) echo "--library takes a count of recordings" >&2; exit 2 ;; esac
# VISTREL_BLOCK_SUFFIX, when set, gives this run's blocks names of their own (the programs
# started here read it too), so that the demo runs beside a real installation or another demo.
suffix=${VISTREL_BLOCK_SUFFIX:-}
if [ -n "$suffix" ] && ! [[ "$suffix" =~ ^[A-Za-z0-9._-]{1,32}$ ]]; then
  echo "VISTREL_BLOCK_SUFFIX takes 1 to 32 letters, digits, '.', '_' or '-'" >&2
  exit 2
fi

# The display is drawn in a tmux pane below the monitor: outside tmux the demo starts again in
# a tmux session of its own, which ends with it.
if [ "$lcd" -eq 1 ] && [ -z "${TMUX:-}" ]; then
  scripts/deps.sh --lcd
  again=$(printf '%q ' "$root/scripts/run.sh" "${args[@]}")
  exec tmux new-session -s "vistrel-demo-$$" \
    "$again || { echo 'scripts/run.sh failed; Enter closes this window'; read -r _; }"
fi

# The demo's own release build of the programs alone: no tests or benchmarks, so that it needs
# nothing beyond the compiler, CMake and Ninja.
scripts/deps.sh --demo
cmake --preset release -B build/demo -DVISTREL_TESTS=OFF -DVISTREL_BENCH=OFF >/dev/null
cmake --build build/demo --target Vistrel_MPExtended Vistrel_WIFIRemote Vistrel_Status \
  vistrel_tvsim vistrel_wifisim
if [ "$lcd" -eq 1 ]; then
  scripts/deps.sh --lcd
  cmake --build build/demo --target vistrel_lcd
fi

run="$root/run"
mkdir -p "$run/plugins"
cd "$run"
# The settings hold passwords: private, as the bridges ask.
umask 077
# A block that exists already belongs to someone else (a real installation that runs, or a run
# of another user) and is left in place; only the names that appear during this run are removed,
# and only while they still lead to the object that appeared: a plain file of this user, whose
# inode is noted when it is first seen. An object put in its place meanwhile (another user's, a
# link) is left alone.
made=()
for b in "/dev/shm/Vistrel_MPExtended$suffix" "/dev/shm/Vistrel_WIFIRemote$suffix"; do
  [ -e "$b" ] || [ -L "$b" ] || made+=("$b")
done
notes="$run/.blocks"
rm -rf "$notes"
mkdir -m 700 "$notes"
# Notes the inode of each new block name that leads to a plain file of this user.
note_blocks() {
  local b note
  for b in ${made[@]+"${made[@]}"}; do
    note="$notes/${b##*/}"
    [ ! -s "$note" ] && [ -f "$b" ] && [ ! -L "$b" ] && [ -O "$b" ] && stat -c %i "$b" > "$note"
  done
  return 0
}
ours() {  # block path: still the object noted for it
  local note="$notes/${1##*/}"
  [ -s "$note" ] && [ -f "$1" ] && [ ! -L "$1" ] && [ -O "$1" ] && [ "$(stat -c %i "$1")" = "$(cat "$note")" ]
}
bin="$root/build/demo"
for p in mpextended/Vistrel_MPExtended wifiremote/Vistrel_WIFIRemote status/Vistrel_Status; do
  cp -f "$bin/$p" .
done

started=()
# Ends what this command started: the simulators by their ids, the bridges (started by the
# monitor in the background) by their program files in ./run, then removes the blocks it made.
cleanup() {
  trap - EXIT INT TERM
  for pid in "${started[@]}"; do kill "$pid" 2>/dev/null || true; done
  for exe in /proc/[0-9]*/exe; do
    case "$(readlink "$exe" 2>/dev/null)" in
      "$run/Vistrel_MPExtended"|"$run/Vistrel_WIFIRemote"|"$run/Vistrel_MPExtended (deleted)"|"$run/Vistrel_WIFIRemote (deleted)")
        pid=${exe#/proc/}; kill "${pid%/exe}" 2>/dev/null || true ;;
    esac
  done
  # A block made just before the end may not have been noted yet.
  note_blocks
  for b in ${made[@]+"${made[@]}"}; do
    if ours "$b"; then rm -f "$b"; fi
  done
  printf '\nStopped; logs are in run/plugins/.\n'
}
trap cleanup EXIT
trap 'exit 130' INT TERM

rm -f tvsim.port wifisim.port
if [ -n "$config" ]; then
  cp -f "$config" plugins/MP.cfg
else
  library_options=()
  if [ "$library" -gt 0 ]; then
    echo "library $library in-progress 3" > tvsim.scenario
    library_options=(--scenario tvsim.scenario)
  fi
  "$bin/simulators/tvsim/vistrel_tvsim" --port 0 --port-file tvsim.port "${library_options[@]}" > plugins/tvsim.out 2>&1 &
  started+=($!)
  "$bin/simulators/wifisim/vistrel_wifisim" --port 0 --port-file wifisim.port > plugins/wifisim.out 2>&1 &
  started+=($!)
  for _ in $(seq 100); do
    [ -s tvsim.port ] && [ -s wifisim.port ] && break
    sleep 0.1
  done
  [ -s tvsim.port ] && [ -s wifisim.port ] || { echo "the simulators did not start" >&2; exit 1; }
  cat > plugins/MP.cfg <<CFG
// Written by scripts/run.sh for the demo: both bridges talk to the simulators on loopback.
Debug=1
MPExtended_IPAddress=127.0.0.1
MPExtended_Port=$(cat tvsim.port)
MPExtended_Wait=5
WifiRemote_IPAddress=127.0.0.1
WifiRemote_Port=$(cat wifisim.port)
CFG
  if [ -n "$encoding" ]; then echo "Text_Encoding=$encoding" >> plugins/MP.cfg; fi
fi
chmod 600 plugins/MP.cfg

# LCDd with its curses driver, 20x4, on a free loopback port, in a tmux pane below the monitor;
# and vistrel_lcd, which finds it through the settings, with its console lines in a file.
start_display() {
  local lcdd drivers port p pane
  lcdd=$(command -v LCDd || echo /usr/sbin/LCDd)
  drivers=$(find /usr/lib /usr/local/lib -path '*/lcdproc/curses.so' 2>/dev/null | head -n 1)
  [ -x "$lcdd" ] && [ -n "$drivers" ] || { echo "LCDd or its curses driver is missing (scripts/deps.sh --lcd)" >&2; exit 1; }
  port=""
  for p in $(seq 13666 13766); do
    # A connection that is refused: nothing listens there.
    if ! (: > "/dev/tcp/127.0.0.1/$p") 2>/dev/null; then port=$p; break; fi
  done
  [ -n "$port" ] || { echo "no free port for LCDd between 13666 and 13766" >&2; exit 1; }
  cat > LCDd.conf <<CONF
[server]
DriverPath=${drivers%curses.so}
Driver=curses
Bind=127.0.0.1
Port=$port
ReportToSyslog=no
User=$(id -un)
Foreground=yes
WaitTime=3
ServerScreen=blank
[curses]
Size=20x4
TopLeftX=2
TopLeftY=0
UseACS=no
DrawBorder=yes
CONF
  echo "LCD_Port=$port" >> plugins/MP.cfg
  # The curses driver writes the display's letters in ISO-8859-1, as a display takes them: on a
  # terminal of another encoding (UTF-8) luit converts them, so that accented letters show.
  local show="exec"
  if command -v luit > /dev/null && [ "$(locale charmap 2>/dev/null)" != "ISO-8859-1" ]; then
    show="exec luit -encoding ISO-8859-1 --"
  fi
  pane=$(tmux split-window -v -d -l 7 -P -F '#{pane_pid}' \
    "$show $(printf '%q' "$lcdd") -f -c $(printf '%q' "$run/LCDd.conf")")
  started+=("$pane")
  "$bin/lcd/vistrel_lcd" > plugins/vistrel_lcd.out 2>&1 &
  started+=($!)
}
[ "$lcd" -eq 0 ] || start_display

# The monitor starts no bridge while one of this user serves the same block already; a copy
# from another folder would then be watched instead of ours, against other settings.
others=0
for exe in /proc/[0-9]*/exe; do
  path=$(readlink "$exe" 2>/dev/null) || continue
  pid=${exe#/proc/}; pid=${pid%/exe}
  case "$path" in
    */Vistrel_MPExtended) block="/dev/shm/Vistrel_MPExtended$suffix" ;;
    */Vistrel_WIFIRemote) block="/dev/shm/Vistrel_WIFIRemote$suffix" ;;
    *) continue ;;
  esac
  if [ "${path%/*}" != "$run" ] && grep -q " $block\$" "/proc/$pid/maps" 2>/dev/null; then
    echo "Note: $path already serves ${block#/dev/shm/}; the monitor starts no bridge of that name." >&2
    others=1
  fi
done
[ "$others" -eq 0 ] || sleep 5

# The blocks' identities are noted as they appear, while the monitor runs.
( while :; do note_blocks; sleep 0.2; done ) &
started+=($!)
./Vistrel_Status ${filters[@]+"${filters[@]}"}
