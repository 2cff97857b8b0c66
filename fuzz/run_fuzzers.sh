#!/usr/bin/env bash
# Runs each fuzz target for a while under ASan and UBSan, from a copy of its committed corpus
# (what it finds on the way is dropped), built by `cmake --workflow --preset fuzz`.
#
#   fuzz/run_fuzzers.sh [BUILD-DIR [SECONDS]]        defaults: build/fuzz, 60
#
# A finding (a crash, a sanitizer report, a leak, a timeout, running out of memory) is saved
# under BUILD-DIR/fuzz-findings/TARGET/, printed in hex with the end of the log, and fails the
# script once every target has run. Once fixed, it joins fuzz/corpus/TARGET/ as regression-WHAT.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$(cd "${1:-$source_dir/build/fuzz}" && pwd)
seconds=${2:-60}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
findings=$build_dir/fuzz-findings
failed=()
summary=()
for target in decoder device round_trip; do
  fuzzer=$build_dir/${target}_fuzzer
  [ -x "$fuzzer" ] || { echo "no $fuzzer: build the targets first" >&2; exit 1; }
  rm -rf "${findings:?}/$target"
  mkdir -p "$work/$target" "$findings/$target"
  cp "$source_dir/fuzz/corpus/$target"/* "$work/$target/"
  log=$findings/$target/fuzz.log
  echo "== fuzzing $target for $seconds s"
  # One process, one job: the machine is shared. Fast inputs are mutated more often: the slow
  # offspring of long ones would fill the corpus.
  status=0
  "$fuzzer" -max_total_time="$seconds" -max_len=4096 -timeout=30 -rss_limit_mb=2048 \
    -entropic_scale_per_exec_time=1 -print_final_stats=1 -artifact_prefix="$findings/$target/" \
    "$work/$target" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  if [ "$status" -eq 0 ]; then
    summary+=("$target: ${runs:-?} executions (${rate:-?}/s), no finding")
    continue
  fi
  failed+=("$target")
  summary+=("$target: ${runs:-?} executions, FINDING (exit code $status)")
  tail -n 60 "$log"
  for input in "$findings/$target"/*-*; do
    [ -f "$input" ] || continue
    echo "-- reproduce: $fuzzer $input (first 4 KiB in hex below)"
    head -c 4096 "$input" | od -An -tx1 -v
  done
done
echo "== fuzzing summary"
printf '%s\n' "${summary[@]}"
[ "${#failed[@]}" -eq 0 ] || { echo "findings in: ${failed[*]} (inputs under $findings)" >&2; exit 1; }
