#!/usr/bin/env bash
# Puts the 32-bit wine that runs the release's i686 exe in the tests into
# build/wine32, never into the system: wine32:i386 and the i386 libraries it
# loads (X, fonts and the rest), fetched by package name through an apt state
# of its own from the release's main suite of the archive this machine uses.
# One consistent index: the system's resolver cannot match an amd64 library
# from the security suite when that suite's i386 index fails to download.
# build/wine32/wine runs the root's loader on the system's own i386 C library
# (libc6:i386; never the root's, as a C library of another version beside
# the system's loader can spin forever in thread creation), and the system's
# wineserver of the same version serves it (build/wine32/wineserver).
# Where the kernel runs no 32-bit x86 code, the root's programs run under
# the backports' qemu-i386 (scripts/i386_emulated.sh), which must be fetched
# first (scripts/emulator.sh). Idempotent: a second run fetches nothing.
# Exit 0 when it is there, else 1 with the reason, one line on stderr.
set -euo pipefail
cd "$(dirname "$0")/.."

dir="$PWD/build/wine32"
stamp="$dir/version"
fail() {
  echo "wine32: $*" >&2
  exit 1
}

run=()
if ! scripts/i386_probe.sh 2>/dev/null; then
  run=(scripts/i386_emulated.sh)
  [[ -x build/emulator/usr/bin/qemu-i386 ]] ||
    fail "the kernel runs no 32-bit x86 code, and no emulator in build/emulator (scripts/emulator.sh)"
fi
server=/usr/lib/wine/wineserver64
[[ -x "$server" ]] || fail "no $server (the wine64 package) to serve the 32-bit wine"
# Client and server speak one protocol version: the root's wine32 must be
# the system's wine64 version.
version=$(dpkg-query -W -f='${Version}' wine64 2>/dev/null || true)
[[ -n "$version" ]] || fail "wine64 is not installed"

# The root is fetched once per wine version; the loader's script is written
# every time, so that it follows this one.
if [[ "$(cat "$stamp" 2>/dev/null)" == "$version" ]]; then
  fetched="$version, fetched before,"
else
  apt_dir="$dir.apt"
  suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
  source scripts/private_apt.sh
  private_apt "$apt_dir" "$suite" i386
  log="$apt_dir/log"
  apt-get "${apt_options[@]}" install -d -y --no-install-recommends "wine32=$version" >>"$log" 2>&1 ||
    fail "no wine32 $version (the system's wine64) from $suite's main suite:" \
         "$(grep -m1 '^E:' "$log" || tail -n1 "$log")"
  debs=("$apt_dir"/cache/archives/*.deb)
  rm -rf "$dir"
  mkdir -p "$dir"
  for deb in "${debs[@]}"; do
    [[ "${deb##*/}" == libc6_* ]] || dpkg -x "$deb" "$dir"
  done
  rm -rf "$apt_dir"
  echo "$version" >"$stamp"
  fetched="$version and what it needs (${#debs[@]} packages) from $suite"
fi

# What the package's own trigger does on an installed system, and dpkg -x
# does not: user32 and others import zlib1.dll, which the distribution ships
# as a mingw library, not among wine's builtin DLLs. Without it every new
# prefix stops at user32 ("could not load kernel32.dll"). The copy carries
# the builtin marker at offset 64 that wine looks for in its own DLLs.
for zlib in "$dir"/usr/i686-w64-mingw32/lib/zlib*.dll; do
  [[ -f "$zlib" ]] || fail "no zlib*.dll in $dir/usr/i686-w64-mingw32/lib for user32 to import"
  { head -c 64 "$zlib"; printf 'Wine builtin DLL'; printf '\0%.0s' {1..16}; tail -c +97 "$zlib"; } \
    >"$dir/usr/lib/i386-linux-gnu/wine/i386-windows/${zlib##*/}"
done

ln -sfn "$server" "$dir/wineserver"
cat >"$dir/wine" <<'SH'
#!/bin/sh
# The 32-bit wine loader of this root, with the root's libraries before the
# system's (written by scripts/wine32.sh).
root=$(dirname "$(readlink -f "$0")")
export WINEDLLPATH="$root/usr/lib/i386-linux-gnu/wine"
export LD_LIBRARY_PATH="$root/usr/lib/i386-linux-gnu:$root/lib/i386-linux-gnu:$root/usr/lib/i386-linux-gnu/pulseaudio"
exec "$root/usr/lib/wine/wine" "$@"
SH
chmod +x "$dir/wine"
"${run[@]}" "$dir/wine" --version >"$dir/log" 2>&1 || fail "$dir/wine does not start: $(head -n1 "$dir/log")"
echo "wine32: wine32 $fetched in $dir ($(du -sh "$dir" | cut -f1))${run:+, under the emulator}"
