"""The play page in a headless browser: a whole game played by clicking as a person does
(a piece from the hand, turned and flipped by buttons and keys, placed on a highlighted cell),
each highlight checked against the engine's legal list, an illegal click refused on the page,
undo, and the final position and the saved record checked against the engine's game."""

import json
from pathlib import Path

import numpy as np
import pytest
from play_server import engine_legal, replayed, running
from test_replay import browser  # noqa: F401 (the fixture)

from krodan_rl.playing import PlaySession

SEAT = 1  # a seat whose frame is turned from the board's
ROOT = Path(__file__).resolve().parents[2]

READ_PAGE = """
const read = (selector) => [...document.querySelectorAll(selector)]
  .map((c) => +c.dataset.index).sort((a, b) => a - b);
return {
  turn: document.body.dataset.turn,
  placements: +document.body.dataset.placements,
  owners: [...document.querySelectorAll('#board rect.cell')]
    .sort((a, b) => a.dataset.index - b.dataset.index)
    .map((c) => c.dataset.owner === '' ? '.' : c.dataset.owner).join(''),
  anchors: read('#board rect.cell.anchor'),
  shadow: read('#shadow rect'),
  fits: document.getElementById('shadow').getAttribute('class'),
  shape: document.getElementById('selected').dataset.shape,
  message: document.getElementById('message').textContent,
  winner: document.getElementById('winner').textContent,
  scores: [...document.querySelectorAll('.agent .score')].map((s) => +s.textContent),
};
"""
SETTLED = "return document.body.dataset.turn !== 'others' && document.body.dataset.busy === 'false'"
# Turns and flips that pass through all eight orientations, by button and by key.
ORIENTING = [("button", "turn-right"), ("key", "r"), ("button", "turn-right"), ("key", "f"),
             ("key", "e"), ("button", "turn-left"), ("key", "e")]  # fmt: skip


def shape_key(cells: list[int]) -> str:
    """A placement's shape as the page writes it: its cells moved to the corner, in order."""
    rows, cols = [c // 20 for c in cells], [c % 20 for c in cells]
    moved = sorted((r - min(rows), c - min(cols)) for r, c in zip(rows, cols, strict=True))
    return ";".join(f"{r},{c}" for r, c in moved)


class Person:
    """Plays the page through its DOM, as a person would with a mouse and keys."""

    def __init__(self, driver, session):
        from selenium.webdriver.common.by import By
        from selenium.webdriver.support.ui import WebDriverWait

        self.browser, self.session, self.by = driver, session, By
        self.wait = WebDriverWait(driver, 60)

    def settled(self):
        self.wait.until(lambda d: d.execute_script(SETTLED))
        return self.browser.execute_script(READ_PAGE)

    def element(self, selector):
        return self.browser.find_element(self.by.CSS_SELECTOR, selector)

    def cell(self, index):
        return self.element(f'#board rect.cell[data-index="{index}"]')

    def hover(self, index):
        from selenium.webdriver import ActionChains

        ActionChains(self.browser).move_to_element(self.cell(index)).perform()
        return self.browser.execute_script(READ_PAGE)

    def hold(self, piece, cells):
        """Takes ``piece`` from the hand and turns it until it lies as ``cells`` do."""
        self.element(f'#choices .piece[data-piece="{piece}"]').click()
        body = self.element("body")
        for kind, name in ORIENTING:
            if self.browser.execute_script(READ_PAGE)["shape"] == shape_key(cells):
                return
            if kind == "key":
                body.send_keys(name)
            else:
                self.element(f"#{name}").click()
        assert self.browser.execute_script(READ_PAGE)["shape"] == shape_key(cells)


def refuse_a_click(person, piece, seen):
    """A click on an empty cell where the piece does not fit: shown refused, nothing played."""
    empty = [i for i, o in enumerate(seen["owners"]) if o == "." and i not in seen["anchors"]]
    hovered = person.hover(empty[len(empty) // 2])
    assert hovered["fits"] == "blocked" and hovered["shadow"]
    person.cell(empty[len(empty) // 2]).click()
    after = person.browser.execute_script(READ_PAGE)
    assert f"{piece} cannot go there" in after["message"]
    assert (after["owners"], after["placements"], after["turn"]) == (
        seen["owners"],
        seen["placements"],
        "you",
    )


@pytest.mark.browser
def test_a_game_clicked_through_the_page_is_the_engines(browser, tmp_path):  # noqa: F811
    session = PlaySession(["greedy", "random", "greedy"], seat=SEAT, seed=2)
    rng = np.random.default_rng(7)
    save = tmp_path / "played.json"
    with running(session, save) as server:
        browser.get(server.url)
        person = Person(browser, session)
        seen, chosen, turns = person.settled(), [], 0
        while seen["turn"] == "you":
            legal = engine_legal(session.game, SEAT)  # settled: the server waits for the person
            action = int(rng.choice(sorted(legal)))
            piece, cells = legal[action]
            person.hold(piece, cells)
            seen = browser.execute_script(READ_PAGE)
            assert seen["anchors"] == sorted(
                c[0] for p, c in legal.values() if p == piece and shape_key(c) == shape_key(cells)
            )
            if turns == 0:
                refuse_a_click(person, session.game.piece_names[piece], seen)
            hovered = person.hover(cells[0])
            assert (hovered["shadow"], hovered["fits"]) == (cells, "fits")
            person.cell(cells[0]).click()
            after = person.settled()
            assert all(after["owners"][c] == str(SEAT) for c in cells)
            turns += 1
            if turns == 3:  # undo: back to the position before the placement, the piece in hand
                person.element("#undo").click()
                after = person.settled()
                assert (after["owners"], after["placements"]) == (
                    seen["owners"],
                    seen["placements"],
                )
                assert person.element(f'#choices .piece[data-piece="{piece}"]')
            else:
                chosen.append(action)
            seen = after
        assert seen["turn"] == "over" and session.game.is_over
        person.element("#save").click()
        saved = person.settled()
        browser.save_screenshot(str(artefacts() / "play.png"))
    assert f"Saved {seen['placements']} placements to {save}" in saved["message"]
    placements = json.loads(save.read_text())["placements"][0]
    final = replayed(placements)
    assert final.to_bytes() == session.game.to_bytes()
    owners = "".join("." if o is None else str(o) for o in _owners(final))
    assert (seen["owners"], seen["scores"]) == (owners, final.scores)
    assert [
        a for a, p in zip(placements, session.placements, strict=True) if p.mover == SEAT
    ] == chosen
    top = max(final.scores)
    assert seen["winner"].startswith("Winner" if final.scores.count(top) == 1 else "A tie")
    assert f" {top}" in seen["winner"]


def _owners(game):
    from krodan_rl.render import owners

    return owners(game)


def artefacts():
    folder = ROOT / "build" / "artefacts"
    folder.mkdir(parents=True, exist_ok=True)
    return folder
