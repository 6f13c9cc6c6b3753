#!/usr/bin/env bash
# deb.sh - makes the Debian packages vistrel_<version>_amd64.deb and vistrel_<version>_arm64.deb
# (cross-built) in build/deb/, with debhelper from the files in debian/. Installs what it needs
# with apt-get first (debhelper, CMake, Ninja, the arm64 cross compilers, lintian).
# Usage: scripts/deb.sh [ARCH...]     (default: amd64 arm64)
set -euo pipefail
cd "$(dirname "$0")/.."
source=$PWD
out=$source/build/deb
archs=("$@")
[ ${#archs[@]} -gt 0 ] || archs=(amd64 arm64)
native=$(dpkg --print-architecture)

needs=(debhelper dpkg-dev cmake ninja-build g++ lintian file)
# What deps.sh is asked for: the foreign architectures, then the packages.
foreign=()
for arch in "${archs[@]}"; do
  case "$arch" in
    "$native") ;;
    # The cross compilers, and the target's own run-time libraries (Debian's multiarch), from
    # whose symbols dpkg-shlibdeps works out the package's dependencies, as on the Pi itself.
    arm64) needs+=(crossbuild-essential-arm64 libc6:arm64 libstdc++6:arm64 libgcc-s1:arm64); foreign+=(--architecture arm64) ;;
    *) echo "deb.sh: no cross build for $arch" >&2; exit 2 ;;
  esac
done
scripts/deps.sh ${foreign[@]+"${foreign[@]}"} "${needs[@]}"

version=$(dpkg-parsechangelog -l debian/changelog -S Version)
mkdir -p "$out"
build_one() {
  local arch=$1
  # Each architecture builds in a copy of the sources of its own (the files that git knows,
  # as they are in the worktree), so that both can build at once and the worktree stays clean.
  local tree=$out/$arch/vistrel-$version
  rm -rf "$out/$arch"
  mkdir -p "$tree"
  (cd "$source" && git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf -) \
    | tar -xf - -C "$tree"
  local cross=()
  [ "$arch" = "$native" ] || cross=(--host-arch "$arch" --build-profiles=cross,nocheck)
  (cd "$tree" && DEB_BUILD_OPTIONS="nocheck parallel=${VISTREL_DEB_JOBS:-2}" \
     dpkg-buildpackage -b -us -uc --no-sign "${cross[@]}") > "$out/$arch.log" 2>&1 \
    || { tail -n 60 "$out/$arch.log"; echo "deb.sh: the $arch package failed (log: $out/$arch.log)" >&2; return 1; }
  mv "$out/$arch/vistrel_${version}_$arch.deb" "$out/"
  echo "$out/vistrel_${version}_$arch.deb"
}
for arch in "${archs[@]}"; do build_one "$arch"; done
