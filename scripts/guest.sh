#!/usr/bin/env bash
# Puts the small virtual machine of the driver tests in build/guest, never
# into the system: qemu-system-x86 (with what it needs that the system lacks),
# Debian's kernel with only the USB serial modules the tests load, and
# busybox-static as the guest's userland, all fetched by package name from
# the release's main suite through an apt state of its own, and unpacked.
#   build/guest/qemu-system-x86_64   runs the unpacked qemu root, qemu/
#   build/guest/vmlinux     the kernel, unpacked
#   build/guest/modules/    the modules, and load-order: their names in order
#   build/guest/busybox     the static busybox
# Idempotent: when it is there it only checks that qemu starts. Exit 0 when
# it is there, else 1 with the reason, one line on stderr.
set -euo pipefail
cd "$(dirname "$0")/.."

dir="$PWD/build/guest"
stamp="$dir/version"
fail() {
  echo "guest: $*" >&2
  exit 1
}
# The modules the tests load, each after the ones it needs: the emulated
# FTDI on xHCI, the gadget side of a CDC ACM device on the dummy controller
# and the host driver that binds it, and the USB monitor.
wanted=(xhci-pci usbserial ftdi_sio dummy_hcd libcomposite u_serial usb_f_acm g_serial cdc-acm usbmon)

if [[ ! -f "$stamp" ]]; then
  apt_dir="$dir.apt"
  suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
  source scripts/private_apt.sh
  private_apt "$apt_dir" "$suite" amd64
  log="$apt_dir/log"
  # qemu's libraries are resolved against what the system has, so that only
  # those it lacks are fetched; the kernel and busybox need nothing beside.
  cp /var/lib/dpkg/status "$apt_dir/state/status"
  apt-get "${apt_options[@]}" install -d -y --no-install-recommends qemu-system-x86 >>"$log" 2>&1 ||
    fail "qemu-system-x86 from $suite: $(grep -m1 '^E:' "$log" || tail -n1 "$log")"
  kernel=$(apt-cache "${apt_options[@]}" depends linux-image-amd64 2>>"$log" |
           sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -n1)
  [[ -n "$kernel" ]] || fail "no kernel package that linux-image-amd64 depends on in $suite"
  (cd "$apt_dir/download" && apt-get "${apt_options[@]}" download "$kernel" busybox-static) >>"$log" 2>&1 ||
    fail "apt-get download $kernel busybox-static: $(grep -m1 '^E:' "$log" || tail -n1 "$log")"

  rm -rf "$dir"
  mkdir -p "$dir/qemu" "$dir/modules" "$apt_dir/kernel" "$apt_dir/busybox"
  for deb in "$apt_dir"/cache/archives/*.deb; do
    dpkg -x "$deb" "$dir/qemu"
  done
  dpkg -x "$apt_dir"/download/busybox-static_*.deb "$apt_dir/busybox"
  mv "$apt_dir/busybox/bin/busybox" "$dir/busybox"
  # The kernel and its USB modules only: the whole tree is ~400 MB.
  dpkg-deb --fsys-tarfile "$apt_dir"/download/"$kernel"_*.deb |
    tar -x -C "$apt_dir/kernel" --wildcards './boot/vmlinuz-*' './lib/modules/*/kernel/drivers/usb/*' \
        './lib/modules/*/kernel/fs/configfs/*' 2>>"$log" ||
    fail "$kernel holds no vmlinuz or USB modules"
  # The kernel unpacked from its xz stream: QEMU boots the ELF image at its
  # PVH entry, which saves the seconds its own decompression takes under TCG.
  vmlinuz=$(ls "$apt_dir"/kernel/boot/vmlinuz-*)
  offset=$(LC_ALL=C grep -obUaP -m1 '\xfd7zXZ\x00' "$vmlinuz" | head -n1 | cut -d: -f1)
  [[ -n "$offset" ]] || fail "no xz stream in $vmlinuz"
  xz -dc --single-stream < <(tail -c +$((offset + 1)) "$vmlinuz") >"$dir/vmlinux" ||
    fail "the xz stream of $vmlinuz does not unpack"
  [[ "$(head -c 4 "$dir/vmlinux")" == $'\x7fELF' ]] || fail "$vmlinuz holds no ELF kernel"
  release=$(ls "$apt_dir/kernel/lib/modules")
  modules="$apt_dir/kernel/lib/modules/$release"
  # The package ships no modules.dep (its installation makes one): each
  # module's own depends= field says what must be loaded before it.
  declare -A path_of
  while read -r path; do
    base=${path##*/}
    base=${base%.ko}
    path_of[${base//-/_}]=$path
  done < <(find "$modules/kernel" -name '*.ko')
  order=()
  add() {  # module name: it goes after those it depends on, once
    local name=${1//-/_} need
    [[ -n "${path_of[$name]:-}" ]] || fail "$kernel has no module $name"
    [[ " ${order[*]} " == *" $name "* ]] && return
    for need in $(tr '\0' '\n' <"${path_of[$name]}" | sed -n 's/^depends=//p' | tr ',' ' '); do
      add "$need"
    done
    order+=("$name")
  }
  for name in "${wanted[@]}"; do add "$name"; done
  for name in "${order[@]}"; do
    cp "${path_of[$name]}" "$dir/modules/"
    echo "${path_of[$name]##*/}" >>"$dir/modules/load-order"
  done
  rm -rf "$apt_dir"
  echo "$kernel $release" >"$stamp"
  fetched="fetched"
else
  fetched="fetched before"
fi

# The emulator as an installed one would run: its libraries, its TCG
# accelerator module and its firmware from the root.
cat >"$dir/qemu-system-x86_64" <<'SH'
#!/bin/sh
# qemu-system-x86_64 of this root (written by scripts/guest.sh).
root=$(dirname "$(readlink -f "$0")")/qemu
export LD_LIBRARY_PATH="$root/usr/lib/x86_64-linux-gnu:$root/lib/x86_64-linux-gnu"
export QEMU_MODULE_DIR="$root/usr/lib/x86_64-linux-gnu/qemu"
exec "$root/usr/bin/qemu-system-x86_64" -L "$root/usr/share/qemu" -L "$root/usr/share/seabios" "$@"
SH
chmod +x "$dir/qemu-system-x86_64"
"$dir/qemu-system-x86_64" --version >"$dir/log" 2>&1 || fail "qemu does not start: $(head -n1 "$dir/log")"
echo "guest: $(head -n1 "$dir/log"), $(cat "$stamp"), $fetched, in $dir ($(du -sh "$dir" | cut -f1))"
