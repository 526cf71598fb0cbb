#!/usr/bin/env bash
# Builds and runs every test: the C++ engine tests (GoogleTest, through CTest) and the Python
# tests (pytest) against the installed package. Installs what it needs on a fresh machine.
set -euo pipefail
cd "$(dirname "$0")/.."

# What the tests need from Debian, each said with its reason before anything is installed.
missing=()
need() {  # need PACKAGE FILE-OR-COMMAND WHY: listed unless the file or command is there
  local package=$1 present=$2 why=$3
  if ! [ -e "$present" ] && ! command -v "$present" >/dev/null; then
    missing+=("$package")
    echo "== will apt-get install $package: $why"
  fi
}
need libgtest-dev /usr/include/gtest/gtest.h "GoogleTest, for the C++ tests"
need chromium chromium "a headless browser, for the pages' tests"
need chromium-driver chromedriver "its driver, through which the tests work the pages"
need ccache ccache "a compiler cache, so that the builds below reuse each other's objects"
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
echo "== will pip install the package with its extras test (pytest, the checkers, selenium), ray"
echo "   (a local Ray instance), train (JAX, optax, matplotlib), infer (ONNX Runtime), examples"
echo "   (skrl and flax, for the examples' training scripts), and mctx (the Gumbel root's outside"
echo "   oracle)"
python -m pip install -q -Ccmake.define.KRODAN_WERROR="$werror" '.[test,ray,train,infer,examples]'
python -m pip install -q 'mctx>=0.0.5'
python -m pytest -q tests/python
