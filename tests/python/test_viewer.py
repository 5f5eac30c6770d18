"""tralix view, render and play: the page in a real headless browser (Debian's chromium
driven by Selenium), its board compared with the game's replay by the rules engine; pictures
compared the same way; bad input as one line and exit status 2."""

from __future__ import annotations

import gzip
import io
import json
import shutil
import time

import pytest

import tralix_rules as tr
from tralix_harness.cli import main
from tralix_harness.viewer.games import FREE_COLOUR, SEAT_COLOURS, GameCollection, load_games
from tralix_harness.viewer.page import page as view_page

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


def assert_board(image, owners, skip=()):
    """Every cell's centre in ``image`` (the board alone) has its owner's colour."""
    cell = image.width / SIDE
    wrong = [(t, image.getpixel((int((t % SIDE + 0.5) * cell), int((t // SIDE + 0.5) * cell))),
              owners[t]) for t in range(SIDE * SIDE) if t not in skip]
    wrong = [w for w in wrong if not close_to(w[1], colour_of(w[2]))]
    assert not wrong, f"cells drawn in the wrong colour (tile, pixel, owner): {wrong[:5]}"


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
                f"seats {', '.join(map(str, winners[:-1]))} and {winners[-1]} shared the win")
        browser.find_element("id", "last").click()
        assert browser.find_element("id", "outcome").text.endswith(f"({said})")
        listed = browser.find_element("css selector", f"#games option[value='{index}']").text
        assert listed.endswith(said), listed
    assert "shared the win" in said


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
    assert main(["render", str(games_file), "--index", "2", "--move", "17",
                 "--output", str(png)]) == 0
    assert_board(Image.open(png).convert("RGB"), replayed_owners(history, 17))
    assert main(["render", str(games_file), "--index", "2", "--output", str(svg)]) == 0
    fills = svg.read_text().count('fill="#{:02x}{:02x}{:02x}"'.format(*SEAT_COLOURS[0]))
    assert fills == sum(1 for p, _ in history if p == 0)
    assert main(["render", str(games_file), "--index", "2", "--output", str(gif)]) == 0
    animation = Image.open(gif)
    assert animation.n_frames == len(piece_ends(history)) + 1
    # A game where a player lays pieces alone: a frame for each of them.
    alone = [json.loads(line)["history"] for line in gzip.open(seeded_file, "rt")][0]
    assert main(["render", str(seeded_file), "--output", str(gif), "--overwrite"]) == 0
    assert Image.open(gif).n_frames == len(piece_ends(alone)) + 1 > len(turn_ends(alone)) + 1
    animation.seek(animation.n_frames - 1)
    assert_board(animation.convert("RGB"), replayed_owners(history, len(history)))


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
