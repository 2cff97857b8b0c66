#!/usr/bin/env bash
# Runs each fuzz target for a while under ASan and UBSan, from its committed corpus (what it
# finds on the way is dropped), built by `cmake --workflow --preset fuzz`.
#
#   fuzz/run_fuzzers.sh [BUILD-DIR [SECONDS]]        defaults: build/fuzz, 60
#
# A finding (a crash, a sanitizer report, a leak, a timeout, running out of memory) is saved
# under BUILD-DIR/fuzz-findings/TARGET/, printed in hex with the end of the log, and fails the
# script once every target has run. Once fixed, it joins fuzz/corpus/TARGET/ as regression-WHAT.
set -euo pipefail
shopt -s nullglob
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$(cd "${1:-$source_dir/build/fuzz}" && pwd) seconds=${2:-60}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stat() { sed -n "s/^stat::$1: *//p" "$findings/fuzz.log" | tail -n 1; }
summary=()
for target in decoder device round_trip; do
  fuzzer=$build_dir/${target}_fuzzer findings=$build_dir/fuzz-findings/$target
  [ -x "$fuzzer" ] || { echo "no $fuzzer: build the targets first" >&2; exit 1; }
  rm -rf "$findings" && mkdir -p "$work/$target" "$findings"
  echo "== fuzzing $target for $seconds s"
  # One process, one job: the machine is shared. What it finds goes to the first directory, the
  # scratch one. Fast inputs are mutated more often: the slow offspring of long ones would fill
  # the corpus.
  outcome="no finding"
  "$fuzzer" -max_total_time="$seconds" -max_len=4096 -timeout=30 -rss_limit_mb=2048 \
    -entropic_scale_per_exec_time=1 -print_final_stats=1 -artifact_prefix="$findings/" \
    "$work/$target" "$source_dir/fuzz/corpus/$target" >"$findings/fuzz.log" 2>&1 ||
    outcome="FINDING (exit code $?)"
  summary+=("$target: $(stat number_of_executed_units) executions ($(stat average_exec_per_sec)/s), $outcome")
  [ "$outcome" = "no finding" ] && continue
  tail -n 60 "$findings/fuzz.log"
  for input in "$findings"/*-*; do
    echo "-- reproduce: $fuzzer $input (first 4 KiB in hex below)"
    head -c 4096 "$input" | od -An -tx1 -v
  done
done
echo "== fuzzing summary"
printf '%s\n' "${summary[@]}"
[[ "${summary[*]}" != *FINDING* ]] || { echo "findings are under $build_dir/fuzz-findings" >&2; exit 1; }
