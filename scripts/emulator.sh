#!/usr/bin/env bash
# Puts the user-mode emulators that run the foreign Linux builds in
# build/emulator/usr/bin (qemu-aarch64, qemu-arm, qemu-i386): qemu-user
# from the next Debian release's backports suite, the first whose emulator
# translates the termios2 requests the program configures a port with. It is
# fetched by package name from the archive this machine already uses, through
# an apt state of its own, and unpacked there, so the system's packages
# (qemu-user-static among them) stay as they are.
# Idempotent: when the emulator is there it only says so. Exit 0 when it is
# there, else 1 with the reason on stderr (the runs that need it then skip).
set -euo pipefail
cd "$(dirname "$0")/.."

suite=trixie-backports
package=qemu-user
dir="$PWD/build/emulator"
stamp="$dir/version"

if [[ -x "$dir/usr/bin/qemu-aarch64" && -f "$stamp" ]]; then
  echo "emulator: $(cat "$stamp") in $dir"
  exit 0
fi

fail() {
  echo "emulator: $*" >&2
  exit 1
}

apt_dir="$dir.apt"
source scripts/private_apt.sh
private_apt "$apt_dir" "$suite" "$(dpkg --print-architecture)"
log="$apt_dir/log"
(cd "$apt_dir/download" && apt-get "${apt_options[@]}" download "$package") >>"$log" 2>&1 ||
  fail "apt-get download $package from $suite failed: $(grep -m1 '^E:' "$log" || tail -n1 "$log")"

deb=$(ls "$apt_dir"/download/"$package"_*.deb)
rm -rf "$dir"
mkdir -p "$dir"
dpkg -x "$deb" "$dir"
# The emulators of the architectures the tests run; the package's other
# forty-odd would take ~400 MB of the build tree.
for emulator in qemu-aarch64 qemu-arm qemu-i386; do
  [[ -x "$dir/usr/bin/$emulator" ]] || fail "$deb holds no usr/bin/$emulator"
done
find "$dir/usr/bin" -name 'qemu-*' ! -name qemu-aarch64 ! -name qemu-arm ! -name qemu-i386 -delete
dpkg-deb -f "$deb" Version >"$stamp"
rm -rf "$apt_dir"
echo "emulator: $package $(cat "$stamp") from $suite in $dir"
