#!/usr/bin/env bash
# Sets up what is missing, builds every preset and runs every test: unit and
# end-to-end tests on the native build, the unit tests again under
# AddressSanitizer/UndefinedBehaviorSanitizer, ThreadSanitizer and as 32-bit
# x86 code under qemu-i386-static (the release exe's data model), and the
# Windows x86_64 executable end to end under wine. The release files are
# built into dist/ and checked: the package installed and run, lintian, the
# 32-bit exe's headers, and a second build compared byte for byte. Last, each
# libFuzzer target runs for 20 s.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh --tests

jobs=$(nproc)
build_presets=(linux linux-i386 sanitize tsan windows-x86_64)
test_presets=(linux-i386 sanitize tsan linux)

for preset in "${build_presets[@]}"; do
  echo "== build $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

# The native tests check the release files: make them first.
echo "== release"
scripts/release.sh

export COMSCAN_WINDOWS_EXE="$PWD/build/windows-x86_64/comscan.exe"

# One closing line for the whole run: every ctest case of every preset, and
# each fuzz target as one case.
status=0
passed=0
failed=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT
for preset in "${test_presets[@]}"; do
  echo "== test $preset"
  ctest --preset "$preset" -j "$jobs" | tee "$log" || status=1
  bad='' total=''
  read -r bad total < <(sed -n 's/.* tests passed, \([0-9]*\) tests failed out of \([0-9]*\)$/\1 \2/p' "$log") || true
  if [[ -n "$total" ]]; then
    passed=$((passed + total - bad))
    failed=$((failed + bad))
  else
    failed=$((failed + 1))
  fi
done

echo "== fuzz"
tests/fuzz/run.sh 20 | tee "$log" || status=1
passed=$((passed + $(grep -c ' inputs in ' "$log" || true)))
failed=$((failed + $(grep -c ' FAILED: ' "$log" || true)))
[[ $status -eq 0 ]] || [[ $failed -gt 0 ]] || failed=1

echo "comscan: $passed passed, $failed failed"
exit $status
