#!/usr/bin/env bash
# Instructions per call of each engine operation over the benchmark corpus, counted by
# callgrind (stable on shared machines, unlike times): the count of a run with N repeats minus
# that of a run with none, divided by the calls.
#   benchmarks/callgrind.sh [build dir, default build/bench] [extra CMake options]
# e.g. benchmarks/callgrind.sh build/bench-checks -DKRODAN_CHECKS=ON counts the inner checks.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/bench}
shift || true
cmake -S . -B "$build" -DKRODAN_BUILD_BENCHMARKS=ON -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build "$build" >/dev/null
bench="$build/benchmarks/engine_bench"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
reps=3

# Total instructions of one run, and the number of calls it printed.
count() {
  local calls
  calls=$(valgrind --tool=callgrind --callgrind-out-file="$out/cg" "$bench" --only "$1" "$2" 2>/dev/null | awk '{print $1}')
  echo "$(grep -E '^(summary|totals):' "$out/cg" | head -n 1 | awk '{print $2}') ${calls:-0}"
}

printf '%-40s %14s\n' "operation" "instr/call"
for op in "copy of the game" "apply_action (with the copy)" "apply_action refused (with the copy)" \
          "agent_masks" "has_legal_placement" "refresh_done (with the copy)" "legal_placements" \
          "observation_bytes"; do
  read -r base _ < <(count "$op" 0)
  read -r total calls < <(count "$op" "$reps")
  printf '%-40s %14.0f\n' "$op" "$(echo "($total - $base) / $calls" | bc -l)"
done
