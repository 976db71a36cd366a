#!/usr/bin/env bash
# Runs every fuzz program built in BUILD_DIR for a bounded time, starting from its committed seed
# corpus fuzz/corpus/<name>/ (the seeds come first, so every regression case is replayed):
#   fuzz/run_fuzzers.sh [BUILD_DIR] [SECONDS]      (defaults: build/fuzz, $VELMORA_FUZZ_SECONDS or 30)
# Up to $VELMORA_FUZZ_JOBS programs (default: the number of cores, at most 2) run at a time. New
# inputs found on the way go to a scratch corpus, never into the source tree. A crash, a leak, a
# sanitizer report, a timeout or a failed check of a program fails the run; the input that caused
# it is kept under BUILD_DIR/findings/<name>/ and belongs in fuzz/corpus/<name>/ once mended.
set -uo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-$source_dir/build/fuzz}
seconds=${2:-${VELMORA_FUZZ_SECONDS:-30}}
jobs=${VELMORA_FUZZ_JOBS:-$(nproc)}
[ "$jobs" -gt 2 ] && jobs=2

bin_dir=$build_dir/fuzz/bin
shopt -s nullglob
programs=("$bin_dir"/*_fuzz)
if [ ${#programs[@]} -eq 0 ]; then
  echo "no fuzz programs under $bin_dir (build them with: cmake --build --preset fuzz)" >&2
  exit 1
fi
work=$build_dir/fuzz-run
rm -rf "$work"
mkdir -p "$work"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

run_one() {
  local program=$1 name seeds status
  name=$(basename "$program" _fuzz)
  seeds=$source_dir/fuzz/corpus/$name
  mkdir -p "$work/$name/corpus" "$work/$name/artifacts"
  if [ ! -d "$seeds" ]; then
    echo "warning: $name has no seed corpus fuzz/corpus/$name/" >&2
    seeds=
  fi
  "$program" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$work/$name/artifacts/" "$work/$name/corpus" ${seeds:+"$seeds"} \
    >"$work/$name/log" 2>&1
  status=$?
  echo "$status" >"$work/$name/status"
}

start=$SECONDS
running=0
for program in "${programs[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n
    running=$((running - 1))
  fi
  run_one "$program" &
  running=$((running + 1))
done
wait

failed=0
for program in "${programs[@]}"; do
  name=$(basename "$program" _fuzz)
  status=$(cat "$work/$name/status" 2>/dev/null || echo 1)
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$work/$name/log" | grep -o '[0-9]*$')
  if [ "$status" = 0 ]; then
    printf '%-28s ok     %10s runs\n' "$name" "${runs:-?}"
  else
    failed=1
    printf '%-28s FAILED (exit %s)\n' "$name" "$status"
    grep -v -e '^#[0-9]' -e '^INFO:' -e '^	NEW_FUNC' "$work/$name/log" | tail -n 60
    findings=$build_dir/findings/$name
    mkdir -p "$findings"
    for input in "$work/$name/artifacts"/*; do
      cp "$input" "$findings/"
      echo "  input: $findings/$(basename "$input") (add it to fuzz/corpus/$name/ with the fix)"
    done
  fi
done
echo "fuzzing took $((SECONDS - start)) s for ${#programs[@]} programs, $seconds s each, $jobs at a time"
exit $failed
