#!/bin/sh
# Runs the XML fuzzer for ZS_FUZZ_SECONDS (60 by default) on a scratch copy of the seed corpus,
# so that the corpus in the source tree is never written.
set -eu
fuzzer=$1
seeds=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus"
cp "$seeds"/* "$work/corpus/"
cd "$work"
"$fuzzer" -max_total_time="${ZS_FUZZ_SECONDS:-60}" -max_len=4096 -print_final_stats=1 corpus
