#!/usr/bin/env bash
# Runs a command so that the 32-bit x86 programs it starts, and theirs, run
# under the backports' qemu-i386 (build/emulator, scripts/emulator.sh): for
# the 32-bit wine where the kernel runs no 32-bit code, as wine starts its
# own 32-bit programs by exec. The registration lives in a user namespace of
# the command's own, never in the system's.
set -euo pipefail
qemu="$(cd "$(dirname "$0")/.." && pwd)/build/emulator/usr/bin/qemu-i386"
# Without it the command runs as it is, and says for itself what it lacks.
if [[ ! -x "$qemu" ]]; then
  echo "i386_emulated: no $qemu (scripts/emulator.sh fetches it)" >&2
  exec "$@"
fi
# An ELF file of class 32, little-endian, for the i386 machine, executable or
# shared (the mask lets the type's low bit through); F: the emulator is
# opened now, so it is found whatever the command's mounts.
elf=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask=':\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
exec unshare --user --map-root-user --mount sh -ec '
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  printf "%s" "$1" >/proc/sys/fs/binfmt_misc/register
  shift
  exec "$@"' sh "$elf$mask:$qemu:F" "$@"
