#!/usr/bin/env bash
# check_package.sh - makes the package of a build, checks that it holds what the README names,
# unpacks it into an empty folder and runs the demo from there: both simulators, the bridges
# with settings made from the shipped sample, and the monitor until it shows both blocks "OK".
# Natively the monitor starts the bridges itself, so that the unpacked files pass its check of
# program files; the Windows zip's demo.cmd is also run from a folder whose name holds "&".
# Usage: check_package.sh BUILD_DIR SOURCE_DIR wine|native
set -euo pipefail
. "$(dirname "$0")/common.sh"
build=$1 source=$2 mode=$3

work=$(mktemp -d "${TMPDIR:-/tmp}/vistrel-package.XXXXXX")
# The blocks of this check have names of its own, so that it runs beside other tests and a real
# installation; CTest's guard gives it a suffix, a run by hand gets one here.
export VISTREL_BLOCK_SUFFIX=${VISTREL_BLOCK_SUFFIX:-.package$$}
pids=()
# Ends what this check started, by process id, and removes its files.
status=0
cleanup() {
  local rc=$?
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  # The bridges that the monitor started are no children of this script: their end is waited for.
  gone() { local p; for p in "${pids[@]}"; do if kill -0 "$p" 2>/dev/null; then return 1; fi; done; }
  wait_for 5 gone || true
  for pid in "${pids[@]}"; do
    if kill -0 "$pid" 2>/dev/null; then echo "FAIL: process $pid still runs" >&2; status=1; fi
  done
  if [ "$mode" = native ]; then
    rm -f "/dev/shm/Vistrel_MPExtended$VISTREL_BLOCK_SUFFIX" "/dev/shm/Vistrel_WIFIRemote$VISTREL_BLOCK_SUFFIX"
  fi
  rm -rf "$work"
  [ "$rc" -ne 0 ] || exit "$status"
}
trap cleanup EXIT

if [ "$mode" = wine ]; then exe=.exe; else exe=; fi
cpack --config "$build/CPackConfig.cmake" -B "$work/out" > "$work/cpack.log" 2>&1 \
  || { cat "$work/cpack.log"; fail "cpack failed"; }
package=$(find "$work/out" -maxdepth 1 \( -name '*.zip' -o -name '*.tar.gz' \) | head -n 1)
[ -n "$package" ] || fail "no package made"
echo "package: $(basename "$package")"
grep -qF "$(basename "$package")" "$source/README.md" || fail "README.md does not name $(basename "$package")"

# The listing without the package's top folder.
cmake -E tar tf "$package" | sed 's|^[^/]*/||' | grep -v '/$' | grep -v '^$' | sort > "$work/listing"
cat "$work/listing"
expected=(Vistrel_MPExtended$exe Vistrel_WIFIRemote$exe Vistrel_Status$exe vistrel_tvsim$exe
          vistrel_wifisim$exe vistrel_peek$exe vistrel_lcd$exe plugins/MP.cfg.sample plugins/lcd.layout.sample
          README.md docs/configuration.md docs/reading-blocks.md docs/reader/vistrel_reader.h
          docs/reader/read_block.c)
[ "$mode" = wine ] && expected+=(demo.cmd)
for f in "${expected[@]}"; do
  grep -qxF "$f" "$work/listing" || fail "the package lacks $f"
  # The README names each file that the package holds, with / or \ between folder and file.
  grep -qF "$f" "$source/README.md" || grep -qF "${f//\//\\}" "$source/README.md" \
    || fail "README.md does not name $f"
done
# The settings sample is filled in with passwords where it lies: packed readable by its owner
# only (the zip keeps no POSIX rights).
if [ "$mode" = native ]; then
  sample_mode=$(tar tvzf "$package" | awk '$NF ~ /\/plugins\/MP\.cfg\.sample$/ { print $1 }')
  [ "$sample_mode" = "-rw-------" ] || fail "plugins/MP.cfg.sample is packed as ${sample_mode:-nothing}, not -rw-------"
fi
# Nothing else but the documentation folder.
while read -r f; do
  case "$f" in docs/*) continue ;; esac
  printf '%s\n' "${expected[@]}" | grep -qxF "$f" || fail "unexpected file in the package: $f"
done < "$work/listing"

if [ "$mode" = wine ]; then
  # cmd.exe misreads the labels and jumps of a batch file that has bare line feeds.
  demo=$(cmake -E tar tf "$package" | grep '/demo.cmd$')
  (cd "$work" && cmake -E tar xf "$package" "$demo")
  lines=$(wc -l < "$work/$demo")
  crlf=$(grep -c $'\r$' "$work/$demo" || true)
  [ "$lines" -gt 0 ] && [ "$lines" -eq "$crlf" ] || fail "demo.cmd has lines without CR LF"
  # A folder whose name holds "&": demo.cmd shows the name in quotes, so that the rest of it runs
  # as no command. Its stop finds a PowerShell that fails first in its own folder (a program of
  # the package that refuses the options), so that it shows the line that names the folder.
  odd="$work/a&echo INJECTED&rem a"
  mkdir -p "$odd"
  cp "$work/$demo" "$odd/demo.cmd"
  monitor=$(cmake -E tar tf "$package" | grep '/Vistrel_Status.exe$')
  (cd "$work" && cmake -E tar xf "$package" "$monitor")
  cp "$work/$monitor" "$odd/powershell.exe"
  said=$(cd "$odd" && { wine cmd /c demo.cmd stop 2>&1 || true; } | tr -d '\r')
  echo "$said"
  if grep -qx INJECTED <<< "$said"; then fail "demo.cmd ran a command out of its folder's name"; fi
  grep -qF 'a&echo INJECTED&rem a\demo\" in the Task Manager.' <<< "$said" ||
    fail "demo.cmd did not show its folder's name whole and quoted"
fi

mkdir -p "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$package")
top=$(find "$work/unpacked" -mindepth 1 -maxdepth 1 -type d | head -n 1)
cd "$top"
run() { if [ "$mode" = wine ]; then wine "./$1$exe" "${@:2}"; else "./$1" "${@:2}"; fi; }
# Starts a program in the background with its output in a file and keeps its process id (that
# of the program itself: under wine, the id of "wine program.exe" is the program's).
start() {
  local out=$1 program=$2; shift 2
  if [ "$mode" = wine ]; then wine "./$program$exe" "$@" > "$out" 2>&1 &
  else "./$program" "$@" > "$out" 2>&1 &
  fi
  pids+=($!)
}

for sim in vistrel_tvsim vistrel_wifisim vistrel_lcd; do
  run "$sim" --help > "$work/$sim.help" 2>&1 || fail "$sim --help failed"
  grep -q -- "--port" "$work/$sim.help" || fail "$sim --help does not list --port"
done

start "$work/tvsim.out" vistrel_tvsim --port 0 --port-file tvsim.port
start "$work/wifisim.out" vistrel_wifisim --port 0 --port-file wifisim.port
has_ports() { [ -s tvsim.port ] && [ -s wifisim.port ]; }
wait_for 30 has_ports || fail "the simulators did not start"

# The settings are the shipped sample with the simulators' ports put in.
tv_port=$(tr -d '\r\n' < tvsim.port)
wifi_port=$(tr -d '\r\n' < wifisim.port)
# They are made private, as the bridges ask of settings that hold passwords.
(umask 077
 sed -e "s/^Debug=.*/Debug=1/" -e "s/^MPExtended_Port=.*/MPExtended_Port=$tv_port/" \
     -e "s/^MPExtended_Wait=.*/MPExtended_Wait=1/" -e "s/^WifiRemote_Port=.*/WifiRemote_Port=$wifi_port/" \
     plugins/MP.cfg.sample > plugins/MP.cfg)

has_logs() { [ -s plugins/Vistrel_MPExtended.log ] && [ -s plugins/Vistrel_WIFIRemote.log ]; }
if [ "$mode" = native ]; then
  # The monitor starts the bridges from the unpacked folder: the files and folders as the package
  # installs them pass its check that nobody else can have put them there or changed them. The
  # bridges that it started are found by their program files here and ended with the rest.
  start "$work/screen.txt" Vistrel_Status
  wait_for 30 has_logs || { cat "$work/screen.txt" | tail -5; fail "the monitor started no bridges"; }
  for exe in /proc/[0-9]*/exe; do
    case "$(readlink "$exe" 2>/dev/null)" in
      "$top/Vistrel_MPExtended"|"$top/Vistrel_WIFIRemote") pid=${exe#/proc/}; pids+=("${pid%/exe}") ;;
    esac
  done
  [ "${#pids[@]}" -eq 5 ] || fail "the bridges that the monitor started were not found"
else
  # The bridges are started here, so that this check knows their ids; the monitor then finds
  # them running and starts none.
  start "$work/mpx.out" Vistrel_MPExtended
  start "$work/wfr.out" Vistrel_WIFIRemote
  wait_for 30 has_logs || fail "the bridges wrote no logs"
  start "$work/screen.txt" Vistrel_Status
fi
both_ok() {
  grep -aq "State1=Numtags.*Status1=OK" "$work/screen.txt" &&
    grep -aq "State2=Numtags.*Status2=OK" "$work/screen.txt" &&
    grep -aq "Recording1.ChannelName" "$work/screen.txt" &&
    grep -aq "Properties.Play.Current.Genre *News" "$work/screen.txt"
}
wait_for 60 both_ok || { tail -c 3000 "$work/screen.txt"; fail "the monitor did not show both blocks OK"; }
grep -a "State[12]=" "$work/screen.txt" | tail -n 2

for log in Vistrel_MPExtended Vistrel_WIFIRemote; do
  [ -s "plugins/$log.log" ] || fail "no plugins/$log.log"
done
grep -q "Vistrel MPExtended Interface v version" plugins/Vistrel_MPExtended.log || fail "no banner in the MPExtended log"
grep -q "Vistrel WIFIRemote Interface v version" plugins/Vistrel_WIFIRemote.log || fail "no banner in the WifiRemote log"
if grep -a "\*\*Error\*\*" plugins/*.log; then fail "error lines in the logs"; fi
if grep -a "Not starting" "$work/screen.txt"; then fail "the monitor refused a program file of the package"; fi
echo "package check passed"
