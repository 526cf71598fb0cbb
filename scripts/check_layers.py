"""Fails on any C++ include under src/ that points up the layers: a folder may include its own
headers and those of the folders below it, never those above.

    python scripts/check_layers.py [ROOT]     ROOT: the project (default: this script's parent's)
"""

import re
import sys
from pathlib import Path

# Lowest first: the engine's random streams and rules, then many games at once, the searches,
# the built-in agents, and the bindings.
LAYERS = ("random", "game", "batch", "search", "agents", "python")

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/[^"]*"')
SOURCES = ("*.cpp", "*.hpp", "*.h")


def violations(root: Path) -> list[str]:
    """One line per include that goes against the order, or from or to an undeclared folder."""
    src = root / "src"
    rank = {name: k for k, name in enumerate(LAYERS)}
    found = []
    for pattern in SOURCES:
        for path in sorted(src.rglob(pattern)):
            where = path.relative_to(src)
            layer = where.parts[0] if len(where.parts) > 1 else None
            if layer not in rank:
                found.append(f"src/{where}: in no declared layer")
                continue
            for number, line in enumerate(path.read_text().splitlines(), start=1):
                match = INCLUDE.match(line)
                if match is None:
                    continue
                target = match.group(1)
                if target not in rank:
                    found.append(f"src/{where}:{number}: includes {target}/, no declared layer")
                elif rank[target] > rank[layer]:
                    found.append(f"src/{where}:{number}: {layer} includes {target}/, a layer above")
    return found


def main(argv: list[str]) -> int:
    root = Path(argv[1]) if len(argv) > 1 else Path(__file__).resolve().parents[1]
    found = violations(root)
    for line in found:
        print(line)
    if found:
        print(f"layers, lowest first: {' < '.join(LAYERS)}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
