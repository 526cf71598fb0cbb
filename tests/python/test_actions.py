"""The action tables against the engine: in seeded random games, every placement covers on the
board exactly the cells the table gives for its action and its agent's frame; the table's
counts; and the module's example, run as written."""

import doctest

from krodan_rl import PyKrodan, actions
from krodan_rl.agents import RandomAgent
from krodan_rl.render import owners


def test_every_placement_covers_the_cells_the_table_gives():
    t = actions.table()
    checked = 0
    for seed in range(6):
        game, agent = PyKrodan(), RandomAgent(seed)
        while not game.is_over:
            mover, action = game.agent_selection, agent.act(game)
            before = owners(game)
            game.step(action)
            if action is None:
                continue
            placed = {
                (i // 20, i % 20)
                for i, (a, b) in enumerate(zip(before, owners(game), strict=True))
                if a != b
            }
            assert placed == {tuple(cell) for cell in t.on_board(mover, action).tolist()}
            assert t.fits[action] and len(placed) == t.size[action]
            checked += 1
    assert checked > 300


def test_the_tables_counts_and_frames():
    t = actions.table()
    assert int(t.fits.sum()) == 30433 and (t.size[~t.fits] == 0).all()
    sizes = {name: t.size[t.fits & (t.piece == k)][0] for k, name in enumerate(t.piece_names)}
    assert sizes["I1"] == 1 and sum(sizes.values()) == 89  # the 21 pieces' cells
    for agent in range(4):  # each frame a permutation of the board's cells
        board = t.frame_to_board[agent].reshape(-1, 2)
        assert len({tuple(c) for c in board.tolist()}) == 400
    assert (t.cells[t.fits][:, 0] >= 0).all() and (t.cells[~t.fits] == -1).all()


def test_the_modules_example_runs_as_written():
    failed, tried = doctest.testmod(actions, raise_on_error=False)
    assert tried >= 2 and failed == 0
