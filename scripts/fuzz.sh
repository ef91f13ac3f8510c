#!/usr/bin/env bash
# Fuzzes every target in build/san for MINUTES each (default 10), side by
# side, as many at a time as there are cores (PV_FUZZ_JOBS to change), then
# merges what they found back into fuzz/corpus/<name>, minimised. Prints
# executions, coverage and crashes per target; exits non-zero when a target
# crashed, leaving the reproducer in build/san/fuzz-runs/<name>/.
# Called by ./run fuzz [MINUTES], which builds the targets first.
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-10}
jobs=${PV_FUZZ_JOBS:-$(nproc)}
bin=build/san/fuzz
runs=build/san/fuzz-runs
mapfile -t targets < <(cd fuzz && ls fuzz_*.cpp | sed 's/^fuzz_//; s/\.cpp$//')
# The targets' own output is discarded; libFuzzer's and the sanitizers'
# reports still appear.
flags=(-timeout=10 -rss_limit_mb=2048 -max_len=8192 -close_fd_mask=3)

fuzz_one() {
  local work=$runs/$1
  rm -rf "$work"
  mkdir -p "$work/new"
  # New inputs go into the first folder; the committed corpus is only read.
  local status=0
  nice -n "${PV_FUZZ_NICE:-10}" "$bin/fuzz_$1" "${flags[@]}" -dict=fuzz/pv.dict -print_final_stats=1 \
    -max_total_time=$((minutes * 60)) -artifact_prefix="$work/" "$work/new" "fuzz/corpus/$1" \
    >"$work/log" 2>&1 || status=$?
  echo "$status" >"$work/status"
}

echo "fuzzing ${targets[*]} for $minutes min each, $jobs at a time" >&2
running=0
for t in "${targets[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n
    running=$((running - 1))
  fi
  fuzz_one "$t" &
  running=$((running + 1))
done
wait

failed=0
for t in "${targets[@]}"; do
  work=$runs/$t
  # Merge what the run found with the corpus and replace the corpus with
  # the result: a fresh folder of the hand-made seeds and finds chosen for
  # the edges they reach (hit counts aside), PV_FUZZ_CORPUS_MAX (48) in all.
  rm -rf "$work/merged" "$work/kept"
  mkdir "$work/merged" "$work/kept"
  if "$bin/fuzz_$t" "${flags[@]}" -merge=1 -use_counters=0 -merge_control_file="$work/merge.cf" \
       "$work/merged" "fuzz/corpus/$t" "$work/new" >"$work/merge.log" 2>&1 &&
     kept=$(scripts/fuzz-keep.py "$work/merge.cf" "$work/kept" "${PV_FUZZ_CORPUS_MAX:-48}") &&
     [ -n "$(ls -A "$work/kept")" ]; then
    rm -rf "fuzz/corpus/$t"
    mv "$work/kept" "fuzz/corpus/$t"
  else
    kept="merge failed, left as it was (see $work/merge.log)"
    failed=1
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
  coverage=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$work/log" | tail -1 || true)
  mapfile -t crashes < <(find "$work" -maxdepth 1 \( -name 'crash-*' -o -name 'leak-*' \
                           -o -name 'timeout-*' -o -name 'oom-*' \))
  printf '%-8s %10s executions  %-20s crashes %d (exit %s); corpus: %s\n' "$t" "${execs:-?}" \
    "${coverage:-cov: ? ft: ?}" "${#crashes[@]}" "$(cat "$work/status")" "$kept"
  for c in "${crashes[@]}"; do echo "  $c"; done
  if [ "${#crashes[@]}" -gt 0 ] || [ "$(cat "$work/status")" != 0 ]; then failed=1; fi
done
exit $failed
