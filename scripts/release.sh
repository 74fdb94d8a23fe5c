#!/usr/bin/env bash
# Builds the release files from the checked-out commit:
#   dist/comscan_<version>_amd64.deb     the Linux program, its man page and docs
#   dist/comscan-<version>-win32.zip     the 32-bit x86 comscan.exe and README.txt
#   dist/SHA256SUMS
# The version is the one project() sets in CMakeLists.txt. Two runs from the
# same commit give byte-identical files: every time stamp is the commit's.
#
# Usage: scripts/release.sh [build-dir [dist-dir]]
#   defaults: build/release and dist (both relative to the repository)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$(realpath -m "${1:-build/release}")
dist=$(realpath -m "${2:-dist}")

scripts/setup.sh --release

# Reproducible builds: one time for every stamp, no locale or time zone or
# umask of the machine in the results.
if [[ -z "${SOURCE_DATE_EPOCH:-}" ]]; then
  SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null) || {
    echo "release: not a git checkout; set SOURCE_DATE_EPOCH to the release time" >&2
    exit 1
  }
fi
export SOURCE_DATE_EPOCH
export TZ=UTC LC_ALL=C
umask 022
if [[ -n "$(git -C "$root" status --porcelain --untracked-files=no 2>/dev/null)" ]]; then
  echo "release: the work tree has uncommitted changes; the files will not match the commit" >&2
fi

jobs=$(nproc)
build_preset() {  # preset dir
  cmake --preset "$1" -B "$2" >/dev/null
  cmake --build "$2" -j "$jobs" >/dev/null
}

linux="$build/linux"
windows="$build/windows-i686"
echo "== build linux-release"
build_preset linux-release "$linux"
echo "== build windows-i686"
# The PE linker writes SOURCE_DATE_EPOCH into the header's time stamp;
# without it the field stays 0 (--no-insert-timestamp).
(unset SOURCE_DATE_EPOCH && build_preset windows-i686 "$windows")

mkdir -p "$dist"
rm -f "$dist"/comscan_*.deb "$dist"/comscan-*-win32.zip "$dist/SHA256SUMS"

echo "== package deb"
rm -rf "$linux/package"
(cd "$linux" && cpack -G DEB -B "$linux/package" >/dev/null)
deb=$(ls "$linux"/package/comscan_*.deb)
cp "$deb" "$dist/"
version=$(dpkg-deb -f "$deb" Version)

echo "== package zip"
stage="$windows/zip"
rm -rf "$stage" && mkdir -p "$stage"
cp "$windows/comscan.exe" "$stage/comscan.exe"
cp "$windows/README.txt" "$stage/README.txt"
chmod 0755 "$stage/comscan.exe"
chmod 0644 "$stage/README.txt"
touch -d "@$SOURCE_DATE_EPOCH" "$stage/comscan.exe" "$stage/README.txt"
zip_name="comscan-$version-win32.zip"
# -X: no extra attributes (owner ids, extended times); entries in a fixed order.
(cd "$stage" && zip -X -q "$dist/$zip_name" README.txt comscan.exe)

(cd "$dist" && sha256sum "$(basename "$deb")" "$zip_name" >SHA256SUMS)
echo "release $version in $dist:"
(cd "$dist" && cat SHA256SUMS)
