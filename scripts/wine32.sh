#!/usr/bin/env bash
# Installs the 32-bit wine (wine32:i386), which runs the release's i686 exe
# in the tests, where the kernel runs 32-bit x86 programs itself, and only
# there: elsewhere it would turn every new 64-bit prefix into a slow emulated
# one. Idempotent. Exit 0 when it is installed, else 1 with the reason on
# stderr (the test of the i686 exe then skips).
set -euo pipefail
cd "$(dirname "$0")/.."

package=wine32:i386
installed() {
  [[ "$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null)" == "install ok installed" ]]
}
installed && exit 0

if ! why=$(scripts/i386_probe.sh 2>&1); then
  echo "wine32: not installed: $why" >&2
  exit 1
fi
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386

log=$(mktemp)
trap 'rm -f "$log"' EXIT
apt_get=(apt-get -q -o DPkg::Lock::Timeout=300)
# A failed index fetch is reported with the install's answer, if that fails.
"${apt_get[@]}" update >"$log" 2>&1 || true
stale=$(grep -m1 -E '^(E|W): Failed to fetch' "$log" || true)
# --no-remove: with the i386 index out of step with amd64's, apt would
# otherwise make room by removing wine64.
if ! DEBIAN_FRONTEND=noninteractive "${apt_get[@]}" install -y --no-remove \
       --no-install-recommends "$package" >"$log" 2>&1 || ! installed; then
  echo "wine32: apt would not install $package: $(grep -m1 -E '^E:' "$log" || tail -n1 "$log")" \
       "${stale:+(after apt-get update: $stale)}" >&2
  exit 1
fi
echo "wine32: $package installed"
