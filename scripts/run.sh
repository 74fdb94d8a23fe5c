#!/usr/bin/env bash
# Sets up what is missing, builds the Linux program and runs it.
# Its own build directory (the release preset, tests off), so it never
# changes what scripts/test.sh builds in build/linux.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset linux-release >/dev/null
cmake --build --preset linux-release --target comscan >/dev/null
exec build/linux-release/comscan
