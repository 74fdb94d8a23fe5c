#!/usr/bin/env bash
# Builds the fuzz preset and runs every fuzz target for SECONDS (default 20)
# from a copy of its seed corpus, so that the checked-in corpus stays as it
# is. Fails when a target crashes or a check fails; the failing input and
# the log are then kept and their place is printed.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-20}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

work=$(mktemp -d)
status=0
for target in input_line registry strings lock_file; do
  # Lines past 4096 bytes need inputs longer than libFuzzer's default limit.
  max_len=4096
  [[ $target == input_line ]] && max_len=16384
  cp -r "tests/fuzz/corpus/$target" "$work/$target"
  log="$work/$target.log"
  # An input that takes 10 s is a hang, not a slow input.
  if build/fuzz/tests/fuzz/"fuzz_$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 \
      -print_final_stats=1 -artifact_prefix="$work/$target-" "$work/$target" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    echo "fuzz_$target: $runs inputs in ${seconds} s ($rate/s)"
  else
    tail -n 40 "$log"
    echo "fuzz_$target FAILED: input and log kept in $work"
    status=1
  fi
done
[[ $status -eq 0 ]] && rm -rf "$work"
exit $status
