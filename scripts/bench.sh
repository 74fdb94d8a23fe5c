#!/usr/bin/env bash
# Measures the Linux program against its raw system-call yardstick
# (bench/reference.c) with 0, 4 and 42 pseudo-terminal ports, and writes the
# figures into BENCHMARKS.md between its bench markers. Needs root (private
# mount namespace). Optional arguments: rounds and runs per round.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh --bench
cmake --preset linux >/dev/null
cmake --build --preset linux --target comscan_bench_driver >/dev/null

load=$(cut -d' ' -f1-3 /proc/loadavg)
tables=$(mktemp)
trap 'rm -f "$tables"' EXIT
build/linux/bench/comscan_bench_driver "$@" >"$tables"
{
  echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'),"
  echo "$(. /etc/os-release && echo "$PRETTY_NAME"), kernel $(uname -r), $(g++ --version | head -1)," \
       "load average before the run: $load. Measured $(date -u '+%Y-%m-%d %H:%M UTC')."
  echo
  cat "$tables"
} >"$tables.new"
mv "$tables.new" "$tables"
cat "$tables"

# Replace what lies between the markers; the prose around them stays.
if [[ -f BENCHMARKS.md ]] && grep -q '<!-- bench:begin -->' BENCHMARKS.md; then
  awk -v tables="$tables" '
    /<!-- bench:begin -->/ { print; while ((getline line < tables) > 0) print line; skip = 1; next }
    /<!-- bench:end -->/ { skip = 0 }
    !skip' BENCHMARKS.md >BENCHMARKS.md.new
  mv BENCHMARKS.md.new BENCHMARKS.md
  echo "BENCHMARKS.md updated"
fi
