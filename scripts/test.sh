#!/usr/bin/env bash
# Runs every CTest suite (called by ./run test inside one virtual X display)
# and ends with one line of totals.
set -uo pipefail
cd "$(dirname "$0")/.."
passed=0 failed=0 status=0
suite() {  # suite NAME BUILD-DIR [ctest args...]
  local name=$1 dir=$2; shift 2
  echo "== tests: $name"
  local log
  log=$(mktemp)
  ctest --test-dir "$dir" --output-on-failure "$@" 2>&1 | tee "$log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
  if [ -n "$line" ]; then
    local total bad
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    bad=$(sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/' <<<"$line")
    passed=$((passed + total - bad)); failed=$((failed + bad))
  else
    status=1
  fi
  rm -f "$log"
}
suite "native 64-bit, sanitizers and fuzzers" build/san -j2
suite "native 32-bit x86, sanitizers and fuzzers" build/san32 -j2
suite "the shipped 32-bit Windows build, under Wine" build/win32-tests -j1
echo
echo "$passed passed, $failed failed"
exit $status
