#!/usr/bin/env bash
# Sets up what is missing, builds the Linux program and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset linux -DCOMSCAN_TESTS=OFF >/dev/null
cmake --build --preset linux --target comscan >/dev/null
exec build/linux/comscan
