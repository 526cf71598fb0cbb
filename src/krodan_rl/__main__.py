"""Demo: a game among seeded random agents."""

import sys


def main() -> int:
    print("krodan_rl: the game class arrives with the host binding; nothing to play yet.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
