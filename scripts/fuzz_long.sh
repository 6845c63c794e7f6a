#!/usr/bin/env bash
# The long runs of the fuzzers, one at a time at the lowest priority (the machine is shared): each
# runs ZS_FUZZ_LONG_RUNS inputs (10 million) or ZS_FUZZ_LONG_SECONDS (an hour), whichever comes
# first, on a scratch copy of its seed corpus. Prints one line per fuzzer:
#   name  inputs-run  seconds  findings
# and keeps each finding under build/fuzz-long/<name>/. The binaries are copied first, so that a
# build meanwhile does not touch them.
#   fuzz_long.sh [NAME...]   (default: every fuzzer in build/native/fuzzers.txt)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${ZS_FUZZ_LONG_RUNS:-10000000}
seconds=${ZS_FUZZ_LONG_SECONDS:-3600}
out=$root/build/fuzz-long
mkdir -p "$out"
while read -r name binary corpus max_len; do
  [ -n "$name" ] || continue
  if [ $# -gt 0 ] && ! printf '%s\n' "$@" | grep -qx "$name"; then continue; fi
  dir=$out/$name
  rm -rf "$dir"
  mkdir -p "$dir/corpus" "$dir/findings"
  cp "$binary" "$dir/fuzzer"
  cp "$corpus"/* "$dir/corpus/"
  start=$(date +%s)
  (cd "$dir" && nice -n 19 ./fuzzer -runs="$runs" -max_total_time="$seconds" -max_len="$max_len" \
    -timeout=25 -artifact_prefix="$dir/findings/" -print_final_stats=1 corpus >"$dir/log" 2>&1)
  done_runs=$(grep -oE 'stat::number_of_executed_units: [0-9]+' "$dir/log" | grep -oE '[0-9]+$')
  findings=$(find "$dir/findings" -type f | wc -l)
  echo "$name ${done_runs:-?} $(( $(date +%s) - start )) $findings" | tee -a "$out/results.txt"
done <"$root/build/native/fuzzers.txt"
