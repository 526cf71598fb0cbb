"""The package's import contracts (``[tool.importlinter]`` in pyproject.toml) hold, and catch
what they are for: an import cycle planted in a copy of the package breaks them. No module
imports another module's private names."""

import ast
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("importlinter")

ROOT = Path(__file__).resolve().parents[2]
PACKAGE = ROOT / "src" / "krodan_rl"
# The extension modules, whose names begin with an underscore but are the package's own API.
EXTENSIONS = {"_krodan", "_native"}


def lint_imports(source_root: Path) -> subprocess.CompletedProcess[str]:
    """lint-imports over the package found under ``source_root``, with the project's
    contracts."""
    # An editable install's finder would answer for the package ahead of PYTHONPATH: it goes.
    command = (
        "import sys; sys.meta_path[:] = [f for f in sys.meta_path "
        "if not type(f).__module__.startswith('_editable')]; "
        "from importlinter.cli import lint_imports_command; lint_imports_command()"
    )
    return subprocess.run(
        [sys.executable, "-c", command, str(ROOT / "pyproject.toml"), "--no-cache"],
        capture_output=True, text=True, check=False, timeout=300, cwd=source_root,
        env={"PYTHONPATH": str(source_root), "PATH": "/usr/bin:/bin"},
    )  # fmt: skip


def test_the_package_keeps_its_contracts():
    result = lint_imports(PACKAGE.parent)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "0 broken" in result.stdout


@pytest.mark.parametrize(
    ("module", "planted", "contract"),
    [
        # The agents module importing the registry that builds agents: a cycle between layers.
        ("agents.py", "from krodan_rl import players", "Package layers"),
        # Self-play's config importing its driver, which imports it.
        ("selfplay/config.py", "from krodan_rl.selfplay import driver", "Self-play's parts"),
        # The backends importing each other.
        ("selfplay/backends/local.py", "from krodan_rl.selfplay.backends import ray",
         "Self-play backends"),
    ],
)  # fmt: skip
def test_a_planted_cycle_breaks_the_contracts(tmp_path, module, planted, contract):
    copy = tmp_path / "krodan_rl"
    shutil.copytree(PACKAGE, copy, ignore=shutil.ignore_patterns("__pycache__"))
    target = copy / module
    text = target.read_text()
    anchor = "from __future__ import annotations\n"
    target.write_text(text.replace(anchor, f"{anchor}\n{planted}  # planted\n", 1))
    result = lint_imports(tmp_path)
    assert result.returncode != 0
    assert f"{contract}" in result.stdout and "BROKEN" in result.stdout


def private_imports(path: Path) -> list[str]:
    """``from krodan_rl.x import _name`` lines of a module, where _name is not a module."""
    found = []
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.ImportFrom) and (node.module or "").startswith("krodan_rl"):
            for alias in node.names:
                if alias.name.startswith("_") and alias.name not in EXTENSIONS:
                    found.append(f"{path.relative_to(PACKAGE)}:{node.lineno} {alias.name}")
    return found


def test_no_module_imports_another_modules_private_names():
    found = [line for path in sorted(PACKAGE.rglob("*.py")) for line in private_imports(path)]
    assert found == []


def test_the_public_surface_is_named_and_every_public_module_says_what_it_exports():
    """The root's docstring names every public module; each gives its ``__all__``."""
    import krodan_rl

    public = {
        path.stem if path.is_file() else path.name
        for path in PACKAGE.iterdir()
        if not path.name.startswith("_")
        and (path.suffix == ".py" or (path / "__init__.py").is_file())
    }
    named = set(re.findall(r"``([a-z_]+)``", krodan_rl.__doc__ or ""))
    assert public <= named, public - named
    missing = [
        str(path.relative_to(PACKAGE))
        for path in sorted(PACKAGE.rglob("*.py"))
        if not any(part.startswith("_") for part in path.relative_to(PACKAGE).parts[:-1])
        and not path.name.startswith("_")
        and not re.search(r"^__all__", path.read_text(), re.M)
    ]
    assert missing == []
