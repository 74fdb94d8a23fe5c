#!/usr/bin/env bash
# Whether this machine's kernel runs 32-bit x86 programs itself: builds a tiny
# one with the i686 cross compiler and runs it. Exit 0 when it ran natively;
# else 1 with the reason on stderr. What the kernel cannot run directly may
# still run through a binfmt emulator, which reports its own machine name
# rather than the 64-bit kernel's: that counts as "no".
# COMSCAN_I386_EMULATED=1 makes the answer "no" without asking: everything
# that asks this probe then takes the branch it takes where the kernel runs
# no 32-bit code (the i386 programs under qemu-i386), which a kernel that
# does would otherwise never prove.
set -euo pipefail

if [[ -n "${COMSCAN_I386_EMULATED:-}" ]]; then
  echo "i386 probe: COMSCAN_I386_EMULATED is set: 32-bit x86 programs run under the emulator" >&2
  exit 1
fi

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cat >"$dir/probe.c" <<'C'
#include <string.h>
#include <sys/utsname.h>
int main(void) {
  struct utsname u;
  return uname(&u) != 0 || strcmp(u.machine, "x86_64") != 0 ? 3 : 0;
}
C
if ! i686-linux-gnu-gcc -o "$dir/probe" "$dir/probe.c" 2>"$dir/log"; then
  echo "i386 probe: i686-linux-gnu-gcc could not build it: $(head -n1 "$dir/log")" >&2
  exit 1
fi
status=0
"$dir/probe" 2>"$dir/log" || status=$?
case $status in
  0) exit 0 ;;
  3) echo "i386 probe: a 32-bit x86 program runs here only under an emulator" >&2 ;;
  *) echo "i386 probe: the kernel does not run 32-bit x86 programs (exit $status: $(head -n1 "$dir/log"))" >&2 ;;
esac
exit 1
