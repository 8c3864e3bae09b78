#!/usr/bin/env bash
# Runs every fuzz target over its seed corpus in fuzz/corpus/ and then for SECONDS on new inputs
# (kept in a scratch directory), printing executions and coverage. A crash, leak, sanitizer report
# or time-out fails the run and leaves the input in the scratch directory.
#   scripts/fuzz-smoke.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-fuzz} seconds=${2:-20}
scratch=$(mktemp -d -t tarnwell-fuzz.XXXXXX)
for target in snapshot_fuzz wal_fuzz document_fuzz key_fuzz tokenizer_fuzz; do
  mkdir -p "$scratch/$target"
  if ! "$build/fuzz/$target" "$scratch/$target" "fuzz/corpus/$target" \
      -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=25 -max_len=65536 \
      -artifact_prefix="$scratch/$target-" -print_final_stats=1 >"$scratch/$target.log" 2>&1; then
    tail -n 60 "$scratch/$target.log"
    echo "fuzz-smoke: $target failed; inputs in $scratch" >&2
    exit 1
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$scratch/$target.log")
  cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$scratch/$target.log" | tail -n 1)
  echo "fuzz-smoke: $target ok, $execs executions, $cov"
done
rm -rf "$scratch"
