#!/usr/bin/env bash
# Runs every fuzzing harness of a build for a bounded time each, starting from its seed corpus.
#
#   fuzz/run.sh BUILD_DIR SECONDS [HARNESS...]
#
# Inputs the fuzzer finds interesting go to BUILD_DIR/fuzz/found/<harness>, crash reproducers to
# BUILD_DIR/fuzz/crashes; the committed seeds are only read. Stops at the first harness that fails.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
build="$1"
seconds="$2"
shift 2
harnesses=("$@")
if [ ${#harnesses[@]} -eq 0 ]; then
  harnesses=($(ls "$here/corpus"))
fi

mkdir -p "$build/fuzz/crashes"
for harness in "${harnesses[@]}"; do
  found="$build/fuzz/found/$harness"
  mkdir -p "$found"
  echo "fuzz_$harness: ${seconds}s"
  log="$build/fuzz/$harness.log"
  if ! "$build/fuzz/fuzz_$harness" "$found" "$here/corpus/$harness" \
    -dict="$here/engine.dict" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$build/fuzz/crashes/$harness-" -print_final_stats=1 >"$log" 2>&1; then
    tail -n 60 "$log"
    exit 1
  fi
  grep -E '^(Done|stat::number_of_executed_units)' "$log"
done
