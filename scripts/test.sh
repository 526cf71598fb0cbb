#!/usr/bin/env bash
# Builds and runs every test: the C++ engine tests (GoogleTest, through CTest) and the Python
# tests (pytest) against the installed package. Installs what it needs on a fresh machine.
set -euo pipefail
cd "$(dirname "$0")/.."

# GoogleTest for the C++ tests; a headless browser and its driver for the replay page's test.
missing=()
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
command -v chromium >/dev/null || missing+=(chromium)
command -v chromedriver >/dev/null || missing+=(chromium-driver)
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then sudo=""; else sudo="sudo"; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

# In CI a warning fails the build.
werror=OFF
if [ "${CI:-}" = true ]; then werror=ON; fi

echo "== C++ tests"
cmake -S . -B build/tests -DKRODAN_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release \
  -DKRODAN_WERROR="$werror" >/dev/null
cmake --build build/tests -j 2
ctest --test-dir build/tests --output-on-failure -j 2
# Again on the baseline instruction set, which the run above skips on a processor with more.
KRODAN_RL_ISA=baseline ctest --test-dir build/tests --output-on-failure -j 2

echo "== Python tests"
python -m pip install -q -Ccmake.define.KRODAN_WERROR="$werror" '.[test,ray,train,infer,examples]'
# The Gumbel root's outside oracle: mctx needs JAX, which only this run installs.
python -m pip install -q 'mctx>=0.0.5'
python -m pytest -q tests/python
