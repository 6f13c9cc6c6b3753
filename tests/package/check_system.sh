#!/usr/bin/env bash
# check_system.sh - the package on a Debian 12 system under a real systemd: a minimal root made
# once with debootstrap (kept in a cache folder outside the clone and reused), booted in a
# container with systemd-nspawn on a copy-on-write layer, so that every run starts from the same
# fresh system. In it: the package installed with apt, its user, folders and modes; the services
# enabled with settings edited to point at both simulators; both blocks published by the service
# user, vistrel_lcd drawing on the container's LCDd (text driver), a crashed and a killed bridge
# restarted, the journal lines, the sandbox scores of the loaded units, the monitor of the
# README's command starting no second bridge, a clean stop, an upgrade over itself that keeps
# the edited settings, and a remove and a purge that leave nothing of ours but the system user.
# Usage: check_system.sh PACKAGE.deb [CACHE_DIR]    (as root; elsewhere it says it is skipped)
set -euo pipefail
. "$(dirname "$0")/common.sh"
aim=2.5
if [ "$(id -u)" -ne 0 ]; then
  echo "check_system.sh: skipped (needs root: debootstrap, mounts and systemd-nspawn)"
  exit 0
fi
deb=$(realpath "$1")
cache=${2:-${VISTREL_TEST_CACHE:-/var/cache/vistrel-test}}
version=$(dpkg-deb -f "$deb" Version)
[ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] \
  || { echo "check_system.sh: $deb is not for this machine's architecture"; exit 2; }
start=$(date +%s)
elapsed() { echo "$(( $(date +%s) - start )) s"; }

"$(dirname "$0")/../../scripts/deps.sh" debootstrap systemd-container


# The root: Debian 12 with systemd, D-Bus and LCDproc (the package's recommendation, so that
# apt installs the package without the network). Made by one run at a time; a half-made root is
# never taken, as it gets its mark only when complete.
root=$cache/bookworm-root
# The root's recipe: a root made by another recipe is made again.
include=systemd,systemd-sysv,dbus,lcdproc
recipe="bookworm minbase $include"
mirror() {
  local uri
  uri=$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null \
          | grep -v security | head -n 1)
  [ -n "$uri" ] || uri=$(awk '$1 == "deb" && $2 !~ /security/ { print $2; exit }' /etc/apt/sources.list 2>/dev/null)
  echo "${uri:-http://deb.debian.org/debian}"
}
mkdir -p "$cache"
chmod 0700 "$cache"
exec 9> "$cache/.lock"
flock 9
if [ "$(cat "$root/.vistrel-root-complete" 2>/dev/null)" != "$recipe" ]; then
  echo "Making the Debian 12 root in $root (once; it is reused) from $(mirror)"
  rm -rf "$root.new"
  debootstrap --variant=minbase --include="$include" bookworm "$root.new" "$(mirror)" \
    > "$cache/debootstrap.log" 2>&1 || { tail -n 30 "$cache/debootstrap.log"; fail "debootstrap failed"; }
  rm -rf "$root"
  mv "$root.new" "$root"
  echo "$recipe" > "$root/.vistrel-root-complete"
  echo "root made ($(elapsed))"
fi
flock -u 9

# This run's system: the root below a layer of its own.
work=$(mktemp -d "${TMPDIR:-/tmp}/vistrel-system.XXXXXX")
mkdir -p "$work/upper" "$work/overlay-work" "$work/merged"
nspawn_pid=""
cleanup() {
  local rc=$?
  if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2>/dev/null; then
    kill "$nspawn_pid" 2>/dev/null || true
    for _ in $(seq 40); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.5; done
    kill -9 "$nspawn_pid" 2>/dev/null || true
    wait "$nspawn_pid" 2>/dev/null || true
  fi
  if [ "$rc" -ne 0 ] && [ -s "$work/console.log" ]; then
    echo "--- container console (last lines) ---"; tail -n 40 "$work/console.log"
  fi
  umount "$work/merged" 2>/dev/null || true
  rm -rf "$work"
  exit "$rc"
}
trap cleanup EXIT
mount -t overlay overlay -o "lowerdir=$root,upperdir=$work/upper,workdir=$work/overlay-work" "$work/merged"
sys=$work/merged

# The container's LCDd: the text driver, 20x4, its frames line by line into its journal.
cat > "$sys/etc/LCDd.conf" <<'EOF'
[server]
DriverPath=/usr/lib/x86_64-linux-gnu/lcdproc/
Driver=text
Bind=127.0.0.1
Port=13666
ReportToSyslog=no
ReportLevel=2
Foreground=yes
WaitTime=1
ServerScreen=no
[text]
Size=20x4
EOF
mkdir -p "$sys/etc/systemd/system/lcdproc.service.d"
printf '[Service]\nExecStart=\nExecStart=/usr/bin/stdbuf -oL /usr/sbin/LCDd -s 0 -f -c /etc/LCDd.conf\n' \
  > "$sys/etc/systemd/system/lcdproc.service.d/text-driver.conf"
mkdir -p "$sys/mnt/deb"
cp "$deb" "$sys/mnt/deb/"
pkg=/mnt/deb/$(basename "$deb")

# Booted with a network of its own (loopback only), so that its ports meet nobody's.
systemd-nspawn --quiet --register=no --keep-unit --private-network --console=pipe \
  -D "$sys" -M "vistrel$$" -b < /dev/null > "$work/console.log" 2>&1 &
nspawn_pid=$!
leader=""
# The container's init is the child of systemd-nspawn that runs systemd.
find_leader() {
  local p
  for p in /proc/[0-9]*; do
    if [ "$(awk '{ print $4 }' "$p/stat" 2>/dev/null)" = "$nspawn_pid" ] && [ "$(cat "$p/comm" 2>/dev/null)" = systemd ]; then
      leader=${p#/proc/}; return 0
    fi
  done
  return 1
}
wait_for 30 find_leader || fail "the container's systemd did not start"
in_c() { nsenter -t "$leader" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }
state=$(timeout 90 nsenter -t "$leader" -a systemctl is-system-running --wait 2>&1 || true)
echo "container: systemctl is-system-running: $state ($(elapsed))"
[ "$state" = running ] || { in_c systemctl --failed --no-pager || true; fail "the container's system is $state"; }

echo "--- install ---"
in_c apt-get install -y -q "$pkg" > "$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt install failed"; }
in_c dpkg-query -W -f='${Status} ${Version}\n' vistrel | grep -qx "install ok installed $version" \
  || fail "vistrel $version is not installed"
for p in Vistrel_Status vistrel_lcd vistrel_peek vistrel_tvsim vistrel_wifisim; do
  in_c sh -c "command -v $p" > /dev/null || fail "$p is not on the PATH"
done
passwd=$(in_c getent passwd vistrel) || fail "no user vistrel"
echo "user: $passwd"
case "$passwd" in *:/usr/sbin/nologin) ;; *) fail "the user vistrel can log in: $passwd" ;; esac
in_c getent group vistrel > /dev/null || fail "no group vistrel"
uid=$(cut -d: -f3 <<< "$passwd")
[ "$uid" -lt 1000 ] || fail "vistrel is no system user (uid $uid)"
# path, then the expected "type owner group mode" as stat prints it
expect_stat() {
  local got
  got=$(in_c stat -c '%F %U %G %a' "$1" 2>&1) || fail "$1: $got"
  [ "$got" = "$2" ] || fail "$1 is '$got', not '$2'"
}
expect_stat /etc/vistrel "directory root root 755"
expect_stat /etc/vistrel/MP.cfg "regular file vistrel vistrel 600"
expect_stat /etc/vistrel/MP.cfg.sample "regular file root root 644"
expect_stat /var/lib/vistrel "directory vistrel vistrel 700"
expect_stat /var/lib/vistrel/plugins "directory vistrel vistrel 700"
in_c cmp -s /etc/vistrel/MP.cfg /etc/vistrel/MP.cfg.sample || fail "MP.cfg is not made from the sample"
for u in vistrel.target vistrel-mpextended.service vistrel-wifiremote.service vistrel-lcd.service; do
  enabled=$(in_c systemctl is-enabled "$u" 2>&1 || true)
  [ "$enabled" = disabled ] || fail "$u is '$enabled' after the installation, not disabled"
  active=$(in_c systemctl is-active "$u" 2>&1 || true)
  [ "$active" = inactive ] || fail "$u is '$active' after the installation, not inactive"
done
echo "installed: programs on the PATH, user $uid, settings and working folder private, no unit enabled ($(elapsed))"

echo "--- simulators and settings ---"
in_c systemd-run --quiet --unit=vtest-tvsim -p WorkingDirectory=/tmp /usr/bin/vistrel_tvsim --port 14322
in_c systemd-run --quiet --unit=vtest-wifisim -p WorkingDirectory=/tmp /usr/bin/vistrel_wifisim --port 18017
# An administrator's edit, with sed -i as with an editor: the file is written anew.
in_c sed -i -e 's/^Debug=.*/Debug=1/' -e 's/^MPExtended_Port=.*/MPExtended_Port=14322/' \
  -e 's/^MPExtended_Wait=.*/MPExtended_Wait=2/' -e 's/^WifiRemote_Port=.*/WifiRemote_Port=18017/' /etc/vistrel/MP.cfg
expect_stat /etc/vistrel/MP.cfg "regular file vistrel vistrel 600"
edited=$(in_c md5sum /etc/vistrel/MP.cfg)

echo "--- enable ---"
in_c systemctl enable --now vistrel.target > "$work/enable.log" 2>&1 || { cat "$work/enable.log"; fail "enable failed"; }
services=(vistrel-mpextended vistrel-wifiremote vistrel-lcd)
all_active() { local u; for u in "${services[@]}"; do [ "$(in_c systemctl is-active "$u.service")" = active ] || return 1; done; }
wait_for 20 all_active || { in_c systemctl status --no-pager "${services[@]}" || true; fail "the services are not active"; }
for u in "${services[@]}" vistrel.target; do
  [ "$(in_c systemctl is-enabled "$u")" = enabled ] || fail "$u is not enabled"
done
main_pid() { in_c systemctl show -p MainPID --value "$1.service"; }
# Each program as its user in its folder, once systemd has set its process up (a simple
# service is active from the fork on, while the process is still systemd's).
program_runs() {  # unit program
  local pid; pid=$(main_pid "$1")
  [ "$(in_c readlink "/proc/$pid/exe" 2>/dev/null)" = "$2" ] || return 1
  owner=$(in_c stat -c %U "/proc/$pid") && cwd=$(in_c readlink "/proc/$pid/cwd")
}
for u in vistrel-mpextended:/usr/libexec/vistrel/Vistrel_MPExtended vistrel-wifiremote:/usr/libexec/vistrel/Vistrel_WIFIRemote \
         vistrel-lcd:/usr/bin/vistrel_lcd; do
  wait_for 10 program_runs "${u%%:*}" "${u#*:}" || fail "${u%%:*} does not run ${u#*:}"
  [ "$owner" = vistrel ] || fail "${u%%:*} runs as $owner"
  [ "$cwd" = /var/lib/vistrel ] || fail "${u%%:*} runs in $cwd"
done

# Both blocks published, private to the service user, with the simulators' data.
peek() { in_c runuser -u vistrel -- sh -c "cd / && vistrel_peek $1" 2>&1; }
mpx_ok() { peek Vistrel_MPExtended > "$work/mpx.peek" && grep -q 'State="Numtags\\0" Numtags=[1-9][0-9]* .*Status=OK' "$work/mpx.peek" &&
           grep -q "Recording1.Title" "$work/mpx.peek"; }
wfr_ok() { peek Vistrel_WIFIRemote > "$work/wfr.peek" && grep -q 'State="Numtags\\0" Numtags=[1-9][0-9]* .*Status=OK' "$work/wfr.peek" &&
           grep -q "IsPlaying" "$work/wfr.peek"; }
wait_for 30 mpx_ok || { cat "$work/mpx.peek"; fail "the MPExtended block is not published"; }
wait_for 30 wfr_ok || { cat "$work/wfr.peek"; fail "the WifiRemote block is not published"; }
expect_stat /dev/shm/Vistrel_MPExtended "regular file vistrel vistrel 600"
expect_stat /dev/shm/Vistrel_WIFIRemote "regular file vistrel vistrel 600"
head -n 1 "$work/mpx.peek"; head -n 1 "$work/wfr.peek"
echo "both blocks published ($(elapsed))"

# vistrel_lcd on the container's LCDd: a recording's screen in the text driver's frames.
lcd_rec() { in_c journalctl -q -u lcdproc.service --no-pager -o cat > "$work/lcdd.out" 2>&1 && grep -q "REC|" "$work/lcdd.out"; }
wait_for 30 lcd_rec || { tail -n 20 "$work/lcdd.out"; fail "no recording screen on LCDd"; }
grep -B1 -A4 "REC|" "$work/lcdd.out" | tail -n 6

# The journal and the log files.
# The journal holds the programs' console lines (the answers and messages at Debug=1), the log
# files the same with their opening banners.
for u in vistrel-mpextended:"TCP\[MPEx\]: .*Recording" vistrel-wifiremote:"TCP\[Wifi\]: " \
         vistrel-lcd:"Connected to LCDd at 127.0.0.1:13666: a display of 20x4"; do
  in_c journalctl -q -u "${u%%:*}.service" --no-pager -o cat > "$work/journal" 2>&1 || true
  grep -q "${u#*:}" "$work/journal" || { tail -n 20 "$work/journal"; fail "no line '${u#*:}' in the journal of ${u%%:*}"; }
done
for log in Vistrel_MPExtended Vistrel_WIFIRemote vistrel_lcd; do
  expect_stat "/var/lib/vistrel/plugins/$log.log" "regular file vistrel vistrel 600"
done
in_c grep -q "Vistrel MPExtended Interface" /var/lib/vistrel/plugins/Vistrel_MPExtended.log || fail "no banner in the MPExtended log"
in_c grep -q "Vistrel WIFIRemote Interface" /var/lib/vistrel/plugins/Vistrel_WIFIRemote.log || fail "no banner in the WifiRemote log"
if in_c grep -a "\*\*Error\*\*" /var/lib/vistrel/plugins/Vistrel_MPExtended.log /var/lib/vistrel/plugins/Vistrel_WIFIRemote.log; then
  fail "error lines in the bridges' logs"
fi
echo "journal and logs: the programs' lines in journalctl -u, private log files with banners, no error line"

# The README's monitor command: run from /, as the service user, it shows both blocks and
# starts no bridge of its own.
count_bridges() { in_c sh -c 'for e in /proc/[0-9]*/exe; do readlink "$e"; done 2>/dev/null' | grep -c "/Vistrel_$1\$" || true; }
in_c runuser -u vistrel -- sh -c 'cd / && timeout 4 Vistrel_Status' > "$work/monitor.out" 2>&1 || true
grep -q "Recording1.Title" "$work/monitor.out" && grep -q "IsPlaying" "$work/monitor.out" \
  || { tail -n 20 "$work/monitor.out"; fail "the monitor did not show both blocks"; }
[ "$(count_bridges MPExtended)" -eq 1 ] && [ "$(count_bridges WIFIRemote)" -eq 1 ] \
  || fail "the monitor started a second bridge"
grep -a "Not starting" "$work/monitor.out" | sort -u
grep -aq "Not starting Vistrel_MPExtended: there is no such file in this folder" "$work/monitor.out" \
  || fail "the monitor did not say why it starts no bridge"
echo "monitor: both blocks shown, no second bridge"

# A crash (the crash report ends the bridge with exit code 1) and a kill: both restarted.
restarted() { local now; now=$(main_pid "$1"); [ "$now" != 0 ] && [ "$now" != "$2" ] && [ "$(in_c systemctl is-active "$1.service")" = active ]; }
old=$(main_pid vistrel-mpextended)
in_c sh -c "kill -SEGV $old"
wait_for 20 restarted vistrel-mpextended "$old" || fail "the crashed MPExtended bridge was not restarted"
crash_logged() { in_c journalctl -q -u vistrel-mpextended.service --no-pager -o cat > "$work/journal" 2>&1 &&
                 grep -q "status=1/FAILURE" "$work/journal"; }
wait_for 10 crash_logged \
  || { grep -v "TCP\[" "$work/journal" | tail -n 15; fail "the crash did not end the bridge with exit code 1"; }
old=$(main_pid vistrel-wifiremote)
in_c sh -c "kill -KILL $old"
wait_for 20 restarted vistrel-wifiremote "$old" || fail "the killed WifiRemote bridge was not restarted"
wait_for 30 mpx_ok || fail "the restarted MPExtended bridge does not publish"
wait_for 30 wfr_ok || fail "the restarted WifiRemote bridge does not publish"
echo "restarts: crashed MPExtended (exit code 1) and killed WifiRemote bridge back and publishing ($(elapsed))"

# The sandbox of the loaded units.
for u in "${services[@]}"; do
  score=$(in_c systemd-analyze security --no-pager "$u.service" 2>&1 \
            | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) \(.*\)$/\1 \2/p')
  [ -n "$score" ] || fail "no security score for $u"
  echo "$u (loaded): exposure $score"
  awk -v s="${score%% *}" -v a="$aim" 'BEGIN { exit !(s <= a) }' || fail "$u is exposed $score, above $aim"
done

echo "--- upgrade over itself ---"
in_c apt-get install -y -q --reinstall "$pkg" > "$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "the upgrade failed"; }
[ "$(in_c md5sum /etc/vistrel/MP.cfg)" = "$edited" ] || fail "the upgrade changed the edited settings"
expect_stat /etc/vistrel/MP.cfg "regular file vistrel vistrel 600"
wait_for 20 all_active || fail "the services are not active after the upgrade"
wait_for 30 mpx_ok || fail "no MPExtended block after the upgrade"
echo "upgrade: edited settings kept, services running ($(elapsed))"

echo "--- stop ---"
stop_from=$(date +%s%N)
in_c systemctl stop vistrel.target
all_inactive() { local u; for u in "${services[@]}"; do [ "$(in_c systemctl is-active "$u.service")" = inactive ] || return 1; done; }
wait_for 15 all_inactive || {
  for u in "${services[@]}"; do in_c systemctl status --no-pager "$u.service" | tail -n 8; done
  fail "the services did not stop"
}
echo "stop: all three inactive after $(( ($(date +%s%N) - stop_from) / 1000000 )) ms"
user_procs() { in_c sh -c 'for p in /proc/[0-9]*; do stat -c %U "$p" 2>/dev/null; done' | grep -c '^vistrel$' || true; }
no_user_procs() { [ "$(user_procs)" -eq 0 ]; }
wait_for 10 no_user_procs || fail "processes of vistrel remain after the stop"
if in_c ls /dev/shm | grep Vistrel; then fail "blocks remain after the stop"; fi
echo "stop: all three inactive (not failed), no process of vistrel, blocks removed"

echo "--- remove and purge ---"
in_c apt-get remove -y -q vistrel > "$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "remove failed"; }
in_c test ! -e /usr/bin/vistrel_lcd || fail "remove left the programs"
in_c test -e /etc/vistrel/MP.cfg || fail "remove took the settings"
in_c apt-get purge -y -q vistrel > "$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "purge failed"; }
for gone in /etc/vistrel /var/lib/vistrel /usr/libexec/vistrel /usr/share/doc/vistrel /lib/systemd/system/vistrel.target; do
  in_c test ! -e "$gone" || fail "purge left $gone"
done
if in_c find /etc/systemd /var/lib/systemd /usr/lib/tmpfiles.d /usr/lib/sysusers.d -name '*vistrel*' | grep .; then
  fail "purge left files of ours"
fi
in_c getent passwd vistrel > /dev/null && echo "purge: nothing of ours left; the system user stays (Debian keeps users)"

in_c systemctl poweroff || true
for _ in $(seq 60); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.5; done
if kill -0 "$nspawn_pid" 2>/dev/null; then fail "the container did not power off"; fi
wait "$nspawn_pid" || true
nspawn_pid=""
echo "system check passed ($(elapsed))"
