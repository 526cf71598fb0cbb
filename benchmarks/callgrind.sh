#!/usr/bin/env bash
# Instructions per call of each engine operation over the benchmark corpus, counted by
# callgrind (stable on shared machines, unlike times).
#   benchmarks/callgrind.sh [build dir, default build/bench]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/bench}
cmake -S . -B "$build" -DKRODAN_BUILD_BENCHMARKS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" >/dev/null
bench="$build/benchmarks/engine_bench"
out=$(mktemp -d)
reps=3
printf '%-40s %14s\n' "operation" "instr/call"
for op in "copy of the game" "apply_action (with the copy)" "apply_action refused (with the copy)" \
          "agent_masks" "has_legal_placement" "refresh_done (with the copy)" "legal_placements"; do
  calls=$(valgrind --tool=callgrind --callgrind-out-file="$out/cg.%p" "$bench" --only "$op" "$reps" 2>/dev/null | awk '{print $1}')
  # The dump made right after the timed loop holds only its instructions.
  file=$(ls "$out"/cg.*.1 2>/dev/null | head -n 1)
  ir=$(grep -E '^(summary|totals):' "$file" | head -n 1 | awk '{print $2}')
  printf '%-40s %14.0f\n' "$op" "$(echo "$ir / $calls" | bc -l)"
  rm -f "$out"/cg.*
done
rm -rf "$out"
