#!/usr/bin/env bash
# Installs what the build needs, with --tests what the tests need too, and
# with --bench what the benchmark needs (the tests' packages and its tools).
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail

packages=(cmake ninja-build g++)
if [[ "${1:-}" == "--tests" || "${1:-}" == "--bench" ]]; then
  packages+=(googletest libgtest-dev libasan8 libubsan1 libtsan2 util-linux
             g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64
             picocom tio screen cu minicom socat tmux)
fi
[[ "${1:-}" == "--bench" ]] && packages+=(hyperfine valgrind strace time)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "installing: ${missing[*]}"
if [[ $(id -u) -ne 0 ]]; then
  sudo=sudo
else
  sudo=
fi
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
