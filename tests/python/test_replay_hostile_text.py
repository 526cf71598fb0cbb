"""Text from a record (players' names, a game's title) that HTML or JavaScript would read as
markup: the replay page holds it as data, shows it as text, and still steps through the game."""

import json
import re

import pytest
from conftest import random_positions
from test_replay import READ_PAGE, browser  # noqa: F401 (the fixture)

from krodan_rl import replay

# Each would end, or comment out, the script element holding the page's data were it written
# there as it is; the last two end a line in older JavaScript.
NAMES = [
    "<!--<script>",
    "</script><script>document.title='ran'</script>",
    "a & b <b>bold</b>",
    "line\u2028separator\u2029",
]
TITLE = "</title><!--<script>"


def hostile_page(tmp_path):
    page = tmp_path / "game.html"
    replay.write_page(page, [replay.from_states(random_positions(3), NAMES, TITLE)], TITLE)
    return page


def test_the_data_holds_no_markup_and_reads_back_whole(tmp_path):
    text = hostile_page(tmp_path).read_text()
    start = text.index('<script type="application/json" id="replay-data">')
    inline = text[text.index(">", start) + 1 : text.index("</script>", start)]
    assert not re.search("[<>&\u2028\u2029]", inline)
    game = json.loads(inline)["games"][0]
    assert (game["names"], game["title"]) == (NAMES, TITLE)


@pytest.mark.browser
def test_the_page_shows_hostile_names_as_text_and_still_steps(browser, tmp_path):  # noqa: F811
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys

    browser.get(hostile_page(tmp_path).as_uri())
    start = browser.execute_script(READ_PAGE)
    assert start["names"] == NAMES and start["frame"] == 0
    assert browser.title == TITLE  # no script of the names ran
    assert browser.find_element(By.ID, "title").text == TITLE
    assert not browser.find_elements(By.CSS_SELECTOR, ".name b")
    browser.find_element(By.TAG_NAME, "body").send_keys(Keys.ARROW_RIGHT)
    after = browser.execute_script(READ_PAGE)
    assert after["frame"] == 1 and after["owners"] != start["owners"]
    browser.find_element(By.ID, "last").click()
    assert browser.execute_script(READ_PAGE)["owners"].count(".") < 400 - 100
