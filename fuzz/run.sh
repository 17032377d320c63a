#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build (the list it wrote to fuzz_targets.txt) for the given
# seconds each: seeds from fuzz/corpus/<name> (read only; what a run learns stays in
# <build>/corpus/<target>), the dictionary fuzz/<prefix>.dict where one exists, the output in
# <build>/logs/<target>.log and a failing input in <build>/artifacts. All targets run even when
# one fails; the status tells whether any did.
#   fuzz/run.sh build/fuzz 30
set -uo pipefail
build=${1:?fuzz build directory}
seconds=${2:?seconds per target}
src=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$build/logs" "$build/artifacts"
failed=()
while read -r target; do
  [ -n "$target" ] || continue
  name=${target%_fuzz}
  seeds=$src/corpus/$name
  [ -d "$seeds" ] || seeds=$src/corpus/${name%%_*}
  dict=()
  [ -f "$src/${name%%_*}.dict" ] && dict=(-dict="$src/${name%%_*}.dict")
  mkdir -p "$build/corpus/$target"
  echo "== $target: ${seconds}s"
  if "$build/$target" -max_total_time="$seconds" -print_final_stats=1 "${dict[@]}" \
       -artifact_prefix="$build/artifacts/$target-" "$build/corpus/$target" "$seeds" \
       >"$build/logs/$target.log" 2>&1; then
    grep -E '^stat::number_of_executed_units' "$build/logs/$target.log" || true
  else
    failed+=("$target")
    tail -n 40 "$build/logs/$target.log"
  fi
done <"$build/fuzz_targets.txt"
if ((${#failed[@]})); then
  echo "fuzz targets failed: ${failed[*]}"
  exit 1
fi
