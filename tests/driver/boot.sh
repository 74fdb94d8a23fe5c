#!/usr/bin/env bash
# The driver tests' fixture: fetches the virtual machine (scripts/guest.sh,
# nothing when it is there), builds its initramfs around the program under
# test, boots it once and keeps what the guest printed in OUT/console.log,
# where each case's ctest entry reads its result; QEMU's emulated FTDI
# writes every byte it is sent to OUT/ftdi.data. Without the machine the log
# says SKIP and why, and so does every case.
# Usage: boot.sh PROGRAM HELPER OUT
set -euo pipefail
program=$1 helper=$2 out=$3
here=$(dirname "$(readlink -f "$0")")
guest=$here/../../build/guest
mkdir -p "$out"
log=$out/console.log
if ! why=$("$here/../../scripts/guest.sh" 2>&1 >/dev/null); then
  echo "SKIP the driver tests: $why" | tee "$log"
  exit 0
fi

# The initramfs: busybox, the modules, the program with its C library, the
# helper, the cases and the guest's scripts.
root=$out/root
rm -rf "$root"
mkdir -p "$root/bin"
cp "$guest/busybox" "$root/bin/busybox"
cp -r "$guest/modules" "$root/modules"
cp "$here/init.sh" "$root/init"
cp "$here/cases" "$here/usbmon.awk" "$root/"
cp "$program" "$root/comscan"
cp "$helper" "$root/port_helper"
for library in $(ldd "$program" | grep -o '/[^ ]*'); do
  mkdir -p "$root$(dirname "$library")"
  cp -L "$library" "$root$library"
done
(cd "$root" && find . | "$guest/busybox" cpio -o -H newc 2>/dev/null) >"$out/initrd"

: >"$out/ftdi.data"
began=$SECONDS
timeout 240 "$guest/qemu-system-x86_64" -accel tcg -m 512 -display none -monitor none -no-reboot \
  -serial "file:$log" -nic none -vga none -kernel "$guest/vmlinux" -initrd "$out/initrd" \
  -append "console=ttyS0 quiet panic=-1" \
  -device qemu-xhci -chardev "file,id=ftdi,path=$out/ftdi.data" -device usb-serial,chardev=ftdi
echo "guest: booted and ran in $((SECONDS - began)) s" >>"$log"
tr -d '\r' <"$log" | grep -v '^case '
