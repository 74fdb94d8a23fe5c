#!/usr/bin/env bash
# Installs what the build needs; --release adds what scripts/release.sh needs,
# --tests what the tests need (the release checks included), --bench what the
# benchmark needs (the tests' packages and its measuring tools).
# Idempotent: when everything is present it only checks and returns.
# One package per word: adding one is adding a word to its list.
set -euo pipefail

build_packages=(cmake ninja-build g++)
# The release cross-builds the i386, arm64 and armhf packages; dpkg-shlibdeps
# reads each one's dependencies from that architecture's own C library.
release_packages=(git dpkg-dev debhelper g++-mingw-w64-i686-posix zip
                  crossbuild-essential-i386 crossbuild-essential-arm64 crossbuild-essential-armhf
                  libc6:i386 libc6:arm64 libc6:armhf)
# No wine32 here: where the kernel cannot run 32-bit code it turns every new
# 64-bit prefix into a slow emulated one, and apt cannot install it while the
# security suite's i386 index is out of step; scripts/wine32.sh puts it in a
# root of its own under build/, only where the kernel runs 32-bit code.
test_packages=(googletest libgtest-dev libasan8 libubsan1 libtsan2 util-linux
               g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64
               g++-i686-linux-gnu libc6:i386 libstdc++6:i386 qemu-user-static lintian autopkgtest unzip
               picocom tio screen cu minicom socat tmux python3-serial
               clang libclang-rt-14-dev)
bench_packages=(hyperfine valgrind strace time)

packages=("${build_packages[@]}")
for option in "$@"; do
  case "$option" in
    --release) packages+=("${release_packages[@]}") ;;
    --tests) packages+=("${release_packages[@]}" "${test_packages[@]}") ;;
    --bench) packages+=("${release_packages[@]}" "${test_packages[@]}" "${bench_packages[@]}") ;;
    *) echo "setup.sh: unknown option $option" >&2; exit 2 ;;
  esac
done

if [[ $(id -u) -ne 0 ]]; then
  sudo=sudo
else
  sudo=
fi

# A package named NAME:ARCH needs that architecture known to dpkg first.
for package in "${packages[@]}"; do
  [[ "$package" == *:* ]] || continue
  arch=${package##*:}
  dpkg --print-foreign-architectures | grep -qx "$arch" || $sudo dpkg --add-architecture "$arch"
done

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "installing: ${missing[*]}"
# A mirror caught mid-sync fails one index or another; the lists already
# there may still hold every package asked for, and the install says if not.
$sudo apt-get update -q || echo "setup.sh: some package indexes could not be refreshed" >&2
# --no-remove: an i386 index out of step with amd64 would otherwise have apt
# make room by removing installed packages.
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-remove --no-install-recommends "${missing[@]}"
