#!/usr/bin/env bash
# Runs every fuzzing harness of a build for a bounded time each, starting from its seed corpus.
#
#   fuzz/run.sh BUILD_DIR SECONDS [HARNESS...]
#
# Inputs the fuzzer finds interesting go to BUILD_DIR/fuzz/found/<harness>, crash reproducers to
# BUILD_DIR/fuzz/crashes; the committed seeds are only read. Stops at the first harness that fails.
#
# An input that runs longer than KEST_FUZZ_TIMEOUT seconds (default 5) is a finding too: every
# call is bounded by its input and budgets, and the harnesses grow worlds to thousands of
# entities, so a rule whose cost grows with the world shows up as a slow input.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
build="$1"
seconds="$2"
timeout="${KEST_FUZZ_TIMEOUT:-5}"
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
    -dict="$here/engine.dict" -max_total_time="$seconds" -max_len=65536 -timeout="$timeout" -rss_limit_mb=2048 \
    -artifact_prefix="$build/fuzz/crashes/$harness-" -print_final_stats=1 >"$log" 2>&1; then
    tail -n 60 "$log"
    exit 1
  fi
  grep -E '^(Done|stat::number_of_executed_units)' "$log"
done
