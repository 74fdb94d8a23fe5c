#!/usr/bin/env bash
# Builds the release files from the checked-out commit (HEAD, exported clean:
# neither uncommitted changes nor build/ or dist/ reach them):
#   dist/comscan_<version>.dsc, comscan_<version>.tar.xz   the source package
#   dist/comscan_<version>_<arch>.deb   for amd64, i386, arm64 and armhf
#   dist/comscan-<version>-win32.zip    the 32-bit x86 comscan.exe and README.txt
#   dist/SHA256SUMS                     the sums of the files above
# The packages are built by dpkg-buildpackage from the source package, the
# foreign ones cross-built. The version and every time stamp come from
# debian/changelog (its version is project()'s, which CMake checks), so two
# runs from the same commit give byte-identical files, and so does a rebuild
# from the source package.
#
# Usage: scripts/release.sh [build-dir [dist-dir]]
#   defaults: build/release and dist (both relative to the repository)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath -m "${1:-build/release}")
dist=$(realpath -m "${2:-dist}")
architectures=(amd64 i386 arm64 armhf)

scripts/setup.sh --release

if [[ -n "$(git status --porcelain --untracked-files=no)" ]]; then
  echo "release: uncommitted changes are left out: the release is the commit $(git rev-parse --short HEAD)" >&2
fi
# Every build from scratch; only what this script makes is removed, whatever
# else the directory holds.
mkdir -p "$build"
(cd "$build" && rm -rf export source logs windows-i686 comscan-*-win32.zip "${architectures[@]}")
mkdir -p "$build/export" "$build/logs"
git archive HEAD | tar -x -C "$build/export"
version=$(dpkg-parsechangelog -l "$build/export/debian/changelog" -SVersion)
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l "$build/export/debian/changelog" -STimestamp)
export SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C
umask 022
source_dir="$build/source/comscan-$version"
mkdir -p "$build/source"
mv "$build/export" "$source_dir"

# Runs a step with its output in logs/<name>.log, shown when it fails, and
# tells how long it took.
logged() {  # name command...
  local name=$1 began=$SECONDS
  shift
  if ! "$@" >"$build/logs/$name.log" 2>&1; then
    echo "release: $name failed:" >&2
    tail -n 40 "$build/logs/$name.log" >&2
    return 1
  fi
  echo "   $name: $((SECONDS - began)) s"
}

# One binary package, built in a copy unpacked from the source package; the
# build machine's own architecture natively, the others cross.
build_deb() {  # arch
  local arch=$1 dir="$build/$1"
  local options=(-b -us -uc)
  [[ "$arch" == "$(dpkg --print-architecture)" ]] || options+=(-a "$arch" -Pcross,nocheck)
  mkdir -p "$dir"
  (cd "$dir" && dpkg-source -x "$build/source/comscan_$version.dsc" src &&
     cd src && DEB_BUILD_OPTIONS="noddebs parallel=1" dpkg-buildpackage "${options[@]}")
}

# The zip's exe, from the same exported source. The PE linker writes
# SOURCE_DATE_EPOCH into the header's time stamp; without it the field stays
# 0 (--no-insert-timestamp).
build_zip() {
  local windows="$build/windows-i686" stage="$build/windows-i686/zip"
  (cd "$source_dir" && unset SOURCE_DATE_EPOCH &&
     cmake --preset windows-i686 -B "$windows" && cmake --build "$windows" -j 1)
  mkdir -p "$stage"
  cp "$windows/comscan.exe" "$windows/README.txt" "$stage/"
  chmod 0755 "$stage/comscan.exe"
  chmod 0644 "$stage/README.txt"
  touch -d "@$SOURCE_DATE_EPOCH" "$stage/comscan.exe" "$stage/README.txt"
  # -X: no extra attributes (owner ids, extended times); entries in a fixed order.
  (cd "$stage" && zip -X -q "$build/comscan-$version-win32.zip" README.txt comscan.exe)
}

start=$SECONDS
echo "== source package comscan $version"
logged source bash -c 'cd "$0" && dpkg-buildpackage -S -us -uc' "$source_dir"

# Each build runs on one core, two at a time: dpkg-buildpackage's own steps
# are serial, so this keeps both cores busy.
echo "== ${architectures[*]} and win32, two at a time"
failed=0
running=0
for job in "${architectures[@]}" zip; do
  if ((running == 2)); then
    wait -n || failed=1
    running=$((running - 1))
  fi
  if [[ $job == zip ]]; then
    logged win32 build_zip &
  else
    logged "$job" build_deb "$job" &
  fi
  running=$((running + 1))
done
while ((running > 0)); do
  wait -n || failed=1
  running=$((running - 1))
done
((failed == 0)) || exit 1

files=("comscan_$version.dsc" "comscan_$version.tar.xz")
for arch in "${architectures[@]}"; do files+=("comscan_${version}_$arch.deb"); done
files+=("comscan-$version-win32.zip")
mkdir -p "$dist"
rm -f "$dist"/comscan_* "$dist"/comscan-* "$dist/SHA256SUMS"
cp "$build/source/comscan_$version.dsc" "$build/source/comscan_$version.tar.xz" "$dist/"
for arch in "${architectures[@]}"; do cp "$build/$arch/comscan_${version}_$arch.deb" "$dist/"; done
cp "$build/comscan-$version-win32.zip" "$dist/"
(cd "$dist" && sha256sum "${files[@]}" >SHA256SUMS)
echo "release $version in $dist ($((SECONDS - start)) s):"
(cd "$dist" && cat SHA256SUMS)
