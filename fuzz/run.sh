#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each on a copy of its seed
# corpus for SECONDS (default 30). Any crash, leak or sanitizer report fails.
#   fuzz/run.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
shift || true
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
bindir=build-fuzz/fuzz
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in fuzz/fuzz_*.cpp; do
    [ -e "$f" ] || continue
    targets+=("$(basename "$f" .cpp)")
  done
fi
status=0
for t in "${targets[@]}"; do
  seeds=fuzz/corpus/${t#fuzz_}
  work=$(mktemp -d)
  [ -d "$seeds" ] && cp -r "$seeds"/. "$work"/
  echo "== $t: ${seconds}s"
  if ! "$bindir/$t" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$work/" "$work" 2>"$work.log"; then
    status=1
    tail -n 60 "$work.log"
    echo "!! $t failed; artifacts in $work"
  else
    grep -E '^#[0-9]+.*DONE|stat::number_of_executed_units|stat::average_exec_per_sec|cov:' "$work.log" | tail -n 3
    rm -rf "$work" "$work.log"
  fi
done
exit $status
