"""tralix view, render and play: the page in a real headless browser (Debian's chromium
driven by Selenium), its board compared with the game's replay by the rules engine; pictures
compared the same way; bad input as one line and exit status 2."""

from __future__ import annotations

import gzip
import io
import json
import shutil
import time

import numpy as np
import pytest

import tralix_rules as tr
from tralix_harness.cli import main
from tralix_harness.viewer.games import FREE_COLOUR, SEAT_COLOURS, GameCollection, load_games
from tralix_harness.viewer.page import page as view_page
from tralix_harness.viewer.pieces import (
    NAMES,
    base_cells,
    flipped,
    normalised,
    shape_of,
    turned,
)
from tralix_harness.viewer.render import board_pixels

import rules_model
from support import training_game_lines, write_data_file

SIDE = 8


@pytest.fixture(scope="module")
def games_file(tmp_path_factory):
    return write_data_file(tmp_path_factory.mktemp("view") / "games.jsonl.gz",
                           training_game_lines(SIDE, 3, sims=8))


def piece_ends(history):
    """Where the pieces of a stored game end, by the rules engine."""
    return tr.piece_ends(SIDE, [tile for _, tile in history]).tolist()


def turn_ends(history):
    """Where the mover changes (or the game ends): the pieces' ends but where a player left
    alone lays one piece after another."""
    players = [p for p, _ in history]
    return [i + 1 for i in range(len(players))
            if i + 1 == len(players) or players[i + 1] != players[i]]


@pytest.fixture(scope="module")
def seeded_file(tmp_path_factory):
    """Random games of fixed seeds: game 0 has a player laying pieces alone, the turn not
    passing between them, and one winner; game 1 is a shared win."""
    import tralix_engine as te

    from support import Config

    found = {}
    for seed in range(1000):
        outcome, history = te.play_match(seed, Config(dim=SIDE), [None] * 4, None, seed=seed)
        history = [list(move) for move in history]
        shared = sorted(outcome)[-2] == max(outcome)
        kind = "shared" if shared else "alone" if piece_ends(history) != turn_ends(history) \
            else None
        if kind and kind not in found:
            found[kind] = json.dumps({"id": seed, "side": SIDE, "history": history,
                                      "records": [[[tile, None]] for _, tile in history],
                                      "outcome": outcome, "settings": {}})
        if len(found) == 2:
            break
    return write_data_file(tmp_path_factory.mktemp("seeded") / "seeded.jsonl.gz",
                           [found["alone"], found["shared"]])


def replayed_owners(history, laid):
    """The owner of each tile (0 free, seat + 1) after ``laid`` tiles, by the rules engine,
    which also checks that the history is a legal game."""
    game = tr.Game(SIDE)
    owners = [0] * (SIDE * SIDE)
    for player, tile in history[:laid]:
        assert game.current_player == player
        game.apply(tile)
        owners[tile] = player + 1
    return owners


def colour_of(owner):
    return SEAT_COLOURS[owner - 1] if owner else FREE_COLOUR


def close_to(pixel, colour, tolerance=4):
    return all(abs(a - b) <= tolerance for a, b in zip(pixel[:3], colour, strict=True))


def assert_board(image, owners, skip=(), side=SIDE, at=0.5):
    """Every cell of ``image`` (the board alone) has its owner's colour at its centre (``at``
    0.5), or nearer its top-left corner, clear of marks drawn over the centre."""
    cell = image.width / side
    wrong = [(t, image.getpixel((int((t % side + at) * cell), int((t // side + at) * cell))),
              owners[t]) for t in range(side * side) if t not in skip]
    wrong = [w for w in wrong if not close_to(w[1], colour_of(w[2]))]
    assert not wrong, f"cells drawn in the wrong colour (tile, pixel, owner): {wrong[:5]}"


def result_words(outcome, history, side, you=None):
    """The result as the pages put it, the seats placed by the Python rules model's scores:
    "seat 2 won with 71 tiles; you were second with 64", or "a tie: seats 1 and 2 shared the
    win with ..." and, without ``you``, every other seat's place."""
    scores = rules_model.replay(side, history).scores()
    laid = [sum(1 for p, _ in history if p == s) for s in range(4)]
    def name(s):
        return "you" if s == you else f"seat {s}"

    best = max(outcome)
    winners = [s for s in range(4) if outcome[s] > best - 1e-3]
    if len(winners) == 1:
        text = f"{name(winners[0])} won with {laid[winners[0]]} tiles"
    else:
        names = [name(s) for s in winners]
        text = (f"a tie: {', '.join(names[:-1])} and {names[-1]} shared the win with "
                f"{laid[winners[0]]} tiles each")
    others = sorted((s for s in range(4) if s not in winners), key=lambda s: -scores[s])
    places = []
    for s in others:
        if you is not None and s != you:
            continue
        place = ["first", "second", "third", "fourth"][sum(x > scores[s] for x in scores)]
        level = [name(o) for o in others if o != s and scores[o] == scores[s]]
        tied = (f" (tied with {', '.join(level[:-1])}{' and ' if len(level) > 1 else ''}"
                f"{level[-1]})" if level else "")
        places.append(f"{'you were' if s == you else name(s)} {place}{tied} with {laid[s]}")
    return text + ("; " + ", ".join(places) if places else "")


def hand_of_page(chrome, seat):
    """The catalogue ids a page draws in seat's hand in the seat's colour (held, not laid),
    read from the hand's canvas at each piece's first cell."""
    colours = chrome.execute_script(
        "const canvas = document.querySelector('#hand' + arguments[0] + ' canvas');"
        "const g = canvas.getContext('2d');"
        "return catalogue.map((piece, id) => {"
        "  const [x, y] = handOrigin(piece, id, HAND_CELL); const [r, c] = piece.cells[0];"
        "  return Array.from(g.getImageData(x + (c + 0.5) * HAND_CELL,"
        "                                   y + (r + 0.5) * HAND_CELL, 1, 1).data.slice(0, 3));"
        "});", seat)
    held = [p for p, pixel in enumerate(colours) if close_to(pixel, SEAT_COLOURS[seat])]
    laid = [p for p, pixel in enumerate(colours) if close_to(pixel, (222, 222, 222))]
    assert sorted(held + laid) == list(range(21)), colours
    return held


# ---------------------------------------------------------------------------------------
# The page in a browser
# ---------------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def browser():
    webdriver = pytest.importorskip("selenium.webdriver", reason="selenium is not installed")
    from selenium.webdriver.chrome.service import Service

    binary, driver = shutil.which("chromium"), shutil.which("chromedriver")
    if binary is None or driver is None:
        pytest.skip("Debian's chromium and chromium-driver are not installed")
    options = webdriver.ChromeOptions()
    options.binary_location = binary
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1280,900", "--force-device-scale-factor=1"):
        options.add_argument(argument)
    try:
        chrome = webdriver.Chrome(options=options, service=Service(driver))
    except Exception as error:  # a browser that cannot start here (no shared memory...)
        pytest.skip(f"the headless browser does not start: {error}")
    chrome.set_page_load_timeout(30)
    yield chrome
    chrome.quit()


def wait_for(check, seconds=15.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if value := check():
            return value
        time.sleep(0.05)
    raise AssertionError("the page did not get there in time")


def board_image(chrome):
    from PIL import Image

    return Image.open(io.BytesIO(chrome.find_element("id", "board").screenshot_as_png)
                      ).convert("RGB")


def open_page(chrome, path):
    chrome.get(path.resolve().as_uri())
    wait_for(lambda: chrome.execute_script("return document.body.dataset.ready"))


def laid_tiles(chrome):
    return int(chrome.find_element("id", "slider").get_attribute("value"))


def test_page_steps_through_a_game_and_draws_its_replay(browser, games_file, tmp_path):
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.keys import Keys

    page = tmp_path / "games.html"
    assert main(["view", str(games_file), "--output", str(page)]) == 0
    history = [json.loads(line)["history"] for line in gzip.open(games_file, "rt")][1]
    ends = piece_ends(history)
    open_page(browser, page)

    browser.find_element("css selector", "#games option[value='1']").click()
    browser.find_element("id", "heat").click()  # off: every cell in its owner's colour
    keys = ActionChains(browser)
    keys.send_keys(Keys.END).perform()
    assert laid_tiles(browser) == len(history)
    assert_board(board_image(browser), replayed_owners(history, len(history)))
    assert "over" in browser.find_element("id", "mover").text

    keys.key_down(Keys.SHIFT).send_keys(Keys.ARROW_LEFT).key_up(Keys.SHIFT).perform()
    assert laid_tiles(browser) == ends[-2]
    for button in ("prevTile", "prevTile", "prevPiece", "nextTile"):
        browser.find_element("id", button).click()
    before = [0, *ends]
    laid = max(e for e in before if e < ends[-2] - 2) + 1
    assert laid_tiles(browser) == laid
    assert_board(board_image(browser), replayed_owners(history, laid))
    mover = browser.find_element("id", "mover").text
    assert mover.endswith(f"seat {history[laid][0]}")
    counts = [sum(1 for p, _ in history[:laid] if p == s) for s in range(4)]
    assert browser.find_element("id", "scores").text.split()[-4:] == [str(n) for n in counts]

    # The slider, then the heat map of the next move's search shares over the free tiles.
    browser.execute_script("const s = document.getElementById('slider'); s.value = 5;"
                           "s.dispatchEvent(new Event('input'));")
    assert laid_tiles(browser) == 5
    owners = replayed_owners(history, 5)
    game = load_games(games_file).games[1]
    shared = [t for t, _ in game.move_shares(5)]
    assert shared, "a move of this search game has shares"
    assert browser.find_element("id", "shares").text.endswith("(heat map off)")
    browser.find_element("id", "heat").click()
    assert browser.find_element("id", "shares").text == (
        f"search shares: {len(shared)} tiles (heat map, % of the move)")
    image = board_image(browser)
    assert_board(image, owners, skip=set(shared) | {int(game.tiles[5])})
    cell = image.width / SIDE
    for t in shared:
        pixel = image.getpixel((int((t % SIDE + 0.2) * cell), int((t // SIDE + 0.2) * cell)))
        assert not close_to(pixel, FREE_COLOUR, 10), f"tile {t} has a share but no heat"


def test_page_of_a_file_cut_short_shows_its_complete_games(browser, games_file, tmp_path):
    whole = gzip.decompress(games_file.read_bytes())
    cut = tmp_path / "cut.jsonl.gz"
    cut.write_bytes(gzip.compress(whole)[:-40])  # no trailer, the last line unfinished
    page = tmp_path / "cut.html"
    assert main(["view", str(cut), "--output", str(page)]) == 0
    open_page(browser, page)
    kept = len(browser.find_elements("css selector", "#games option"))
    assert 0 < kept < 3
    assert "cut short" in browser.find_element("id", "notice").text


def test_page_steps_by_the_pieces_the_rules_know_and_names_shared_wins(browser, seeded_file,
                                                                       tmp_path):
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.keys import Keys

    games = [json.loads(line) for line in gzip.open(seeded_file, "rt")]
    page = tmp_path / "seeded.html"
    assert main(["view", str(seeded_file), "--output", str(page)]) == 0
    open_page(browser, page)
    keys = ActionChains(browser)
    for index, game in enumerate(games):
        browser.find_element("css selector", f"#games option[value='{index}']").click()
        ends = piece_ends(game["history"])
        stops = []  # piece by piece from the start: every end the rules know, no other stop
        for _ in ends:
            keys.key_down(Keys.SHIFT).send_keys(Keys.ARROW_RIGHT).key_up(Keys.SHIFT).perform()
            stops.append(laid_tiles(browser))
        assert stops == ends
        status = browser.find_element("id", "status").text
        assert status.endswith(f"{len(ends)} of {len(ends)} pieces")
        backwards = []
        for _ in ends:
            browser.find_element("id", "prevPiece").click()
            backwards.append(laid_tiles(browser))
        assert backwards == [0, *ends][-2::-1]
        outcome = game["outcome"]
        winners = [s for s in range(4) if outcome[s] == max(outcome)]
        said = (f"seat {winners[0]} won" if len(winners) == 1 else
                f"tie: seats {', '.join(map(str, winners))}")
        # Half way through a piece, and at the end: the hands the rules leave each seat.
        middle = ends[len(ends) // 2] - 1
        for laid in (middle, len(game["history"])):
            browser.execute_script("show(arguments[0])", laid)
            history = game["history"][:laid]
            tiles = [t for _, t in history]
            engine = tr.Game(SIDE)
            for tile in tiles:
                engine.apply(tile)
            _, features = engine.encode_full()
            first = engine.current_player
            for seat in range(4):
                held = [p for p in range(21) if features[22 * ((seat - first) % 4) + p]]
                assert hand_of_page(browser, seat) == held
                label = browser.find_element("id", f"hand{seat}").text
                assert label.startswith(f"seat {seat}: {len(held)} piece"), label
        assert browser.find_element("id", "outcome").text == (
            f"result: {result_words(outcome, game['history'], SIDE)} (outcome "
            + " ".join(f"{x:.3f}" for x in outcome) + ")")
        listed = browser.find_element("css selector", f"#games option[value='{index}']").text
        assert listed.endswith(said), listed
    assert said.startswith("tie: ")
    assert "a tie: " in browser.find_element("id", "outcome").text


def test_the_list_filters_and_sorts_by_winner_length_and_id(browser, games_file, seeded_file,
                                                            tmp_path):
    from selenium.webdriver.support.ui import Select

    lines = [line for source in (games_file, seeded_file)
             for line in gzip.decompress(source.read_bytes()).decode().splitlines()]
    games = [json.loads(line) for line in lines]
    data = write_data_file(tmp_path / "mixed.jsonl.gz", lines)
    page = tmp_path / "mixed.html"
    assert main(["view", str(data), "--output", str(page)]) == 0
    open_page(browser, page)

    def listed():
        return [int(o.get_attribute("value"))
                for o in browser.find_elements("css selector", "#games option")]

    def winners(game):
        return [s for s in range(4) if game["outcome"][s] == max(game["outcome"])]

    assert listed() == list(range(len(games)))
    choose = {name: Select(browser.find_element("id", name)) for name in ("winner", "sort")}
    choose["winner"].select_by_value("tie")
    ties = [i for i, g in enumerate(games) if len(winners(g)) > 1]
    assert ties and listed() == ties
    assert browser.find_element("id", "shown").text == f"{len(ties)} of {len(games)} games shown"
    seat = winners(games[0])[0]
    choose["winner"].select_by_value(str(seat))
    assert listed() == [i for i, g in enumerate(games) if winners(g) == [seat]]
    choose["winner"].select_by_value("")
    for order, key in (("long", lambda i: (-len(games[i]["history"]), i)),
                       ("short", lambda i: (len(games[i]["history"]), i)),
                       ("id", lambda i: (games[i]["id"], i))):
        choose["sort"].select_by_value(order)
        assert listed() == sorted(range(len(games)), key=key), order
    browser.find_element("id", "find").send_keys("1")
    assert listed() == sorted((i for i, g in enumerate(games) if str(g["id"]).startswith("1")),
                              key=lambda i: (games[i]["id"], i))
    # A game chosen from the list: the settings its line holds.
    browser.find_element("css selector", f"#games option[value='{listed()[0]}']").click()
    settings = games[listed()[0]]["settings"]
    expected = (", ".join(f"{k} {v}" for k, v in sorted(settings.items())) if settings
                else "none in the file")
    assert browser.find_element("id", "settings").text == f"settings: {expected}"


def test_a_page_without_games_answers_its_buttons_and_keys_without_errors(browser, tmp_path):
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.keys import Keys

    empty = tmp_path / "empty.html"
    empty.write_text(view_page(GameCollection([], []), "no games"), encoding="utf-8")
    open_page(browser, empty)
    browser.execute_script("window.failures = [];"
                           "window.addEventListener('error', e => failures.push(e.message));")
    for button in ("first", "prevPiece", "prevTile", "nextTile", "nextPiece", "last", "heat"):
        browser.find_element("id", button).click()
    keys = ActionChains(browser)
    for key in (Keys.ARROW_RIGHT, Keys.ARROW_LEFT, Keys.END, Keys.HOME, Keys.PAGE_DOWN):
        keys.send_keys(key).perform()
    keys.key_down(Keys.SHIFT).send_keys(Keys.ARROW_RIGHT).key_up(Keys.SHIFT).perform()
    browser.execute_script("const s = document.getElementById('slider'); s.value = 3;"
                           "s.dispatchEvent(new Event('input'));")
    assert browser.execute_script("return window.failures") == []
    assert browser.find_element("id", "status").text == "no games"


# ---------------------------------------------------------------------------------------
# Pages, pictures and bad input without a browser
# ---------------------------------------------------------------------------------------


def test_page_packs_the_games_instead_of_an_object_per_tile(games_file, tmp_path):
    lines = training_game_lines(SIDE, 1, sims=8)
    one, many = tmp_path / "one.jsonl.gz", tmp_path / "many.jsonl.gz"
    write_data_file(one, lines)
    write_data_file(many, lines * 60)
    sizes = []
    for source in (one, many):
        assert main(["view", str(source), "--output", str(tmp_path / "p.html")]) == 0
        sizes.append((tmp_path / "p.html").stat().st_size)
    tiles = len(json.loads(lines[0])["history"])
    per_tile = (sizes[1] - sizes[0]) / (59 * tiles)
    assert per_tile < 8, f"{per_tile:.1f} bytes of page per tile laid"


def test_render_draws_the_replayed_position(games_file, seeded_file, tmp_path):
    from PIL import Image

    history = [json.loads(line)["history"] for line in gzip.open(games_file, "rt")][2]
    png, svg, gif = tmp_path / "b.png", tmp_path / "b.svg", tmp_path / "g.gif"
    size = board_pixels(SIDE)
    assert main(["render", str(games_file), "--index", "2", "--move", "17",
                 "--output", str(png)]) == 0
    picture = Image.open(png).convert("RGB")
    assert_board(picture.crop((0, 0, size, size)), replayed_owners(history, 17))
    # Under the board, the legend: a swatch of each seat's colour.
    legend = np.asarray(picture.crop((0, size, size, picture.height)), np.int32)
    for colour in SEAT_COLOURS:
        assert (np.abs(legend - colour).max(axis=2) <= 4).sum() >= 100, colour
    assert main(["render", str(games_file), "--index", "2", "--output", str(svg)]) == 0
    text = svg.read_text()
    fills = [line for line in text.splitlines() if line.startswith("<rect x=")
             and 'fill="#{:02x}{:02x}{:02x}"'.format(*SEAT_COLOURS[0]) in line]
    assert len(fills) == sum(1 for p, _ in history if p == 0)
    # The caption and the legend: the tiles laid, each seat's tiles and score by the model.
    scores = rules_model.replay(SIDE, history).scores()
    outcome = json.loads(gzip.decompress(games_file.read_bytes()).splitlines()[2])["outcome"]
    winners = [s for s in range(4) if outcome[s] == max(outcome)]
    said = (f": seat {winners[0]} won" if len(winners) == 1 else ": a tie, seats ")
    assert f">game 2, {len(history)} of {len(history)} tiles laid{said}" in text
    for seat in range(4):
        laid = sum(1 for p, _ in history if p == seat)
        assert f">seat {seat}: {laid} tiles, score {scores[seat]}</text>" in text
    assert main(["render", str(games_file), "--index", "2", "--output", str(gif)]) == 0
    animation = Image.open(gif)
    assert animation.n_frames == len(piece_ends(history)) + 1
    # A game where a player lays pieces alone: a frame for each of them.
    alone = [json.loads(line)["history"] for line in gzip.open(seeded_file, "rt")][0]
    assert main(["render", str(seeded_file), "--output", str(gif), "--overwrite"]) == 0
    assert Image.open(gif).n_frames == len(piece_ends(alone)) + 1 > len(turn_ends(alone)) + 1
    animation.seek(animation.n_frames - 1)
    assert_board(animation.convert("RGB").crop((0, 0, size, size)),
                 replayed_owners(history, len(history)))


@pytest.mark.parametrize("command, expected", [
    (["render", "{games}", "--index", "3", "--output", "{tmp}/b.png"],
     "--index 3 is past the end: the data holds 3 game(s)"),
    (["render", "{games}", "--index", "0", "--move", "999", "--output", "{tmp}/b.png"],
     "--move 999 is past the end of game 0"),
    (["render", "{games}", "--output", "{tmp}/b.jpeg"], "must end with .png, .svg or .gif"),
    (["render", "{text}", "--output", "{tmp}/b.png"], "not a data file"),
    (["view", "{text}"], "not a data file"),
    (["view", "{other}"], "not a game of this system's data files"),
    (["view", "{broken}"], "not a game that can be shown: the history does not replay"),
    (["view", "{tmp}/empty"], "a folder without data files"),
    (["render", "{none}", "--output", "{tmp}/b.svg"],
     "--index 0 is past the end: the data holds no complete game"),
    (["view", "{none}"], "nothing to show: the data holds no complete game"),
    # show reads through the same reader: each of these was a traceback, exit 1 or exit 0.
    (["show", "{other}"], "not a game of this system's data files"),
    (["show", "{stringy}"], "line 1: not a game that can be shown: no 'records'"),
    (["show", "{games}", "--index", "3"], "--index 3 is past the end: the data holds 3 game(s)"),
    (["show", "{games}", "--id", "7"], "--id 7: no game has this id; the data holds 3 game(s)"),
    (["show", "{broken}"], "not a game that can be shown: the history does not replay"),
    (["show", "{text}"], "not a data file"),
    (["show", "{cut}"], "the data holds no complete game; cut.jsonl.gz is cut short"),
])
def test_bad_input_is_one_line_and_status_2(games_file, tmp_path, capsys, command, expected):
    (tmp_path / "notes.txt").write_text("not a data file\n")
    write_data_file(tmp_path / "other.jsonl.gz", [json.dumps({"hello": 1})])
    write_data_file(tmp_path / "stringy.jsonl.gz",
                    [json.dumps({"id": 1, "side": 10, "history": "x"})])
    game = json.loads(training_game_lines(SIDE, 1)[0])
    game["history"][3][1] = game["history"][2][1]  # a tile laid twice
    write_data_file(tmp_path / "broken.jsonl.gz", [json.dumps(game)])
    write_data_file(tmp_path / "none.jsonl.gz", [], newline=False)
    (tmp_path / "cut.jsonl.gz").write_bytes(games_file.read_bytes()[:60])
    (tmp_path / "empty").mkdir()
    names = dict(games=games_file, tmp=tmp_path, text=tmp_path / "notes.txt",
                 other=tmp_path / "other.jsonl.gz", broken=tmp_path / "broken.jsonl.gz",
                 stringy=tmp_path / "stringy.jsonl.gz", none=tmp_path / "none.jsonl.gz",
                 cut=tmp_path / "cut.jsonl.gz")
    before = sorted(p.name for p in tmp_path.iterdir())
    assert main([part.format(**names) for part in command]) == 2
    captured = capsys.readouterr()
    assert expected in captured.err and captured.err.count("\n") == 1, captured.err
    assert captured.out == "" and sorted(p.name for p in tmp_path.iterdir()) == before


def test_show_replays_piece_by_piece(seeded_file, capsys):
    history = [json.loads(line)["history"] for line in gzip.open(seeded_file, "rt")][0]
    assert main(["show", str(seeded_file), "--replay"]) == 0
    printed = capsys.readouterr().out
    after = [int(line.split()[2].rstrip(":")) for line in printed.splitlines()
             if line.startswith("after move ")]
    assert after == piece_ends(history) != turn_ends(history)
    last = printed.split("\n\n")[-2].splitlines()[-SIDE:]
    owners = replayed_owners(history, len(history))
    glyphs = "\u2b1c\U0001f7e5\U0001f7e6\U0001f7e8\U0001f7e9"
    assert ["".join(glyphs[owners[r * SIDE + c]] for c in range(SIDE)) for r in range(SIDE)] \
        == last


def test_an_output_is_never_the_input_nor_a_file_of_another_kind(games_file, tmp_path, capsys):
    data = tmp_path / "x.jsonl.gz"
    shutil.copy(games_file, data)
    kept = data.read_bytes()
    page_file, notes = tmp_path / "x.html", tmp_path / "notes.txt"
    notes.write_text("my notes\n")
    run = tmp_path / "run"
    (run / "games").mkdir(parents=True)
    shutil.copy(games_file, run / "games" / "gen-0001.jsonl.gz")
    refused = [
        (["view", data, "--output", data], "--output {0}: is the data being read"),
        (["view", data, "--output", data, "--overwrite"], "is the data being read"),
        (["view", run, "--output", run / "games" / "gen-0001.jsonl.gz", "--overwrite"],
         "is the data being read"),
        (["render", data, "--output", data.with_suffix(".gif"), "--overwrite"], None),
        (["view", data, "--output", notes], "--output {2}: exists and is not a page written "
                                            "by tralix view: add --overwrite"),
        (["render", data, "--output", tmp_path / "n.svg"], "exists and is not a picture "
                                                           "written by tralix render"),
        (["view", data, "--output", tmp_path], "--output {1}: is a folder, not a file"),
        (["view", data, "--output", notes / "x.html"], "cannot be written: {2} is not a folder"),
    ]
    (tmp_path / "n.svg").write_text("<svg/>")
    for command, expected in refused:
        if expected is None:  # a picture whose name is not the input's: written
            assert main([str(part) for part in command]) == 0
            continue
        assert main([str(part) for part in command]) == 2, command
        error = capsys.readouterr().err
        assert expected.format(data, tmp_path, notes) in error and error.count("\n") == 1, error
    assert data.read_bytes() == kept and notes.read_text() == "my notes\n"
    assert (tmp_path / "n.svg").read_text() == "<svg/>"
    assert (run / "games" / "gen-0001.jsonl.gz").read_bytes() == kept
    # A page or picture this command wrote is replaced without asking; anything else with
    # --overwrite; missing folders are made.
    for command in (["view", data], ["view", data], ["view", data, "--output", notes,
                                                     "--overwrite"],
                    ["render", data, "--output", tmp_path / "n.svg", "--overwrite"],
                    ["render", data, "--output", tmp_path / "n.svg", "--move", "3"],
                    ["render", data, "--output", tmp_path / "new" / "deeper" / "b.png"]):
        assert main([str(part) for part in command]) == 0, capsys.readouterr().err
    assert page_file.read_text().startswith("<!DOCTYPE html>")
    assert notes.read_text().startswith("<!DOCTYPE html>")
    assert "3 of " in (tmp_path / "n.svg").read_text()
    assert (tmp_path / "new" / "deeper" / "b.png").read_bytes().startswith(b"\x89PNG")


def test_pages_and_pictures_are_readable_as_any_new_file(games_file, tmp_path):
    import os

    previous = os.umask(0o022)
    try:
        for umask in (0o022, 0o007):
            os.umask(umask)
            for name in ("p.html", "b.png", "b.gif", "b.svg"):
                output = tmp_path / f"{umask:o}-{name}"
                command = "view" if name.endswith(".html") else "render"
                assert main([command, str(games_file), "--output", str(output)]) == 0
                assert output.stat().st_mode & 0o777 == 0o666 & ~umask, name
    finally:
        os.umask(previous)
    assert [p.name for p in tmp_path.iterdir() if p.name.endswith(".tmp")] == []


def test_view_of_a_run_folder_shows_every_generation(games_file, tmp_path):
    folder = tmp_path / "run" / "games"
    folder.mkdir(parents=True)
    shutil.copy(games_file, folder / "gen-0002.jsonl.gz")
    write_data_file(folder / "gen-0001.jsonl.gz", training_game_lines(SIDE, 1))
    collection = load_games(tmp_path / "run")
    assert [g.source for g in collection.games] == ["gen-0001.jsonl.gz"] + [
        "gen-0002.jsonl.gz"] * 3
    assert main(["view", str(tmp_path / "run")]) == 0
    assert (tmp_path / "run" / "view.html").exists()


# ---------------------------------------------------------------------------------------
# Playing against the network
# ---------------------------------------------------------------------------------------


PLAY_SIDE = 6


@pytest.fixture
def play_server(tmp_path):
    from tralix_harness.base.settings import SearchSettings
    from tralix_harness.networks import load_network
    from tralix_harness.viewer.play import PlayServer

    settings = SearchSettings(dim=PLAY_SIDE, sims_per_move=4)
    server = PlayServer(load_network("heuristic", PLAY_SIDE), "heuristic", settings, seat=1,
                        output=tmp_path / "played.jsonl.gz")
    with server:
        yield server


def post(url, body, raw=None, headers=()):
    """The server's answer to a POST: (status, JSON)."""
    import urllib.error
    import urllib.request

    data = raw if raw is not None else json.dumps(body).encode()
    request = urllib.request.Request(url, data=data, method="POST",
                                     headers={"Content-Type": "application/json",
                                              **dict(headers)})
    try:
        with urllib.request.urlopen(request, timeout=10) as answer:
            return answer.status, json.loads(answer.read())
    except urllib.error.HTTPError as error:
        return error.code, json.loads(error.read())


def state_of(server):
    with server.lock:
        return json.loads(json.dumps(server.state.view()))


def test_play_server_refuses_what_is_not_a_tile_now(play_server):
    assert play_server.httpd.server_address[0] == "127.0.0.1"
    url = play_server.url
    state = wait_for(lambda: (s := state_of(play_server))["waiting"] and s)
    assert state["valid"] == tr_valid(state["history"])
    occupied = state["history"][0][1]
    for body, raw, status, text in (
            ({"tile": occupied}, None, 400, f"tile {occupied} (row "),
            ({"tile": 10**6}, None, 400, "off the board"),
            ({"tile": "3"}, None, 400, "whole number"),
            ({"tile": True}, None, 400, "whole number"),
            (None, b"{not json", 400, "not a JSON request"),
            (None, b"x" * 5000, 413, "too large")):
        answer = post(url + "tile", body, raw)
        assert answer[0] == status and text in answer[1]["error"], answer
    # Another site's form, or this server reached under another name, lays nothing.
    tile = {"tile": state["valid"][0]}
    assert post(url + "tile", tile, headers={"Host": "evil.example:80"}) == (
        403, {"error": "not this server's page"})
    form = {"Content-Type": "application/x-www-form-urlencoded"}
    assert post(url + "tile", None, raw=b"tile=3", headers=form) == (
        415, {"error": "requests are JSON"})
    assert post(url + "save", {}) == (409, {"error": "the game is not over yet"})
    assert post(url + "nothing", {})[0] == 404
    assert state_of(play_server)["history"] == state["history"]  # nothing laid
    assert post(url + "tile", {"tile": state["valid"][0]}) == (200, {"ok": True})
    laid = len(state["history"])
    wait_for(lambda: len(state_of(play_server)["history"]) > laid)
    assert state_of(play_server)["history"][laid] == [1, state["valid"][0]]


def test_play_server_lays_whole_pieces_and_takes_them_back(play_server):
    url = play_server.url
    state = wait_for(lambda: (s := state_of(play_server))["waiting"] and s)
    before = state["history"]
    model = rules_model.replay(PLAY_SIDE, before)
    legal = model.legal_placements(1)
    whole = {(p, tuple(sorted(t))) for p, t in legal if not any(t < u for _, u in legal)}
    assert {(p, tuple(t)) for p, t in state["placements"]} == whole
    assert state["hands"] == [sorted(h) for h in model.hands]
    corner = PLAY_SIDE - 1  # seat 1's first piece covers it
    for body, status, text in (
            ({"piece": 0, "tiles": [corner]}, 400, "would not end your turn there"),
            ({"piece": 9, "tiles": [corner]}, 400, "not the shape of piece I5"),
            ({"piece": 21, "tiles": [corner]}, 400, "a piece is a whole number from 0 to 20"),
            ({"piece": True, "tiles": [corner]}, 400, "a piece is a whole number"),
            ({"piece": 1, "tiles": [corner, corner]}, 400, "1 to 5 distinct whole numbers"),
            ({"piece": 1, "tiles": "5"}, 400, "1 to 5 distinct whole numbers"),
            ({"piece": 1, "tiles": [corner, PLAY_SIDE ** 2]}, 400, "lie wholly on the board"),
            # Wrapped round the board's edge: two squares of different rows and ends.
            ({"piece": 1, "tiles": [corner, corner + 1]}, 400, "not the shape of piece I2"),
            ({"piece": 1, "tiles": [corner, corner + PLAY_SIDE]}, 400,
             "the rules would not end your turn there")):
        answer = post(url + "piece", body)
        assert answer[0] == status and text in answer[1]["error"], (body, answer)
    assert post(url + "undo", {}) == (409, {"error": "nothing of yours to undo"})
    assert state_of(play_server)["history"] == before  # nothing laid

    # A whole piece, its tiles sent in any order: laid in an order the rules take.
    piece, tiles = state["placements"][-1]
    status, answer = post(url + "piece", {"piece": piece, "tiles": tiles[::-1]})
    assert status == 200 and sorted(answer["order"]) == tiles
    after = wait_for(lambda: ((s := state_of(play_server))["waiting"] or s["over"]) and s)
    laid = len(before) + len(tiles)
    assert after["history"][len(before):laid] == [[1, t] for t in answer["order"]]
    assert piece not in after["hands"][1] and len(after["hands"][1]) == 20
    replied = rules_model.replay(PLAY_SIDE, after["history"])
    assert after["hands"] == [sorted(h) for h in replied.hands]
    # The network's pieces since then are outlined: every tile the others laid after it.
    assert sorted(t for piece_tiles in after["reply"] for t in piece_tiles) == sorted(
        t for p, t in after["history"][laid:] if p != 1)
    assert after["canUndo"] and after["scores"] == replied.scores()

    # Undone: the piece and the network's moves after it; the same choices again.
    assert post(url + "undo", {}) == (200, {"ok": True, "laid": len(before)})
    again = wait_for(lambda: (s := state_of(play_server))["waiting"] and s)
    assert again["history"] == before and again["placements"] == state["placements"]

    # A square alone starts a piece; a whole piece must then cover it; undo takes it back.
    square = next(t for t in state["valid"] if not all(t in p[1] for p in state["placements"]))
    assert post(url + "tile", {"tile": square}) == (200, {"ok": True})
    building = wait_for(lambda: (s := state_of(play_server))["waiting"]
                        and len(s["history"]) > len(before) and s)
    assert building["history"] == before + [[1, square]] and building["turn"] == [square]
    assert building["placements"] and all(square in t for _, t in building["placements"])
    other = next(p for p in state["placements"] if square not in p[1])
    answer = post(url + "piece", {"piece": other[0], "tiles": other[1]})
    assert answer[0] == 400 and "must cover the squares you laid this turn" in answer[1]["error"]
    assert post(url + "undo", {}) == (200, {"ok": True, "laid": len(before)})
    wait_for(lambda: (s := state_of(play_server))["waiting"] and s["history"] == before)

    # A new game: the network opens again, the person to move.
    assert post(url + "new", {}) == (200, {"ok": True, "game": 0})
    fresh = wait_for(lambda: (s := state_of(play_server))["waiting"] and s)
    assert fresh["history"] and {p for p, _ in fresh["history"]} == {0}
    assert len(fresh["hands"][0]) == 20 and fresh["toMove"] == 1


def tr_valid(history):
    game = tr.Game(PLAY_SIDE)
    for _, tile in history:
        game.apply(tile)
    return game.valid_tiles()


def test_a_person_plays_a_game_in_the_browser_and_saves_it(browser, play_server, tmp_path):
    from selenium.webdriver.common.action_chains import ActionChains

    def click_tile(tile):
        board = browser.find_element("id", "board")
        cell = board.size["width"] / PLAY_SIDE
        r, c = divmod(tile, PLAY_SIDE)
        ActionChains(browser).move_to_element_with_offset(
            board, int((c + 0.5) * cell - board.size["width"] / 2),
            int((r + 0.5) * cell - board.size["height"] / 2)).click().perform()

    def page_state():
        data = browser.execute_script("return document.body.dataset")
        return data.get("over") == "1" or data.get("waiting") == "1"

    browser.get(play_server.url)
    wait_for(page_state)
    state = state_of(play_server)
    occupied = state["history"][0][1]
    click_tile(occupied)  # seat 0's tile: refused, the message on the page
    wait_for(lambda: "not a valid tile" in browser.find_element("id", "message").text)
    first_tab = browser.current_window_handle
    for move in range(PLAY_SIDE * PLAY_SIDE):
        wait_for(lambda: (s := state_of(play_server))["waiting"] or s["over"])
        state = state_of(play_server)
        if state["over"]:
            break
        if move == 2:  # the tab closed, the game carried on in another
            browser.switch_to.new_window("tab")
            browser.switch_to.window(first_tab)
            browser.close()
            browser.switch_to.window(browser.window_handles[0])
            browser.get(play_server.url)
        laid = len(state["history"])
        wait_for(lambda n=laid: browser.execute_script(
            "return document.body.dataset.waiting") == "1" and browser.execute_script(
            "return +document.body.dataset.laid") == n)
        click_tile(state["valid"][-1])
        wait_for(lambda n=laid: len(state_of(play_server)["history"]) > n)
    state = state_of(play_server)
    assert state["over"] and not state["error"]
    wait_for(lambda: browser.find_element("id", "save").is_enabled())
    browser.find_element("id", "save").click()
    wait_for(lambda: "saved to" in browser.find_element("id", "saved").text)
    saved = load_games(tmp_path / "played.jsonl.gz").games
    assert len(saved) == 1
    assert [[int(p), int(t)] for p, t in zip(saved[0].players, saved[0].tiles,
                                             strict=True)] == state["history"]
    assert saved[0].outcome == pytest.approx(state["outcome"])
    # The person's tiles were the last valid tile each time, as clicked.
    game = tr.Game(PLAY_SIDE)
    for player, tile in state["history"]:
        if player == 1:
            assert tile == game.valid_tiles()[-1]
        game.apply(tile)
    assert list(game.outcome()) == pytest.approx(state["outcome"])
    assert_board_after_play(browser, state["history"])


def owners_of(history, side=PLAY_SIDE):
    owners = [0] * (side * side)
    for player, tile in history:
        owners[tile] = player + 1
    return owners


def turns_to(piece, tiles):
    """How the page's picked piece becomes the shape of ``tiles``: (flipped first or not,
    quarter turns clockwise after)."""
    shape = shape_of(PLAY_SIDE, tiles)
    for flips in (0, 1):
        cells = normalised(base_cells(piece))
        if flips:
            cells = flipped(cells)
        for turns in range(4):
            if cells == shape:
                return flips, turns
            cells = turned(cells)
    raise AssertionError("not a shape of the piece")


def test_a_person_picks_turns_and_lays_whole_pieces_then_undoes_and_views_the_game(
        browser, play_server, tmp_path):
    from selenium.webdriver.common.action_chains import ActionChains

    def point(element, x, y):
        return (int(x - element.size["width"] / 2), int(y - element.size["height"] / 2))

    def pointer_to(tile, click=False):
        board = browser.find_element("id", "board")
        cell = board.size["width"] / PLAY_SIDE
        r, c = divmod(tile, PLAY_SIDE)
        chain = ActionChains(browser).move_to_element_with_offset(
            board, *point(board, (c + 0.5) * cell, (r + 0.5) * cell))
        (chain.click() if click else chain).perform()

    def ghost_pixel(tile):
        cell = board_image(browser).width / PLAY_SIDE
        return board_image(browser).getpixel((int((tile % PLAY_SIDE + 0.15) * cell),
                                              int((tile // PLAY_SIDE + 0.15) * cell)))

    def page_at(laid):
        data = browser.execute_script("return document.body.dataset")
        return "1" in (data.get("waiting"), data.get("over")) and int(data.get("laid")) == laid

    browser.get(play_server.url)
    state = wait_for(lambda: (s := state_of(play_server))["waiting"] and s)
    before = state["history"]
    wait_for(lambda: page_at(len(before)))
    # A whole piece the person must turn: its shape is not the one drawn in the hand.
    piece, tiles, (flips, turns) = next((p, t, turns_to(p, t)) for p, t in state["placements"]
                                        if turns_to(p, t)[1] > 0)
    hand = browser.find_element("css selector", "#hand1 canvas")
    x, y = browser.execute_script("return handOrigin(catalogue[arguments[0]], arguments[0], "
                                  "HAND_CELL)", piece)
    r, c = base_cells(piece)[0]
    ActionChains(browser).move_to_element_with_offset(
        hand, *point(hand, x + (c + 0.5) * 7, y + (r + 0.5) * 7)).click().perform()
    assert browser.find_element("id", "picked").text.startswith(f"picked: {NAMES[piece]} ")
    keys = ActionChains(browser)
    if flips:
        keys.send_keys("f").perform()
    browser.find_element("id", "turn").click()
    for _ in range(turns - 1):
        keys.send_keys("r").perform()
    cells, grip = browser.execute_script("return [held.cells, held.grip]")
    assert tuple(map(tuple, cells)) == shape_of(PLAY_SIDE, tiles)

    # Red over the network's tiles: refused with the reason, nothing laid.
    def spot(tile):
        r, c = divmod(tile, PLAY_SIDE)
        at = [(r + cr - grip[0], c + cc - grip[1]) for cr, cc in cells]
        inside = all(0 <= a < PLAY_SIDE and 0 <= b < PLAY_SIDE for a, b in at)
        return [a * PLAY_SIDE + b for a, b in at] if inside else None

    taken = {t for _, t in before}
    bad = next(t for _, t in before if (ghost := spot(t)) and set(ghost) - taken)
    pointer_to(bad)
    wait_for(lambda: browser.execute_script("return document.body.dataset.ghost") == "refused")
    red = ghost_pixel(next(t for t in spot(bad) if t not in taken))
    assert red[0] > red[1] + 40, red
    pointer_to(bad, click=True)
    wait_for(lambda: browser.find_element("id", "message").text.startswith(
        "you cannot lay that piece there: "))
    assert state_of(play_server)["history"] == before
    assert_board(board_image(browser), owners_of(before), side=PLAY_SIDE, at=0.15,
                 skip=set(spot(bad)))

    # Green where it goes; one click lays it whole.
    where = tiles[0]
    held_at = next(t for t in tiles if spot(t) == tiles)
    pointer_to(held_at)
    wait_for(lambda: browser.execute_script("return document.body.dataset.ghost") == "ok")
    green = ghost_pixel(where)
    assert green[1] > green[0] + 40, green
    pointer_to(held_at, click=True)
    after = wait_for(lambda: len((s := state_of(play_server))["history"]) > len(before)
                     and (s["waiting"] or s["over"]) and s)
    assert sorted(t for p, t in after["history"][len(before):len(before) + len(tiles)]
                  if p == 1) == tiles
    wait_for(lambda: page_at(len(after["history"])))
    assert browser.find_element("id", "picked").text == "no piece picked"
    assert_board(board_image(browser), owners_of(after["history"]), side=PLAY_SIDE, at=0.15)
    assert piece not in hand_of_page(browser, 1)

    # Undo: the position before the piece, the piece back in the hand.
    browser.find_element("id", "undo").click()
    wait_for(lambda: state_of(play_server)["history"] == before and page_at(len(before)))
    assert_board(board_image(browser), owners_of(before), side=PLAY_SIDE, at=0.15)
    assert piece in hand_of_page(browser, 1)

    # The rest of the game a whole piece a turn; the result in words, saved, viewed.
    while not (state := state_of(play_server))["over"]:
        if state["waiting"]:
            placed = state["placements"][0]
            status, _ = post(play_server.url + "piece", {"piece": placed[0],
                                                          "tiles": placed[1]})
            assert status == 200
            laid = len(state["history"])
            wait_for(lambda n=laid: len(state_of(play_server)["history"]) > n)
        time.sleep(0.05)
    history, outcome = state["history"], state["outcome"]
    wait_for(lambda: browser.execute_script("return document.body.dataset.over") == "1")
    assert browser.find_element("id", "status").text == (
        "the game is over: " + result_words(outcome, history, PLAY_SIDE, you=1))
    browser.find_element("id", "save").click()
    wait_for(lambda: "saved to" in browser.find_element("id", "saved").text)
    page = tmp_path / "played.html"
    assert main(["view", str(tmp_path / "played.jsonl.gz"), "--output", str(page)]) == 0
    open_page(browser, page)
    browser.find_element("id", "last").click()
    model = rules_model.replay(PLAY_SIDE, history)
    for seat in range(4):
        assert hand_of_page(browser, seat) == sorted(model.hands[seat])
    assert browser.find_element("id", "outcome").text.startswith(
        f"result: {result_words(outcome, history, PLAY_SIDE)} (outcome")
    assert browser.find_element("id", "settings").text == (
        "settings: network heuristic, person_seat 1, sims_per_move 4")
    assert_board(board_image(browser), owners_of(history), side=PLAY_SIDE, at=0.15)


def assert_board_after_play(chrome, history):
    image = board_image(chrome)
    owners = [0] * (PLAY_SIDE * PLAY_SIDE)
    for player, tile in history:
        owners[tile] = player + 1
    cell = image.width / PLAY_SIDE
    last = history[-1][1]
    for t in range(PLAY_SIDE * PLAY_SIDE):
        if t == last:
            continue  # outlined
        pixel = image.getpixel((int((t % PLAY_SIDE + 0.5) * cell),
                                int((t // PLAY_SIDE + 0.5) * cell)))
        assert close_to(pixel, colour_of(owners[t])), (t, pixel, owners[t])


def test_play_command_serves_on_the_loopback_until_asked_to_stop(tmp_path):
    import os
    import subprocess
    import sys
    import urllib.request

    command = [sys.executable, "-m", "tralix_harness", "play", "--no-browser", "--side", "6",
               "--sims", "2", "--seat", "2", "--output", str(tmp_path / "p.jsonl.gz")]
    refused = subprocess.run(command[:4] + ["--seat", "4"], capture_output=True, text=True,
                             timeout=60)
    assert refused.returncode == 2 and "--seat" in refused.stderr
    cut = tmp_path / "cut.jsonl.gz"
    cut.write_bytes(gzip.compress(b'{"id": 0}\n' * 50)[:-30])
    refused = subprocess.run(command[:-1] + [str(cut)], capture_output=True, text=True,
                             timeout=60)
    assert refused.returncode == 2 and "cut short" in refused.stderr.splitlines()[-1]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True, env=dict(os.environ))
    try:
        line = process.stdout.readline()
        url = line.split(" at ")[1].split()[0]
        assert url.startswith("http://127.0.0.1:")
        with urllib.request.urlopen(url + "state", timeout=10) as answer:
            state = json.loads(answer.read())
        assert state["seat"] == 2 and state["side"] == 6
        assert post(url + "quit", {}) == (200, {"ok": True})
        assert process.wait(timeout=30) == 0
    finally:
        if process.poll() is None:
            process.kill()
            process.wait(timeout=10)
        process.stdout.close()


def test_play_on_a_network_exported_by_a_run_imports_no_torch(tmp_path):
    """A play-only install (no PyTorch): tralix play on an onnx: file, a whole piece laid
    and taken back through the server, with a torch that fails to import first on the path."""
    import os
    import subprocess
    import sys
    import urllib.request
    from pathlib import Path

    pytest.importorskip("torch")
    pytest.importorskip("onnx")
    pytest.importorskip("onnxruntime")
    from tralix_harness.networks import checkpoint
    from tralix_harness.networks.exported import exported
    from tralix_harness.networks.model import TralixNet
    from tralix_harness.networks.settings import ModelSettings

    model = TralixNet(ModelSettings(blocks=1, channels=8)).eval()
    saved = tmp_path / "gen-0001.pt"
    checkpoint.save({"side": 6, "model": model.settings.as_dict(),
                     "weights": model.state_dict()}, saved)
    onnx = exported(saved)
    fake = tmp_path / "no-torch" / "torch"
    fake.mkdir(parents=True)
    (fake / "__init__.py").write_text("raise ImportError('torch is not installed here')\n")
    script = ("import sys\n"
              "from tralix_harness.cli import main\n"
              "code = main(sys.argv[1:])\n"
              "assert 'torch' not in sys.modules, 'torch was imported'\n"
              "sys.exit(code)\n")
    harness = Path(__file__).resolve().parents[2] / "harness"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(fake.parent), str(harness), os.environ.get("PYTHONPATH", "")]))
    process = subprocess.Popen(
        [sys.executable, "-c", script, "play", "--no-browser", "--side", "6", "--sims", "2",
         "--network", f"onnx:{onnx}", "--output", str(tmp_path / "p.jsonl.gz")],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    try:
        url = process.stdout.readline().split(" at ")[1].split()[0]

        def state():
            with urllib.request.urlopen(url + "state", timeout=10) as answer:
                return json.loads(answer.read())

        first = wait_for(lambda: (s := state())["waiting"] and s)
        piece, tiles = first["placements"][0]
        assert post(url + "piece", {"piece": piece, "tiles": tiles})[0] == 200
        wait_for(lambda: len((s := state())["history"]) > len(tiles)
                 and (s["waiting"] or s["over"]))
        assert post(url + "undo", {}) == (200, {"ok": True, "laid": 0})
        assert wait_for(lambda: (s := state())["waiting"] and s)["history"] == []
        assert post(url + "quit", {}) == (200, {"ok": True})
        assert process.wait(timeout=30) == 0, process.stderr.read()
    finally:
        if process.poll() is None:
            process.kill()
            process.wait(timeout=10)
        process.stdout.close()
        process.stderr.close()


def test_play_refuses_a_port_in_use_and_an_output_it_cannot_write(tmp_path, capsys):
    import socket

    output = tmp_path / "p.jsonl.gz"
    command = ["play", "--no-browser", "--side", "6", "--network", "uniform"]
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        assert main([*command, "--port", str(port), "--output", str(output)]) == 2
    error = capsys.readouterr().err
    assert error == (f"tralix: --port {port}: cannot listen on 127.0.0.1:{port} (Address "
                     "already in use)\n")
    for bad, said in ((tmp_path, "is a folder, not a file"),
                      (output / "x.jsonl.gz", "cannot be written: "),
                      ("", "an empty path")):
        if said.startswith("cannot"):
            output.write_text("")
        assert main([*command, "--output", str(bad)]) == 2
        error = capsys.readouterr().err
        assert said in error and error.count("\n") == 1, error
    assert [p.name for p in tmp_path.iterdir()] == ["p.jsonl.gz"] and output.read_text() == ""


def test_the_play_extra_draws_pictures(games_file, tmp_path):
    """What render imports beyond the standard library and the package is installed by the
    play extra or the package's own requirements, read from pyproject.toml."""
    import importlib.metadata
    import pathlib
    import re
    import subprocess
    import sys
    import tomllib

    project = tomllib.loads((pathlib.Path(__file__).parents[2] / "pyproject.toml").read_text())
    required = project["project"]["dependencies"] + project["project"]["optional-dependencies"][
        "play"]
    allowed = {re.split(r"[<>=\[ ;]", r)[0].lower() for r in required}
    script = ("import sys; before = set(sys.modules); from tralix_harness.cli import main;"
              f"code = main(['render', {str(games_file)!r}, '--output', sys.argv[1]]);"
              "print(sorted({m.split('.')[0] for m in set(sys.modules) - before}))")
    distributions = importlib.metadata.packages_distributions()
    for name in ("b.png", "g.gif", "b.svg"):
        done = subprocess.run([sys.executable, "-c", script, str(tmp_path / name)],
                              capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stderr
        modules = eval(done.stdout.splitlines()[-1])  # noqa: S307 - our own printed list
        used = {d.lower() for m in modules for d in distributions.get(m, [])
                if d.lower() != "tralix-self-play"}
        assert used <= allowed, f"{name}: {sorted(used - allowed)} not in the play extra"


def _small_files():
    import resource
    import signal

    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails: EFBIG
    resource.setrlimit(resource.RLIMIT_FSIZE, (512, 512))


def test_a_full_disk_is_one_line_naming_the_output_and_keeps_the_old_one(games_file, tmp_path):
    import subprocess
    import sys

    for command, output in ((["view", str(games_file)], tmp_path / "p.html"),
                            (["render", str(games_file)], tmp_path / "b.png")):
        assert main([*command, "--output", str(output)]) == 0
        before = output.read_bytes()
        done = subprocess.run([sys.executable, "-m", "tralix_harness", *command, "--output",
                               str(output), "--overwrite"], capture_output=True, text=True,
                              timeout=120, preexec_fn=_small_files)
        assert done.returncode == 1 and done.stdout == "", done.stderr
        assert done.stderr == f"tralix: {output}: File too large\n"
        assert output.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["b.png", "p.html"]
