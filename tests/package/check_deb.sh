#!/usr/bin/env bash
# check_deb.sh - checks a Debian package made by scripts/deb.sh without installing it: its
# control fields, every file with its mode and owner, the conffiles, the maintainer scripts,
# lintian (no error; every override explained), the units with systemd-analyze verify, and the
# units' sandbox scores (systemd-analyze security --offline) against the aim of 2.5 at most.
# Usage: check_deb.sh PACKAGE.deb SOURCE_DIR
set -euo pipefail
. "$(dirname "$0")/common.sh"
deb=$1 source=$2
aim=2.5

work=$(mktemp -d "${TMPDIR:-/tmp}/vistrel-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT
arch=$(dpkg-deb -f "$deb" Architecture)
echo "package: $(basename "$deb") ($arch)"

# Control fields: the services' needs, LCDd only recommended.
[ "$(dpkg-deb -f "$deb" Package)" = vistrel ] || fail "the package is not named vistrel"
depends=$(dpkg-deb -f "$deb" Depends)
grep -q "libc6" <<< "$depends" || fail "Depends lacks the C library: $depends"
grep -q "systemd" <<< "$depends" || fail "Depends lacks systemd (its sysusers): $depends"
# A cross build must depend on the target's own libraries, not on the cross toolchain's.
if grep -q -- "-cross" <<< "$depends"; then fail "Depends names cross packages: $depends"; fi
[ "$(dpkg-deb -f "$deb" Recommends)" = lcdproc ] || fail "lcdproc is not the recommendation"
if grep -q lcdproc <<< "$depends"; then fail "lcdproc is a dependency, not a recommendation"; fi

# Every file, with its mode and owner. Everything belongs to root; the settings that the
# services read are made at installation (postinst) and owned by their user then.
dpkg-deb -c "$deb" | awk '{ print $1, $2, $6 }' | sed 's|\./|/|' > "$work/listing"
entry() {  # mode owner path
  grep -qxF -- "$1 $2 $3" "$work/listing" || fail "no $3 with mode $1 and owner $2 (have: $(grep " $3\$" "$work/listing" || echo none))"
}
for p in Vistrel_Status vistrel_lcd vistrel_peek vistrel_tvsim vistrel_wifisim; do
  entry -rwxr-xr-x root/root "/usr/bin/$p"
done
for p in Vistrel_MPExtended Vistrel_WIFIRemote; do
  entry -rwxr-xr-x root/root "/usr/libexec/vistrel/$p"
done
for u in vistrel.target vistrel-mpextended.service vistrel-wifiremote.service vistrel-lcd.service; do
  entry -rw-r--r-- root/root "/lib/systemd/system/$u"
done
entry -rw-r--r-- root/root /etc/vistrel/MP.cfg.sample
entry -rw-r--r-- root/root /etc/vistrel/lcd.layout.sample
entry -rw-r--r-- root/root /usr/lib/sysusers.d/vistrel.conf
entry -rw-r--r-- root/root /usr/lib/tmpfiles.d/vistrel.conf
entry -rw-r--r-- root/root /usr/share/doc/vistrel/README.md.gz
entry -rw-r--r-- root/root /usr/share/doc/vistrel/copyright
entry -rw-r--r-- root/root /usr/share/doc/vistrel/docs/reader/vistrel_reader.h
# A manual page for every program on the PATH.
for p in Vistrel_Status vistrel_lcd vistrel_peek vistrel_tvsim vistrel_wifisim; do
  entry -rw-r--r-- root/root "/usr/share/man/man1/$p.1.gz"
done
# No settings file in the package: an upgrade must never replace the administrator's.
if grep -q " /etc/vistrel/MP.cfg$" "$work/listing"; then fail "the package holds /etc/vistrel/MP.cfg"; fi
# Nothing of the program-folder layout (plugins/ beside the programs) and nothing writable by others.
if grep -q "plugins" "$work/listing"; then fail "the package holds a plugins folder"; fi
if awk '$1 ~ /^.......(.w.|..w)/ && $1 !~ /^l/' "$work/listing" | grep .; then fail "files writable by others"; fi
# Every program is built for the package's architecture.
case "$arch" in amd64) machine="x86-64" ;; arm64) machine="ARM aarch64" ;; *) machine="?" ;; esac
mkdir -p "$work/root"
dpkg-deb -x "$deb" "$work/root"
for p in "$work"/root/usr/bin/* "$work"/root/usr/libexec/vistrel/*; do
  file -b "$p" | grep -q "ELF 64-bit .*$machine" || fail "$(basename "$p") is not an $arch program: $(file -b "$p")"
done

# The samples are conffiles (kept when changed); the settings file is not one.
dpkg-deb -e "$deb" "$work/control"
sort "$work/control/conffiles" > "$work/conffiles"
printf '%s\n' /etc/vistrel/MP.cfg.sample /etc/vistrel/lcd.layout.sample | diff -u - "$work/conffiles" \
  || fail "the conffiles differ"
# The maintainer scripts: the user before the settings, no unit enabled by the package.
for s in postinst postrm prerm; do [ -x "$work/control/$s" ] || fail "no $s"; done
grep -q "systemd-sysusers.*vistrel.conf" "$work/control/postinst" || fail "postinst makes no user"
grep -q "systemd-tmpfiles.*vistrel.conf" "$work/control/postinst" || fail "postinst makes no working folder"
users_at=$(grep -n "systemd-sysusers" "$work/control/postinst" | head -n1 | cut -d: -f1)
cfg_at=$(grep -n "install -o vistrel" "$work/control/postinst" | head -n1 | cut -d: -f1)
[ -n "$cfg_at" ] && [ "$users_at" -lt "$cfg_at" ] || fail "postinst makes the settings before the user"
if grep -q "deb-systemd-helper enable" "$work/control/postinst" &&
   ! grep -q "was-enabled" "$work/control/postinst"; then
  fail "postinst enables the units"
fi
grep -q "rm -rf /var/lib/vistrel" "$work/control/postrm" || fail "postrm purge leaves the working folder"

# The sample is the project's own, with every key.
cmp "$work/root/etc/vistrel/MP.cfg.sample" "$source/dist/MP.cfg" || fail "MP.cfg.sample is not dist/MP.cfg"

# lintian: no error; each override has its reason in a comment just above it.
if command -v lintian >/dev/null; then
  lintian --tag-display-limit 0 "$deb" > "$work/lintian" 2>&1 || true
  cat "$work/lintian"
  if grep -q "^E:" "$work/lintian"; then fail "lintian reports errors"; fi
  if grep -q "^W:" "$work/lintian"; then fail "lintian warnings without an override"; fi
  prev=""
  while IFS= read -r line; do
    case "$line" in
      ""|"#"*) ;;
      *) case "$prev" in "#"*) ;; *) fail "the override '$line' has no comment above it" ;; esac ;;
    esac
    prev=$line
  done < "$source/debian/vistrel.lintian-overrides"
else
  fail "lintian is not installed (scripts/deb.sh installs it)"
fi

# The units: systemd-analyze verify against the unpacked package (the programs that they name
# exist there, with this machine's own units beside them for the targets they name), and the
# sandbox's exposure of each service against the aim.
units=("$work"/root/lib/systemd/system/*)
[ ${#units[@]} -eq 4 ] || fail "expected 4 units, found ${#units[@]}"
cp -rn /lib/systemd/system/. "$work/root/lib/systemd/system/"
verify_out=$(cd "$work/root" && SYSTEMD_LOG_LEVEL=notice systemd-analyze verify --man=no \
               --root="$work/root" lib/systemd/system/vistrel.target lib/systemd/system/vistrel-*.service 2>&1) \
  || { echo "$verify_out"; fail "systemd-analyze verify failed"; }
# Another unit that the host lacks (LCDd.service, named by After=/Wants=) is no fault of ours.
if grep -v "LCDd.service" <<< "$verify_out" | grep -i "vistrel" ; then fail "systemd-analyze verify complains"; fi
for u in vistrel-mpextended vistrel-wifiremote vistrel-lcd; do
  score=$(systemd-analyze security --offline=yes --root="$work/root" --no-pager \
            "$work/root/lib/systemd/system/$u.service" 2>&1 | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) \(.*\)$/\1 \2/p')
  [ -n "$score" ] || fail "no security score for $u"
  echo "$u: exposure $score"
  awk -v s="${score%% *}" -v a="$aim" 'BEGIN { exit !(s <= a) }' || fail "$u is exposed $score, above $aim"
done
echo "package $(basename "$deb") check passed"
