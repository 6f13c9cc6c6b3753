#!/usr/bin/env bash
# deps.sh - installs the Debian packages that are missing. With --demo only what the demo builds
# with (compiler, CMake, Ninja); with --lcd what the demo's display needs (the LCDproc server,
# tmux, whose split shows it, and luit, which shows its ISO-8859-1 letters on a UTF-8 terminal); without, also what the tests need (clang with its sanitizer
# run-time, GoogleTest, Google Benchmark, mingw-w64 and wine for the Windows build, and LCDproc,
# whose LCDd the display client's tests run). Given package names instead, installs those that
# are missing (without recommended packages), first adding each --architecture ARCH to dpkg for a
# package of that architecture (libc6:arm64).
set -euo pipefail

demo=(cmake ninja-build g++)
tests=(clang libclang-rt-14-dev libgtest-dev googletest libbenchmark-dev g++-mingw-w64-x86-64-posix mingw-w64 wine64
       lcdproc)
foreign=()
options=()
case "${1:-}" in
  --demo) packages=("${demo[@]}") ;;
  --lcd) packages=(lcdproc tmux luit) ;;
  "") packages=("${demo[@]}" "${tests[@]}") ;;
  --architecture|[a-z0-9]*)
    while [ "${1:-}" = --architecture ]; do foreign+=("${2:?--architecture needs a name}"); shift 2; done
    packages=("$@")
    options=(--no-install-recommends)
    [ ${#packages[@]} -gt 0 ] || { echo "usage: scripts/deps.sh [--architecture ARCH]... PACKAGE..." >&2; exit 2; }
    ;;
  *) echo "usage: scripts/deps.sh [--demo | --lcd | [--architecture ARCH]... PACKAGE...]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
for arch in ${foreign[@]+"${foreign[@]}"}; do
  dpkg --print-foreign-architectures | grep -qx "$arch" || $sudo dpkg --add-architecture "$arch"
done
$sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq ${options[@]+"${options[@]}"} "${missing[@]}" >/dev/null
