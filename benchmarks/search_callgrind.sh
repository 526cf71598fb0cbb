#!/usr/bin/env bash
# Instructions of each part of search_bench (UCT with random and with greedy rollouts, the
# guided search), counted by callgrind: a part's run minus the run of the set-up alone.
#   benchmarks/search_callgrind.sh [build dir, default build/bench] [extra CMake options]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/bench}
shift || true
cmake -S . -B "$build" -DKRODAN_BUILD_BENCHMARKS=ON -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build "$build" -j 2 --target search_bench >/dev/null
bench="$build/benchmarks/search_bench"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# Total instructions of one run, and the digest it printed.
count() {
  local digest
  digest=$(valgrind --tool=callgrind --callgrind-out-file="$out/cg" "$bench" --only "$1" 2>/dev/null)
  echo "$(grep -E '^(summary|totals):' "$out/cg" | head -n 1 | awk '{print $2}') $digest"
}

read -r base _ < <(count none)
printf '%-12s %16s  %s\n' "part" "instructions" "digest"
for part in uct-random uct-greedy guided; do
  read -r total digest < <(count "$part")
  printf '%-12s %16d  %s\n' "$part" "$((total - base))" "$digest"
done
