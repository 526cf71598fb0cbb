#!/usr/bin/env bash
# The package on the other CPython versions the machine has (3.12 and 3.13 beside the default
# 3.11, through pyenv): each builds the package into a fresh virtual environment and runs the
# whole Python suite. Then the wheel test, on the default interpreter: build a wheel, install
# it into a fresh virtual environment and play a game. A version the machine lacks is said and
# skipped. These runs force the hot loops' baseline instruction set, which the main run skips on
# a processor with more, so they build only that one.
set -euo pipefail
cd "$(dirname "$0")/.."
werror=OFF
if [ "${CI:-}" = true ]; then werror=ON; fi
root=build/interpreters
mkdir -p "$root"

for version in 3.12 3.13; do
  python=""
  if command -v pyenv >/dev/null; then
    found=$(pyenv versions --bare 2>/dev/null | grep -E "^${version}\.[0-9]+$" | sort -V | tail -1 || true)
    if [ -n "$found" ]; then python="$(pyenv root)/versions/$found/bin/python"; fi
  fi
  if [ -z "$python" ]; then
    echo "== CPython $version: not on this machine, skipped"
    continue
  fi
  echo "== Python tests on CPython $found"
  venv="$root/venv-$version"
  rm -rf "$venv"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check \
    -Ccmake.define.KRODAN_WERROR="$werror" -Ccmake.define.KRODAN_ISA_VARIANTS=OFF '.[test]'
  # Run from the tests folder, so that the installed package is imported, not the sources.
  KRODAN_RL_ISA=baseline "$venv/bin/python" -m pytest -q -p no:cacheprovider -m "not ray and not jax and not browser and not gymnasium and not examples" tests/python
done

echo "== wheel: build, install into a fresh virtual environment, play"
python -m pip install -q --disable-pip-version-check build
rm -rf "$root/dist" "$root/venv-wheel"
python -m build -q --wheel --outdir "$root/dist" . >/dev/null
python -m venv "$root/venv-wheel"
"$root/venv-wheel/bin/python" -m pip install -q --disable-pip-version-check "$root"/dist/*.whl
(cd "$root" && venv-wheel/bin/python -m krodan_rl --games 2 | tail -1)
(cd "$root" && venv-wheel/bin/python -c '
from krodan_rl import PyKrodan, VecKrodan
vec = VecKrodan(8, seed=1)
for _ in range(300):
    vec.step(vec.random_actions())
print("wheel plays:", vec.game(0).ply, "placements in game 0 of a batch")')
