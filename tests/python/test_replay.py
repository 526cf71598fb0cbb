"""Games to watch: the arena's record of its games, and the replay page driven in a real
headless browser, compared position by position with the positions a dataset stores."""

import os
import shutil
from pathlib import Path

import numpy as np
import pytest

from krodan_rl import arena, replay, selfplay
from krodan_rl._krodan import PyKrodan
from krodan_rl.arena.cli import write_json

ROOT = Path(__file__).resolve().parents[2]


def finished_by(placements: list[int]) -> PyKrodan:
    """The game the placements make, with the passes of done movers played."""
    game = PyKrodan()
    for action in placements:
        while game.terminations[game.agent_selection]:
            game.step(None)
        game.step(action)
    while not game.is_over:
        game.step(None)
    return game


class Recorder:
    """A plain act player that takes the first legal action, to send the arena through its
    games played side by side in Python."""

    stateless = True

    def act(self, game):
        return bytes(game.observe(game.agent_selection).action_mask).index(1)


@pytest.mark.parametrize(
    "entries",
    [["greedy", "random", "mcts:8", "random"], ["greedy", Recorder(), "random", "greedy"]],
    ids=["native", "side-by-side"],
)
def test_recorded_games_are_the_games_played_and_replay_to_their_scores(entries, tmp_path):
    plain = arena.run(entries, 8, seed=5, workers=1, progress=False)
    recorded = arena.run(entries, 8, seed=5, workers=1, progress=False, record=True)
    assert plain.placements is None
    assert np.array_equal(plain.scores, recorded.scores)
    for g in range(8):
        assert finished_by(recorded.game_placements(g)).scores == recorded.scores[g].tolist()
    if all(isinstance(e, str) for e in entries):  # another worker count, the same games
        again = arena.run(entries, 8, seed=5, workers=2, progress=False, record=True)
        assert np.array_equal(again.placements, recorded.placements)

    path = tmp_path / "record.json"
    write_json(path, recorded)
    shown = replay.from_arena(path, 3)
    assert shown.names == [recorded.specs[e] for e in recorded.seats[3]]
    assert shown.frames[-1].scores == recorded.scores[3].tolist()
    assert len(shown.frames) == len(recorded.game_placements(3)) + 1


def stored_game(run: Path, game_id: int) -> tuple[list[bytes], list[int], list[str]]:
    """A dataset's positions of one game (each before a placement), its final scores and its
    players, read straight from its Parquet files."""
    import pyarrow.parquet as pq

    turns = pq.read_table(run / "turns" / "shard-000000.parquet").to_pylist()
    games = pq.read_table(run / "games" / "shard-000000.parquet").to_pylist()
    mine = sorted((r for r in turns if r["game_id"] == game_id), key=lambda r: r["ply"])
    (meta,) = (g for g in games if g["game_id"] == game_id)
    return [r["state"] for r in mine], meta["final_scores"], meta["players"]


def engine_view(state: bytes) -> tuple[str, list[int], list[list[int]]]:
    """Who covers each cell (from the observation planes), the scores and each agent's pieces
    held, as the engine reads the position."""
    game = PyKrodan.from_bytes(state)
    seen = game.observe(0)  # agent 0's view: the agents in board order
    planes = np.frombuffer(seen.observation, np.uint8).reshape(4, 400)
    owners = "".join(str(int(np.argmax(cell))) if cell.any() else "." for cell in planes.T)
    pieces = np.frombuffer(seen.pieces, np.uint8).reshape(4, -1)
    return owners, game.scores, [np.flatnonzero(p).tolist() for p in pieces]


READ_PAGE = """
const panels = [...document.querySelectorAll('.agent')];
return {
  frame: +document.body.dataset.frame,
  owners: [...document.querySelectorAll('#board rect.cell')]
    .sort((a, b) => a.dataset.index - b.dataset.index)
    .map((c) => c.dataset.owner || '.').join(''),
  scores: panels.map((p) => +p.querySelector('.score').textContent),
  left: panels.map((p) => +p.querySelector('.left').dataset.count),
  leftText: panels.map((p) => p.querySelector('.left').textContent),
  counter: document.getElementById('counter').textContent,
  winner: document.getElementById('winner').textContent,
  held: panels.map((p) => [...p.querySelectorAll('.piece.held')].map((c) => +c.dataset.piece)),
  names: panels.map((p) => p.querySelector('.name').textContent),
};
"""


COLOUR_NAMES = ["blue", "yellow", "red", "green"]


def label(names: list[str], agent: int) -> str:
    """How the page names an agent in text: with its seat where another has the same name."""
    if names.count(names[agent]) == 1:
        return names[agent]
    return f"{names[agent]} (seat {agent}, {COLOUR_NAMES[agent]})"


def winner_line(names: list[str], scores: list[int]) -> str:
    top = max(scores)
    first = [label(names, a) for a in range(4) if scores[a] == top]
    if len(first) == 1:
        return f"Winner: {first[0]} with {top}"
    return f"A tie for first at {top}: {', '.join(first[:-1])} and {first[-1]}"


@pytest.fixture
def browser():
    chromium, driver = shutil.which("chromium"), shutil.which("chromedriver")
    if chromium is None or driver is None:
        if os.environ.get("CI") == "true":
            pytest.fail("the test command installs chromium and chromedriver")
        pytest.skip("needs chromium and chromedriver (Debian: chromium chromium-driver)")
    webdriver = pytest.importorskip("selenium.webdriver")
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1000,800"):
        options.add_argument(flag)
    session = webdriver.Chrome(options=options, service=Service(driver))
    try:
        yield session
    finally:
        session.quit()


@pytest.mark.browser
def test_the_page_shows_for_every_placement_the_position_the_engine_has(browser, tmp_path):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import Select

    run = tmp_path / "run"
    selfplay.generate(2, ["greedy", "random", "mcts:4", "greedy"], run, workers=1, seed=11)
    states, final_scores, names = stored_game(run, 1)
    page = tmp_path / "game.html"
    replay.write_page(page, [replay.from_dataset(run, 0), replay.from_dataset(run, 1)])
    # Offline: the page holds everything it draws.
    assert "http" not in page.read_text().replace("http://www.w3.org/2000/svg", "")

    browser.get(page.as_uri())
    Select(browser.find_element(By.ID, "game")).select_by_index(1)  # the second game
    body = browser.find_element(By.TAG_NAME, "body")
    expected = [engine_view(s) for s in states[1:]]  # each after the placement before it
    seen = browser.execute_script(READ_PAGE)
    assert seen["frame"] == 0 and seen["names"] == names
    assert seen["owners"] == "." * 400 and seen["left"] == [21] * 4
    for k in range(1, len(states) + 1):
        body.send_keys(Keys.ARROW_RIGHT)
        seen = browser.execute_script(READ_PAGE)
        assert seen["frame"] == k
        assert browser.current_url.endswith(f"#game=2&placement={k}")  # a link to the position
        if k < len(states):
            owners, scores, held = expected[k - 1]
            assert (seen["owners"], seen["scores"], seen["held"]) == (owners, scores, held), k
            assert seen["left"] == [len(h) for h in held]
            assert seen["winner"] == ""  # not before the end
        if k < len(states):
            before = expected[k - 2][0] if k > 1 else "." * 400
            (mover,) = {int(o) for o, b in zip(seen["owners"], before, strict=True) if o != b}
            assert seen["counter"] == f"placement {k} of {len(states)}: {label(names, mover)}"
        assert seen["leftText"] == [
            f"{n} piece{'' if n == 1 else 's'} in hand" for n in seen["left"]
        ]
    assert seen["scores"] == final_scores
    assert seen["winner"] == winner_line(names, final_scores)
    assert names.count("greedy") == 2  # told apart in text, not by their colour alone
    assert browser.execute_script("return [plural(1, 'piece'), plural(2, 'piece')]") == [
        "1 piece",
        "2 pieces",
    ]
    body.send_keys(Keys.ARROW_RIGHT)  # past the end: it stays
    assert browser.execute_script(READ_PAGE)["frame"] == len(states)
    browser.find_element(By.ID, "first").click()
    assert browser.execute_script(READ_PAGE)["owners"] == "." * 400
    for _ in range(len(states) // 2):
        browser.find_element(By.ID, "next").click()
    body.send_keys(Keys.ARROW_LEFT)
    middle = browser.execute_script(READ_PAGE)
    assert middle["frame"] == len(states) // 2 - 1
    assert middle["owners"] == expected[len(states) // 2 - 2][0]
    # A link opens at its position, and following another moves the page there.
    browser.get(f"{page.as_uri()}#game=2&placement=5")
    linked = browser.execute_script(READ_PAGE)
    assert (linked["frame"], linked["owners"]) == (5, expected[4][0])
    browser.execute_script("location.hash = '#game=2&placement=7'")
    assert browser.execute_script(READ_PAGE)["owners"] == expected[6][0]

    artefacts = ROOT / "build" / "artefacts"
    artefacts.mkdir(parents=True, exist_ok=True)
    assert browser.save_screenshot(str(artefacts / "replay.png"))
