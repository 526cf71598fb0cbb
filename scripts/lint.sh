#!/usr/bin/env bash
# Formatting and lint, enforced: clang-format over the C++ and ruff over the Python, at the
# exact versions of the `lint` extra (installed where missing or different); the layers of the
# C++ folders, whose includes point down only; and the Python package's import layers
# (import-linter, contracts in pyproject.toml).
set -euo pipefail
cd "$(dirname "$0")/.."
pins=$(python -c 'import tomllib; print(" ".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["lint"]))')
python -m pip install -q --disable-pip-version-check $pins 2>&1 | grep -v "as the 'root' user" || true
echo "== clang-format"
git ls-files '*.cpp' '*.hpp' | xargs clang-format --dry-run -Werror
echo "== ruff"
ruff check .
ruff format --check .
echo "== C++ folder layers"
python scripts/check_layers.py
echo "== Python import layers"
# The contracts are read from the sources: the package need not be installed.
PYTHONPATH=src lint-imports --no-cache
