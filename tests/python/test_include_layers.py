"""The layer checker of the C++ folders (scripts/check_layers.py): the sources as they are
pass, a copy with an include down the layers too, and one with an include planted against the
order fails, naming the line."""

import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
CHECKER = ROOT / "scripts" / "check_layers.py"


def check(root: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, str(CHECKER), str(root)], capture_output=True, text=True, check=False
    )


def copy_of_sources(tmp_path: Path) -> Path:
    shutil.copytree(ROOT / "src", tmp_path / "src", ignore=shutil.ignore_patterns("*.py*"))
    return tmp_path


def plant(path: Path, line: str) -> int:
    """Adds `line` after the first include of `path`; its line number."""
    lines = path.read_text().splitlines()
    at = next(k for k, text in enumerate(lines) if text.startswith("#include")) + 1
    lines.insert(at, line)
    path.write_text("\n".join(lines) + "\n")
    return at + 1


def test_the_sources_keep_their_layers():
    result = check(ROOT)
    assert result.returncode == 0, result.stdout
    assert result.stdout == ""


def test_a_planted_upward_include_fails_and_downward_ones_pass(tmp_path):
    root = copy_of_sources(tmp_path)
    plant(root / "src" / "agents" / "agent.cpp", '#include "random/generator.hpp"')
    assert check(root).returncode == 0
    line = plant(root / "src" / "search" / "tree.hpp", '#include "agents/policies.hpp"')
    result = check(root)
    assert result.returncode == 1
    assert f"src/search/tree.hpp:{line}: search includes agents/, a layer above" in result.stdout
