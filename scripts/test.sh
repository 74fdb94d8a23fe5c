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

status=0
for preset in "${test_presets[@]}"; do
  echo "== test $preset"
  ctest --preset "$preset" -j "$jobs" || status=1
done

echo "== fuzz"
tests/fuzz/run.sh 20 || status=1
exit $status
