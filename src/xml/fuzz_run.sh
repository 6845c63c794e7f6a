#!/bin/sh
# Runs the XML fuzzer for ZS_FUZZ_SECONDS (60 by default) on a scratch copy of the seed corpus,
# so that the corpus in the source tree is never written. Inputs that fail are kept in the
# artifacts folder given as the third argument.
set -eu
fuzzer=$1
seeds=$2
artifacts=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus" "$artifacts"
cp "$seeds"/* "$work/corpus/"
cd "$work"
"$fuzzer" -max_total_time="${ZS_FUZZ_SECONDS:-60}" -max_len=4096 -timeout=25 \
  -artifact_prefix="$artifacts/" -print_final_stats=1 corpus
