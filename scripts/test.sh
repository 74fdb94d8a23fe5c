#!/usr/bin/env bash
# Sets up what is missing, builds every preset and runs every test: unit and
# end-to-end tests on the native build, the unit tests again under
# AddressSanitizer/UndefinedBehaviorSanitizer and ThreadSanitizer, and the
# Windows x86_64 executable end to end under wine. The 32-bit Windows
# executable, the release artefact, is built and checked too. Last, each
# libFuzzer target runs for 20 s.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh --tests

jobs=$(nproc)
for preset in linux sanitize tsan windows-i686 windows-x86_64; do
  echo "== build $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

# This machine cannot run 32-bit code: check the release artefact's headers.
objdump=i686-w64-mingw32-objdump
"$objdump" -f build/windows-i686/comscan.exe | grep -q "file format pei-i386" \
  || { echo "windows-i686: comscan.exe is not a 32-bit x86 executable"; exit 1; }

export COMSCAN_WINDOWS_EXE="$PWD/build/windows-x86_64/comscan.exe"

status=0
for preset in sanitize tsan linux; do
  echo "== test $preset"
  ctest --preset "$preset" -j "$jobs" || status=1
done

echo "== fuzz"
tests/fuzz/run.sh 20 || status=1
exit $status
