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

# The archive's address as this machine has it; none is written here.
sources=/etc/apt/sources.list.d/debian.sources
[[ -r "$sources" ]] || fail "no $sources to take the Debian archive's address from"
uri=$(awk '/^URIs:/ && !/security/ { print $2; exit }' "$sources")
[[ -n "$uri" ]] || fail "no archive URI in $sources"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
[[ -r "$keyring" ]] || fail "no $keyring to check the $suite index with"

apt_dir="$dir.apt"
rm -rf "$apt_dir"
mkdir -p "$apt_dir"/{state/lists/partial,cache/archives/partial,etc/preferences.d,etc/sources.list.d,download}
echo "deb [signed-by=$keyring] $uri $suite main" >"$apt_dir/etc/sources.list"
apt_options=(-q -o "Dir::State=$apt_dir/state" -o "Dir::State::status=$apt_dir/state/status"
             -o "Dir::Cache=$apt_dir/cache" -o "Dir::Etc::SourceList=$apt_dir/etc/sources.list"
             -o "Dir::Etc::SourceParts=$apt_dir/etc/sources.list.d"
             -o "Dir::Etc::Preferences=$apt_dir/etc/preferences"
             -o "Dir::Etc::PreferencesParts=$apt_dir/etc/preferences.d"
             -o "APT::Architectures=$(dpkg --print-architecture)"
             -o "Acquire::Retries=1" -o "Acquire::http::Timeout=20")
touch "$apt_dir/state/status"
# apt drops to its sandbox user for downloads: let it write there.
chown -R _apt "$apt_dir/state/lists" "$apt_dir/download" 2>/dev/null || true

log="$apt_dir/log"
apt-get "${apt_options[@]}" update >"$log" 2>&1 ||
  fail "apt-get update of $suite failed: $(grep -m1 -E '^(E|W):' "$log" || tail -n1 "$log")"
# apt-get update reports a missing index as a warning only.
grep -q -E '^(E|W): Failed to fetch' "$log" &&
  fail "the $suite index could not be fetched: $(grep -m1 -E '^(E|W):' "$log")"
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
