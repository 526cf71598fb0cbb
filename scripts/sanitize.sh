#!/usr/bin/env bash
# Builds the engine, the C++ tests and the extension with AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs the C++ tests and the whole Python test suite under them.
# The interpreter is not instrumented: the ASan runtime is preloaded into it, Python's own
# allocator is switched to malloc so that ASan sees every block, and leak reports that belong to
# the interpreter are suppressed (scripts/lsan.supp). Then the C++ tests run again under
# ThreadSanitizer. Any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/asan
werror=OFF
if [ "${CI:-}" = true ]; then werror=ON; fi
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKRODAN_SANITIZE=address,undefined \
  -DKRODAN_BUILD_TESTS=ON -DKRODAN_BUILD_EXTENSION=ON -DKRODAN_WERROR="$werror" >/dev/null
cmake --build "$build" -j 2

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:halt_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
export PYTHONMALLOC=malloc
export KRODAN_UNDER_SANITIZER=1

echo "== C++ tests under ASan and UBSan"
ctest --test-dir "$build" --output-on-failure -j 2

echo "== Python tests under ASan and UBSan"
package="$build/package"
rm -rf "$package" && mkdir -p "$package"
cp -r src/krodan_rl "$package/"  # the package with its subpackages
find "$package" -name __pycache__ -prune -exec rm -rf {} +
cp "$build"/_*.so "$package/krodan_rl/"  # every extension module
# The interpreter itself, not a wrapper script that would run under the preloaded runtime too.
# libstdc++ is preloaded with the runtime so that its exception interceptor finds __cxa_throw.
python=$(python -c 'import sys; print(sys.executable)')
# The typing checks run mypy, not the engine; they are left to the ordinary test run.
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" PYTHONPATH="$PWD/$package" \
  "$python" -m pytest -q -p no:cacheprovider -m "not ray and not jax and not browser and not gymnasium and not examples" tests/python --deselect tests/python/test_typing.py

echo "== C++ tests under ThreadSanitizer (the borrow flag, the one-time table build, the batch and its worker pool)"
tsan=build/tsan
cmake -S . -B "$tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKRODAN_SANITIZE=thread \
  -DKRODAN_BUILD_TESTS=ON -DKRODAN_WERROR="$werror" >/dev/null
cmake --build "$tsan" -j 2
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" \
  ctest --test-dir "$tsan" --output-on-failure -j 2
