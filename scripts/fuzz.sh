#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz", clang, ASan + UBSan) and runs each for SECONDS
# (default 60), two at a time, on a copy of its seed corpus: the tree's corpus never grows here.
# Prints per target the executions and the coverage of libFuzzer's final stats; exits non-zero
# on any finding, with the reproducer's path and the report.
#   scripts/fuzz.sh [SECONDS]
#   FUZZ_TARGETS="fuzz_ini_file fuzz_sia_frame" scripts/fuzz.sh 600   (a selection)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
case "$seconds" in
  '' | *[!0-9]*) echo "usage: scripts/fuzz.sh [SECONDS]" >&2; exit 2 ;;
esac

scripts/install-deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target orv_fuzzers

bin=build-fuzz/fuzz
runs=build-fuzz/runs
rm -rf "$runs"
mkdir -p "$runs"
targets=${FUZZ_TARGETS:-$(cd tests/fuzz && ls fuzz_*.cpp | sed 's/\.cpp$//')}

run_one() {
  local t=$1 dir="$runs/$1"
  mkdir -p "$dir/corpus" "$dir/artifacts"
  if [ -d "tests/fuzz/corpus/$t" ]; then cp tests/fuzz/corpus/"$t"/* "$dir/corpus/"; fi
  local dict=()
  if [ -f "tests/fuzz/$t.dict" ]; then dict=("-dict=tests/fuzz/$t.dict"); fi
  # The targets' own diagnostic lines are not wanted (-close_fd_mask=3); libFuzzer's and the
  # sanitizers' reports still come.
  local rc=0
  "$bin/$t" -max_total_time="$seconds" -print_final_stats=1 -timeout=30 -rss_limit_mb=2048 \
    -close_fd_mask=3 -artifact_prefix="$dir/artifacts/" "${dict[@]}" "$dir/corpus" \
    >"$dir/log" 2>&1 || rc=$?
  echo "$rc" >"$dir/rc"
}

running=0
for t in $targets; do
  if [ ! -x "$bin/$t" ]; then echo "fuzz: no such target: $t" >&2; exit 2; fi
  run_one "$t" &
  running=$((running + 1))
  if [ "$running" -ge 2 ]; then
    wait -n
    running=$((running - 1))
  fi
done
wait

failed=0
printf '%-22s %12s %9s %7s %7s  %s\n' target executions exec/s cov ft result
for t in $targets; do
  dir="$runs/$t"
  log="$dir/log"
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  findings=$(find "$dir/artifacts" -type f | wc -l)
  result=ok
  if [ "$(cat "$dir/rc")" != 0 ] || [ "$findings" -gt 0 ]; then
    result="FINDING (exit $(cat "$dir/rc"))"
    failed=1
  fi
  printf '%-22s %12s %9s %7s %7s  %s\n' "$t" "${execs:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}" \
    "$result"
done

if [ "$failed" -ne 0 ]; then
  for t in $targets; do
    dir="$runs/$t"
    if [ "$(cat "$dir/rc")" = 0 ] && [ -z "$(ls -A "$dir/artifacts")" ]; then continue; fi
    echo
    echo "=== $t: finding"
    for a in "$dir"/artifacts/*; do
      [ -e "$a" ] && echo "reproducer: $a   (run: $bin/$t $a)"
    done
    # The report: from the sanitizer's or libFuzzer's first error line to the end.
    awk '/^==[0-9]+==|^SUMMARY|ERROR: libFuzzer|runtime error|fuzz check failed/ { on = 1 } on' \
      "$dir/log" | head -80
  done
  exit 1
fi
echo "fuzz: no findings"
