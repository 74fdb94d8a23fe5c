#!/usr/bin/env bash
# Sets up what is missing, builds every preset and runs every test: unit and
# end-to-end tests on the native build, and again with char unsigned (as on
# ARM); the unit tests under AddressSanitizer/UndefinedBehaviorSanitizer and
# ThreadSanitizer; the 32-bit x86, arm64 and armhf builds' unit tests
# (natively where the kernel runs them, else under the backports' emulator),
# and fault injection on each of the four (the foreign programs with their
# shim under that emulator, driven by the native build). The release files
# are built into dist/ and checked: the package installed and run, lintian,
# the 32-bit exe's headers, and a second build compared byte for byte; the
# other architectures' programs from their packages run the end-to-end suite
# (arm64 and armhf emulated, i386 natively where it can, and once more under
# the emulator), and the Windows exes run it under wine: the x86_64 one under
# wine64, the release's i686 one under the 32-bit wine of build/wine32
# (under qemu-i386 where the kernel runs no 32-bit code). The native program
# also runs on real kernel serial drivers in a small virtual machine
# (scripts/guest.sh, tests/driver). Last, each libFuzzer target runs for 20 s.
# Every step says how long it took; what cannot run here says SKIP and why,
# and is not counted as a failure.
set -euo pipefail
cd "$(dirname "$0")/.."

step_name='' step_start=$SECONDS
step() {  # name, or nothing after the last: ends the previous step with its time
  [[ -z "$step_name" ]] || echo "-- $step_name: $((SECONDS - step_start)) s"
  step_name=$1 step_start=$SECONDS
  [[ -z "$step_name" ]] || echo "== $step_name"
}

step setup
scripts/setup.sh --tests

jobs=$(nproc)
build_presets=(linux linux-unsigned-char linux-i386 sanitize tsan windows-x86_64)
test_presets=(linux-i386 sanitize tsan linux-unsigned-char linux)

# The emulator of the arm builds, fetched before their presets are configured.
step emulator
if scripts/emulator.sh; then
  build_presets+=(linux-arm64 linux-armhf)
  test_presets+=(linux-arm64 linux-armhf)
else
  echo "SKIP linux-arm64, linux-armhf unit tests and the arm end-to-end runs: no emulator (above)"
fi

# The 32-bit wine of the release's i686 exe: its one line of reason, if it
# cannot be had, becomes the SKIP line (e2e.wine32 then skips, saying so).
step wine32
{ why=$(scripts/wine32.sh 2>&1 >&3) || echo "SKIP the i686 exe under the 32-bit wine: $why"; } 3>&1

# The small virtual machine of the driver tests (e2e.driver, in the native
# preset's run): likewise one SKIP line if it cannot be had.
step guest
{ why=$(scripts/guest.sh 2>&1 >&3) || echo "SKIP the program on real serial drivers (e2e.driver): $why"; } 3>&1

for preset in "${build_presets[@]}"; do
  step "build $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

# The native tests check the release files: make them first.
step release
scripts/release.sh

export COMSCAN_WINDOWS_EXE="$PWD/build/windows-x86_64/comscan.exe"

# One closing line for the whole run: every ctest case of every preset, and
# each fuzz target as one case.
status=0
passed=0
failed=0
skipped=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT
run_tests() {  # preset, then options for ctest: runs them, adds to the counts
  ctest --preset "$1" -j "$jobs" "${@:2}" | tee "$log" || status=1
  local bad='' total='' skips
  read -r bad total < <(sed -n 's/.* tests passed, \([0-9]*\) tests failed out of \([0-9]*\)$/\1 \2/p' "$log") || true
  if [[ -n "$total" ]]; then
    # ctest counts a skipped case as passed.
    skips=$(grep -cE '^[[:space:]]*[0-9]+ - .* \(Skipped\)$' "$log" || true)
    passed=$((passed + total - bad - skips))
    failed=$((failed + bad))
    skipped=$((skipped + skips))
  else
    failed=$((failed + 1))
  fi
}
for preset in "${test_presets[@]}"; do
  step "test $preset"
  run_tests "$preset"
done

# Where the kernel runs 32-bit x86 code the i386 programs and the 32-bit wine
# ran natively above: once more under qemu-i386, so that branch is proven too. The native build is
# configured with the probe's answer forced, runs its i386 entries, and is
# configured back.
step "i386 under the emulator"
if scripts/i386_probe.sh 2>/dev/null; then
  COMSCAN_I386_EMULATED=1 cmake --preset linux >/dev/null
  cmake --build --preset linux -j "$jobs" >/dev/null
  run_tests linux -R '^((e2e|fault)\.i386\.|e2e\.wine32$)'
  cmake --preset linux >/dev/null
  cmake --build --preset linux -j "$jobs" >/dev/null
else
  echo "the i386 programs ran under qemu-i386 above: the kernel runs no 32-bit x86 code"
fi

step fuzz
tests/fuzz/run.sh 20 | tee "$log" || status=1
passed=$((passed + $(grep -c ' inputs in ' "$log" || true)))
failed=$((failed + $(grep -c ' FAILED: ' "$log" || true)))
[[ $status -eq 0 ]] || [[ $failed -gt 0 ]] || failed=1
step ''

echo "comscan: $passed passed, $failed failed, $skipped skipped"
exit $status
