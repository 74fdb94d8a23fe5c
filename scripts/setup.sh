#!/usr/bin/env bash
# Installs what the build needs, and with --tests what the tests need too.
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail

packages=(cmake ninja-build g++)
if [[ "${1:-}" == "--tests" ]]; then
  packages+=(googletest libgtest-dev libasan8 libubsan1 libtsan2 util-linux
             g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64
             clang libclang-rt-14-dev)
fi

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
