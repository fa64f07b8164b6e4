#!/usr/bin/env bash
# Sets up what is missing, builds both targets and runs every test: the
# portable code natively under ASan/UBSan and under TSan, every parser's fuzz
# target over its seed corpus and for 20 s, then the Windows programs under
# Wine (unit, integration with real peers, and end to end).
set -u
cd "$(dirname "$0")/.."
tools/setup.sh || exit 1
jobs=$(nproc)
passed=0 failed=0 status=0
run() { # preset
  local preset=$1 log="build/ctest-$1.log"
  mkdir -p build
  if ! { cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j "$jobs"; }; then
    echo "build of $preset failed"; status=1; failed=$((failed + 1)); return
  fi
  ctest --preset "$preset" -j "$jobs" 2>&1 | tee "$log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  local line total bad
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  total=$(echo "$line" | sed -E 's/.* out of ([0-9]+).*/\1/')
  bad=$(echo "$line" | sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/')
  [ -n "$line" ] || { total=1; bad=1; status=1; }
  passed=$((passed + total - bad)); failed=$((failed + bad))
}
run native
run tsan
run fuzz
run windows
echo
echo "all: $passed passed, $failed failed"
exit $status
