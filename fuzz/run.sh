#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each on its seed corpus.
#
#   fuzz/run.sh [SECONDS] [TARGET...]
#       The smoke run (CI): each target on a scratch copy of its seeds for
#       SECONDS (default 30). Any crash, leak, sanitizer report or failed
#       check fails.
#   fuzz/run.sh --long RUNS [TARGET...]
#       The campaign (outside CI): each target in turn for RUNS executions
#       (for example 10000000), one core, niced, built without
#       AddressSanitizer (build-fuzz-campaign/) for speed; then every input
#       it kept is run once under AddressSanitizer, and its seed corpus is
#       minimised over the seeds and what the campaign found (-merge=1 into
#       an empty corpus), keeping the regress_* reproducers. The figures
#       (executions, exec/s, cov, ft) go to build-fuzz/campaign/<target>.log.
set -euo pipefail
cd "$(dirname "$0")/.."
long=0
if [ "${1:-}" = "--long" ]; then
  long=1
  shift
fi
amount=${1:-30}
shift || true
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
bindir=build-fuzz/fuzz
campaigndir=build-fuzz-campaign/fuzz
if [ $long -eq 1 ]; then
  cmake --preset fuzz-campaign >/dev/null
  cmake --build --preset fuzz-campaign
fi
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in fuzz/fuzz_*.cpp; do
    [ -e "$f" ] || continue
    targets+=("$(basename "$f" .cpp)")
  done
fi
# Inputs of the stateful bridge target are event sequences, each event some
# system calls of the terminal's: 512 bytes hold over a hundred events, far
# more than any fault it found needed (its reproducers are 8 and 27 bytes).
options_for() {
  case "$1" in
    fuzz_bridge) echo -max_len=512 ;;
  esac
}
# The seeds become the smallest set of inputs, from the seeds and the
# campaign's corpus, that reaches all the coverage either reaches. Seeds
# written by hand and the reproducers of findings (regress_*), all named
# otherwise than by their hash, stay whatever they add.
minimise() {
  local t=$1 seeds=$2 found=$3 fresh
  local hashed='.*/[0-9a-f]{40}'
  fresh=$(mktemp -d)
  find "$seeds" -maxdepth 1 -regextype posix-extended -type f ! -regex "$hashed" -exec cp {} "$fresh"/ \;
  nice -n 10 "$bindir/$t" "${options[@]}" -merge=1 "$fresh" "$seeds" "$found"
  find "$seeds" -maxdepth 1 -regextype posix-extended -type f -regex "$hashed" -delete
  for f in "$fresh"/*; do
    [ -e "$seeds/${f##*/}" ] || cp "$f" "$seeds"/
  done
  rm -rf "$fresh"
}
status=0
for t in "${targets[@]}"; do
  read -r -a options <<<"$(options_for "$t")"
  seeds=fuzz/corpus/${t#fuzz_}
  work=$(mktemp -d)
  [ -d "$seeds" ] && cp -r "$seeds"/. "$work"/
  if [ $long -eq 1 ]; then
    mkdir -p build-fuzz/campaign "$seeds"
    log=build-fuzz/campaign/$t.log
    echo "== $t: $amount runs (log in $log)"
    # The replay under AddressSanitizer covers what the campaign kept, not
    # every input it ran.
    if ! nice -n 10 "$campaigndir/$t" "${options[@]}" -runs="$amount" -print_final_stats=1 \
          -artifact_prefix="$work/" "$work" >"$log" 2>&1 ||
       ! nice -n 10 "$bindir/$t" "${options[@]}" -runs=0 "$work" >>"$log" 2>&1; then
      status=1
      tail -n 60 "$log"
      echo "!! $t failed; artifacts in $work"
      continue
    fi
    minimise "$t" "$seeds" "$work" >>"$log" 2>&1
    grep -E '^#[0-9]+.*DONE|stat::number_of_executed_units|stat::average_exec_per_sec' "$log" | tail -n 3
    rm -rf "$work"
    continue
  fi
  echo "== $t: ${amount}s"
  if ! "$bindir/$t" "${options[@]}" -max_total_time="$amount" -print_final_stats=1 \
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
