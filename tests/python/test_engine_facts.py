"""The engine's facts live in ``krodan_rl.facts`` only: no module keeps a copy of one (a literal
36400, a module-level name or a ``reshape`` argument equal to a fact) or reads them elsewhere
from the native module; and the check finds a copy planted in a module."""

import ast
import os
import subprocess
import sys
from pathlib import Path

import pytest

from krodan_rl import facts
from krodan_rl._krodan import PyKrodan

PACKAGE = Path(__file__).resolve().parents[2] / "src" / "krodan_rl"
# Every fact a copy could restate; 36400 is refused wherever it appears.
FACT_VALUES = {
    value
    for name in facts.__all__
    if isinstance(value := getattr(facts, name), int) and not name.startswith("MAX_")
}
# Module-level names whose value equals a fact by coincidence, not by copying it.
# (The largest piece's five cells are not the five classes of a cell's final owner.)
COINCIDENCES = {("nn/checkpoint.py", "OPTIMIZER_FACTOR"), ("actions.py", "MAX_CELLS")}
NATIVE_FACTS = {name for name in facts.__all__ if name.isupper()} | {"OBSERVATION_SHAPE"}


def _int_value(node: ast.expr) -> int | None:
    """The value of an expression of int literals and arithmetic, else None."""
    if not all(isinstance(n, (ast.Constant, ast.BinOp, ast.operator)) for n in ast.walk(node)):
        return None
    value = eval(compile(ast.Expression(node), "<fact>", "eval"), {"__builtins__": {}})
    return value if type(value) is int else None


def copies(source: str, where: str) -> list[str]:
    """Where ``source`` restates an engine fact, as ``where:line: what``."""
    tree = ast.parse(source)
    found: list[str] = []
    for node in tree.body:
        if isinstance(node, (ast.Assign, ast.AnnAssign)) and node.value is not None:
            value = _int_value(node.value)
            targets = node.targets if isinstance(node, ast.Assign) else [node.target]
            names = [t.id for t in targets if isinstance(t, ast.Name)]
            if value in FACT_VALUES and not {(where, n) for n in names} & COINCIDENCES:
                found.append(f"{where}:{node.lineno}: {', '.join(names)} = {value}")
    for node in ast.walk(tree):
        if isinstance(node, ast.Constant) and node.value == facts.NUM_ACTIONS:
            found.append(f"{where}:{node.lineno}: the literal {node.value}")
        if isinstance(node, ast.Call) and getattr(node.func, "attr", None) == "reshape":
            for argument in node.args:
                value = _int_value(argument)
                if value in FACT_VALUES:
                    found.append(f"{where}:{node.lineno}: reshape by {value}")
        if (
            isinstance(node, ast.Attribute)
            and isinstance(node.value, ast.Name)
            and (node.value.id, node.attr)
            in {("_native", n) for n in NATIVE_FACTS}
            | {("PyKrodan", "num_actions"), ("PyKrodan", "num_agents")}
        ):
            found.append(f"{where}:{node.lineno}: {node.value.id}.{node.attr}")
    return found


def test_no_module_keeps_a_copy_of_an_engine_fact():
    found = [
        copy
        for path in sorted(PACKAGE.rglob("*.py"))
        if path.name != "facts.py"
        for copy in copies(path.read_text(), path.relative_to(PACKAGE).as_posix())
    ]
    assert found == []


@pytest.mark.parametrize(
    ("planted", "seen"),
    [
        ("NUM_ACTIONS = 36400\n", "NUM_ACTIONS = 36400"),
        ("def f(x):\n    return x % 36400\n", "the literal 36400"),
        ("PLANES = 12\n", "PLANES = 12"),
        ("EXTRAS: int = 4 * 21 + 4\n", "EXTRAS = 88"),
        ("def f(x):\n    return x.reshape(-1, 12, 20, 20)\n", "reshape by 12"),
        ("from krodan_rl import _native\nN = _native.NUM_ACTIONS\n", "_native.NUM_ACTIONS"),
    ],
)
def test_a_planted_copy_is_found(planted, seen):
    source = (PACKAGE / "outcomes.py").read_text() + "\n" + planted
    found = copies(source, "outcomes.py")
    assert found and all(seen in copy for copy in found[:1]), found


def test_the_facts_agree_with_the_game_class():
    assert PyKrodan.num_actions == facts.NUM_ACTIONS
    assert facts.NUM_ORIENTATIONS * facts.BOARD_CELLS == facts.NUM_ACTIONS
    game = PyKrodan()
    view = game.observe(0)
    planes = len(view.observation + view.corners + view.blocked) // facts.BOARD_CELLS
    assert planes == facts.PLANES
    assert len(view.pieces) + len(view.done) == facts.EXTRAS


def test_one_core_count_under_an_affinity_limit():
    """Pinned to one core, the package and the native pools alike count one core."""
    if not hasattr(os, "sched_setaffinity"):
        pytest.skip("no CPU affinity on this platform")
    script = (
        "import os; os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})\n"
        "from krodan_rl import _native, facts\n"
        "batch = _native.GameBatch(num_games=4, num_threads=0, reward_mode='win_share', "
        "auto_reset=False, dense_mask=False, observations=False, seed=0)\n"
        "print(facts.cores(), batch.num_threads)"
    )
    found = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                           check=True, timeout=60)  # fmt: skip
    assert found.stdout.split() == ["1", "1"]


def test_no_native_call_passes_more_than_three_arguments_by_position():
    """Calls into the native module name their arguments beyond the third."""
    found = [
        f"{path.relative_to(PACKAGE)}:{node.lineno}"
        for path in sorted(PACKAGE.rglob("*.py"))
        for node in ast.walk(ast.parse(path.read_text()))
        if isinstance(node, ast.Call)
        and isinstance(node.func, ast.Attribute)
        and isinstance(node.func.value, ast.Name)
        and node.func.value.id == "_native"
        and len(node.args) > 3
    ]
    assert found == []
