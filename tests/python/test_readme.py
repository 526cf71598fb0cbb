"""Every Python snippet of the README runs, each as a script of its own."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"
SNIPPETS = re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.DOTALL)


def test_the_readme_has_snippets():
    assert len(SNIPPETS) >= 4


@pytest.mark.parametrize("index", range(len(SNIPPETS)))
def test_snippet_runs(index, tmp_path):
    pytest.importorskip("numpy")
    pytest.importorskip("pettingzoo")
    script = tmp_path / f"snippet_{index}.py"
    script.write_text(SNIPPETS[index])
    result = subprocess.run(
        [sys.executable, "-W", "error::DeprecationWarning", str(script)],
        cwd=tmp_path, capture_output=True, text=True, timeout=120, check=False,
    )  # fmt: skip
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip(), "each snippet prints its result"
