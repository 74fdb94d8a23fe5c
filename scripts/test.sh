#!/usr/bin/env bash
# Sets up what is missing, builds every preset and runs every test: unit and
# end-to-end tests on the native build, and again with char unsigned (as on
# ARM); the unit tests under AddressSanitizer/UndefinedBehaviorSanitizer and
# ThreadSanitizer; the 32-bit x86 build's unit and fault tests (natively where
# the kernel runs it, else its unit tests under an emulator); the arm64 and
# armhf builds' unit tests under the backports' emulator. The release files
# are built into dist/ and checked: the package installed and run, lintian,
# the 32-bit exe's headers, and a second build compared byte for byte; the
# other architectures' programs from their packages run the end-to-end suite
# (arm64 and armhf emulated, i386 natively where it can), and the Windows
# exes run it under wine: the x86_64 one under wine64, the release's i686 one
# under the 32-bit wine where it could be installed. Last, each libFuzzer
# target runs for 20 s. Every step says how long it took; what cannot run
# here says SKIP and why, and is not counted as a failure.
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
echo "SKIP fault injection on arm64 and armhf: it runs the program built again with the" \
     "fault shim, which their packages do not hold; it runs on the native and i386 builds"

step wine32
scripts/wine32.sh || echo "SKIP the i686 exe under the 32-bit wine: wine32 not installed (above)"

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
for preset in "${test_presets[@]}"; do
  step "test $preset"
  ctest --preset "$preset" -j "$jobs" | tee "$log" || status=1
  bad='' total=''
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
done

step fuzz
tests/fuzz/run.sh 20 | tee "$log" || status=1
passed=$((passed + $(grep -c ' inputs in ' "$log" || true)))
failed=$((failed + $(grep -c ' FAILED: ' "$log" || true)))
[[ $status -eq 0 ]] || [[ $failed -gt 0 ]] || failed=1
step ''

echo "comscan: $passed passed, $failed failed, $skipped skipped"
exit $status
