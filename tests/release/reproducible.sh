#!/usr/bin/env bash
# Builds the release again from scratch, in other directories and at another
# time, and compares every file with the release in the given dist directory.
set -euo pipefail
dist=$1
if [[ ! -f "$dist/SHA256SUMS" ]]; then
  echo "skipped: no release in $dist, run scripts/release.sh"
  exit 77
fi
export LC_ALL=C
# SHA256SUMS names every release file but itself, and their sums hold.
diff <(cd "$dist" && ls | grep -vx SHA256SUMS) <(awk '{print $2}' "$dist/SHA256SUMS" | sort)
(cd "$dist" && sha256sum --quiet -c SHA256SUMS)

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
release="$(dirname "$0")/../../scripts/release.sh"
"$release" "$scratch/build" "$scratch/dist" >"$scratch/log" 2>&1 || { cat "$scratch/log"; exit 1; }

diff <(cd "$dist" && ls) <(cd "$scratch/dist" && ls)
status=0
for file in "$dist"/*; do
  cmp "$file" "$scratch/dist/${file##*/}" || status=1
done
[[ $status -eq 0 ]] || echo "the rebuild differs (is $dist from this commit, with no uncommitted change?)"
exit $status
