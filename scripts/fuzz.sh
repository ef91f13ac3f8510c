#!/usr/bin/env bash
# Fuzzes every target for MINUTES each (default 10) in each build: the
# 64-bit one (build/san) and the 32-bit x86 one (build/san32), whose code is
# the shipped program's kind. Side by side, as many at a time as there are
# cores (PV_FUZZ_JOBS to change); then merges what both found back into
# fuzz/corpus/<name>, minimised. Prints executions, coverage and crashes per
# target and build; exits non-zero when a target crashed, leaving the
# reproducer in build/<build>/fuzz-runs/<name>/.
# Called by ./run fuzz [MINUTES], which builds the targets first.
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-10}
jobs=${PV_FUZZ_JOBS:-$(nproc)}
builds=(${PV_FUZZ_BUILDS:-san san32})
mapfile -t targets < <(cd fuzz && ls fuzz_*.cpp | sed 's/^fuzz_//; s/\.cpp$//')
# The targets' own output is discarded; libFuzzer's and the sanitizers'
# reports still appear.
flags=(-timeout=10 -rss_limit_mb=2048 -max_len=8192 -close_fd_mask=3)

fuzz_one() {  # fuzz_one TARGET BUILD
  local work=build/$2/fuzz-runs/$1
  rm -rf "$work"
  mkdir -p "$work/new"
  # New inputs go into the first folder; the committed corpus is only read.
  local status=0
  nice -n "${PV_FUZZ_NICE:-10}" "build/$2/fuzz/fuzz_$1" "${flags[@]}" -dict=fuzz/pv.dict \
    -print_final_stats=1 -max_total_time=$((minutes * 60)) -artifact_prefix="$work/" \
    "$work/new" "fuzz/corpus/$1" >"$work/log" 2>&1 || status=$?
  echo "$status" >"$work/status"
}

echo "fuzzing ${targets[*]} for $minutes min each in ${builds[*]}, $jobs at a time" >&2
running=0
for t in "${targets[@]}"; do
  for b in "${builds[@]}"; do
    if [ "$running" -ge "$jobs" ]; then
      wait -n
      running=$((running - 1))
    fi
    fuzz_one "$t" "$b" &
    running=$((running + 1))
  done
done
wait

failed=0
for t in "${targets[@]}"; do
  # Merge what the runs found with the corpus and replace the corpus with
  # the result: a fresh folder of the hand-made seeds and finds chosen for
  # the edges they reach (hit counts aside), PV_FUZZ_CORPUS_MAX (48) in all.
  work=build/${builds[0]}/fuzz-runs/$t
  found=()
  for b in "${builds[@]}"; do found+=("build/$b/fuzz-runs/$t/new"); done
  rm -rf "$work/merged" "$work/kept"
  mkdir "$work/merged" "$work/kept"
  if "build/${builds[0]}/fuzz/fuzz_$t" "${flags[@]}" -merge=1 -use_counters=0 \
       -merge_control_file="$work/merge.cf" "$work/merged" "fuzz/corpus/$t" "${found[@]}" \
       >"$work/merge.log" 2>&1 &&
     kept=$(scripts/fuzz-keep.py "$work/merge.cf" "$work/kept" "${PV_FUZZ_CORPUS_MAX:-48}") &&
     [ -n "$(ls -A "$work/kept")" ]; then
    rm -rf "fuzz/corpus/$t"
    mv "$work/kept" "fuzz/corpus/$t"
  else
    kept="merge failed, left as it was (see $work/merge.log)"
    failed=1
  fi
  for b in "${builds[@]}"; do
    run=build/$b/fuzz-runs/$t
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$run/log")
    coverage=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$run/log" | tail -1 || true)
    mapfile -t crashes < <(find "$run" -maxdepth 1 \( -name 'crash-*' -o -name 'leak-*' \
                             -o -name 'timeout-*' -o -name 'oom-*' \))
    printf '%-8s %-6s %10s executions  %-20s crashes %d (exit %s)\n' "$t" "$b" "${execs:-?}" \
      "${coverage:-cov: ? ft: ?}" "${#crashes[@]}" "$(cat "$run/status")"
    for c in "${crashes[@]}"; do echo "  $c"; done
    if [ "${#crashes[@]}" -gt 0 ] || [ "$(cat "$run/status")" != 0 ]; then failed=1; fi
  done
  echo "$t corpus: $kept"
done
exit $failed
