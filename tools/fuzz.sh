#!/usr/bin/env bash
# Builds the fuzz preset and fuzzes every parser (or those named) in turn for
# the given seconds (default 60), each from a copy of its seed corpus in
# build/fuzz/corpus-work/<target>, so new inputs stay out of the tree. Prints
# one row per target; an input that failed is written to
# build/fuzz/findings/<target>/ and makes the exit status 1.
set -u
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift $(($# > 0))
targets=("$@")
[ ${#targets[@]} -gt 0 ] || for src in tests/fuzz/*.cpp; do targets+=("$(basename "$src" .cpp)"); done
if ! { cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j 2 >/dev/null; }; then
  echo "build of fuzz failed"; exit 1
fi
status=0
printf '%-18s %12s %6s %7s %8s %9s\n' target execs cov ft corpus findings
for t in "${targets[@]}"; do
  work=build/fuzz/corpus-work/$t findings=build/fuzz/findings/$t log=build/fuzz/fuzz-$t.log
  mkdir -p "$work" && rm -rf "$findings" && mkdir -p "$findings"
  cp -n tests/fuzz/corpus/"$t"/* "$work"/
  nice build/fuzz/tests/fuzz/fuzz_"$t" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$findings/" "$work" >"$log" 2>&1 || status=1
  execs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$log")
  last=$(grep -E '^#[0-9]+.* cov: ' "$log" | tail -n 1)
  found=$(find "$findings" -type f | wc -l)
  [ "$found" -eq 0 ] || status=1
  printf '%-18s %12s %6s %7s %8s %9s\n' "$t" "${execs:-?}" \
    "$(echo "$last" | sed -nE 's/.* cov: ([0-9]+).*/\1/p')" \
    "$(echo "$last" | sed -nE 's/.* ft: ([0-9]+).*/\1/p')" "$(find "$work" -type f | wc -l)" "$found"
done
exit $status
