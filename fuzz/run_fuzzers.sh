#!/usr/bin/env bash
# Runs every fuzz target for a while, one after the other, under ASan and UBSan. Builds
# nothing: the targets come from the fuzz preset's build directory
# (cmake --workflow --preset fuzz).
#
#   fuzz/run_fuzzers.sh [BUILD-DIR [SECONDS]]        defaults: build/fuzz, 60
#
# Each target starts from a copy of its committed corpus, fuzz/corpus/TARGET, in a temporary
# directory: what it finds on the way is dropped, the committed corpus never grows by
# itself. A finding (a crash, a sanitizer report, a leak, a timeout or running out of memory)
# is saved under BUILD-DIR/fuzz-findings/TARGET/, printed in hex with the end of the log,
# and makes the script fail once every target has run. Once it is fixed, the input belongs
# in the corpus as fuzz/corpus/TARGET/regression-WHAT.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$(cd "${1:-$source_dir/build/fuzz}" && pwd)
seconds=${2:-60}
targets=(decoder device round_trip)

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
findings=$build_dir/fuzz-findings
failed=()
summary=()

for target in "${targets[@]}"; do
  fuzzer=$build_dir/${target}_fuzzer
  if [ ! -x "$fuzzer" ]; then
    echo "no $fuzzer: build the targets first (cmake --workflow --preset fuzz)" >&2
    exit 1
  fi
  corpus=$work/corpus/$target
  rm -rf "${findings:?}/$target"  # an earlier run's findings
  mkdir -p "$corpus" "$findings/$target"
  cp "$source_dir/fuzz/corpus/$target"/* "$corpus/"
  log=$work/$target.log
  echo "== fuzzing $target for $seconds s"
  status=0
  # One process, one job: the machine is shared. A slow input is a finding too (-timeout).
  # Fast inputs are mutated more often: the slow offspring of long ones would fill the corpus.
  "$fuzzer" -max_total_time="$seconds" -max_len=4096 -timeout=30 -rss_limit_mb=2048 \
    -entropic_scale_per_exec_time=1 -print_final_stats=1 -artifact_prefix="$findings/$target/" \
    "$corpus" >"$log" 2>&1 ||
    status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  if [ "$status" -eq 0 ]; then
    summary+=("$target: ${runs:-?} executions (${rate:-?}/s), no finding")
    continue
  fi
  failed+=("$target")
  summary+=("$target: ${runs:-?} executions, FINDING (exit code $status)")
  cp "$log" "$findings/$target/fuzz.log"
  echo "-- the end of the log (all of it: $findings/$target/fuzz.log)"
  tail -n 60 "$log"
  for input in "$findings/$target"/*-*; do
    [ -f "$input" ] || continue
    echo "-- reproduce: $fuzzer $input (first 4 KiB in hex below)"
    head -c 4096 "$input" | od -An -tx1 -v
  done
done

echo "== fuzzing summary"
printf '%s\n' "${summary[@]}"
if [ "${#failed[@]}" -gt 0 ]; then
  echo "findings in: ${failed[*]} (inputs under $findings)" >&2
  exit 1
fi
