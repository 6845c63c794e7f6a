#!/bin/sh
# Runs a fuzzer for a bounded time on a scratch copy of its seed corpus, so that the corpus in the
# source tree is never written. Inputs that fail are kept in the artifacts folder.
#   fuzz_run.sh FUZZER SEEDS ARTIFACTS [SECONDS [MAX_LEN]]
# ZS_FUZZ_SECONDS overrides the seconds (the long runs use scripts/fuzz_long.sh instead).
set -eu
fuzzer=$1
seeds=$2
artifacts=$3
seconds=${ZS_FUZZ_SECONDS:-${4:-60}}
max_len=${5:-4096}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus" "$artifacts"
cp "$seeds"/* "$work/corpus/"
cd "$work"
"$fuzzer" -max_total_time="$seconds" -max_len="$max_len" -timeout=25 \
  -artifact_prefix="$artifacts/" -print_final_stats=1 corpus
