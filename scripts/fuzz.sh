#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and UndefinedBehaviorSanitizer, and
# runs each for a bounded time (seconds, default 60) from the seed corpus in fuzz/corpus. New
# inputs go to a scratch corpus, so the repository's stays as it is. Installs clang where it is
# missing.
#   scripts/fuzz.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
if ! command -v clang++ >/dev/null ||
   ! compgen -G '/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a' >/dev/null; then
  if [ "$(id -u)" = 0 ]; then sudo=""; else sudo="sudo"; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq clang libclang-rt-14-dev >/dev/null
fi
build=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKRODAN_SANITIZE=address,undefined -DKRODAN_BUILD_FUZZERS=ON >/dev/null
cmake --build "$build" -j 2 --target decode_state_fuzzer play_fuzzer batch_fuzzer legal_sets_fuzzer
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
for target in decode_state play batch legal_sets; do
  scratch=$(mktemp -d)
  echo "== ${target}_fuzzer for ${seconds} s"
  "$build/fuzz/${target}_fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
    -max_len=4096 "$scratch" "fuzz/corpus/$target" 2>&1 | grep -E '^(#[0-9]+ +DONE|Done|stat::number_of_executed_units|stat::peak_rss)|ERROR|SUMMARY|cov:' | tail -n 4
  rm -rf "$scratch"
done
