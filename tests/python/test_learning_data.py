"""Training samples from data files: every decision against a step-by-step game, files cut
short or malformed (one reader for training and the command line), games of another side;
and the board's symmetries, checked against the rules engine and the rules model on
transformed positions."""

import gzip
import json
import logging
import math

import numpy as np
import pytest

import tralix_rules
from tralix_harness.cli import main
from tralix_harness.data.records import GameWriter, read_games
from tralix_harness.data.samples import DataError, pack_bits, read_data_file, unpack_bits
from tralix_harness.data.symmetries import Batch, make_batch, turn_boards, turn_tile
from tralix_harness.data.window import Window
from tralix_harness.learning.lookahead import lookahead_targets

import rules_model
from support import training_game_lines, write_data_file

SIDE = 6


@pytest.fixture(scope="module")
def lines():
    return training_game_lines(SIDE, 6, sims=4)


def _dense_batch(contents, side):
    pool = Window(side, 1000)
    for game in contents.games:
        pool.add([game], None)
    samples = pool.pool()
    return make_batch(samples, np.arange(len(samples)), side, 1.0), samples


def test_each_decision_becomes_a_sample_of_its_position(tmp_path, lines):
    # One game without simulations: its records have no shares.
    no_search = training_game_lines(SIDE, 1, sims=0)[0]
    path = write_data_file(tmp_path / "games.jsonl.gz", lines[:3] + [no_search])
    contents = read_data_file(path, SIDE)
    assert len(contents.games) == 4 and not contents.cut_short
    batch, samples = _dense_batch(contents, SIDE)
    row = 0
    for line in lines[:3] + [no_search]:
        game = json.loads(line)
        step = tralix_rules.Game(SIDE)
        for (player, tile), record in zip(game["history"], game["records"], strict=True):
            assert np.array_equal(batch.planes[row], step.encode(1))
            assert samples.mover[row] == player == step.current_player
            assert batch.value[row].tolist() == [game["outcome"][(player + j) % 4]
                                                 for j in range(4)]
            target = dict.fromkeys(range(SIDE * SIDE), 0.0)
            target.update({t: s for t, s in record if s is not None})
            assert batch.policy[row] == pytest.approx(
                [target[t] for t in range(SIDE * SIDE)], abs=1e-3)
            has_shares = record[0][1] is not None
            assert batch.policy_mask[row] == (has_shares and len(step.valid_tiles()) > 1)
            step.apply(tile)
            row += 1
    assert row == len(samples)
    assert not batch.policy_mask[-len(json.loads(no_search)["history"]):].any()


def test_temperature_sharpens_targets(tmp_path, lines):
    path = write_data_file(tmp_path / "games.jsonl.gz", lines[:2])
    contents = read_data_file(path, SIDE)
    _, samples = _dense_batch(contents, SIDE)
    index = np.arange(len(samples))
    plain = make_batch(samples, index, SIDE, 1.0).policy
    sharp = make_batch(samples, index, SIDE, 0.5).policy
    expected = plain ** 2 / (plain ** 2).sum(axis=1, keepdims=True)
    assert sharp == pytest.approx(expected, abs=1e-6)


# ----- files cut short, malformed, of another side --------------------------------------------


def test_a_file_cut_short_keeps_its_complete_games(tmp_path, lines, caplog):
    whole = write_data_file(tmp_path / "whole.jsonl.gz", lines)
    complete = read_data_file(whole, SIDE).games
    data = whole.read_bytes()
    # A run killed while writing: the compressed stream stops anywhere.
    for cut in (len(data) // 3, len(data) // 2, len(data) - 9):
        path = tmp_path / f"cut{cut}.jsonl.gz"
        path.write_bytes(data[:cut])
        with caplog.at_level(logging.WARNING):
            caplog.clear()
            contents = read_data_file(path, SIDE)
        assert contents.cut_short
        kept = len(contents.games)
        assert kept == len(lines) if cut == len(data) - 9 else kept < len(lines)
        for got, want in zip(contents.games, complete, strict=False):
            assert np.array_equal(got.planes, want.planes)
        assert f"kept its {kept} complete game(s)" in caplog.text and str(path) in caplog.text
    # A last line without its newline.
    path = write_data_file(tmp_path / "half.jsonl.gz", lines[:3] + [lines[3][:50]],
                           newline=False)
    with caplog.at_level(logging.WARNING):
        caplog.clear()
        contents = read_data_file(path, SIDE)
    assert contents.cut_short and len(contents.games) == 3
    assert "skipped 50 bytes of an unfinished line" in caplog.text


def test_one_reader_serves_training_and_the_command_line(tmp_path, lines, caplog):
    # Two gzip members, as --append leaves them; then the second cut inside a game.
    path = tmp_path / "games.jsonl.gz"
    with GameWriter(path) as writer:
        for line in lines[:2]:
            writer.write(line)
    with GameWriter(path, append=True) as writer:
        for line in lines[2:]:
            writer.write(line)
    assert [g["id"] for g in read_games(path)] == [json.loads(line)["id"] for line in lines]
    assert len(read_data_file(path, SIDE).games) == len(lines)
    data = path.read_bytes()
    path.write_bytes(data[:len(data) - 200])
    with caplog.at_level(logging.WARNING):
        caplog.clear()
        games = list(read_games(path))
        contents = read_data_file(path, SIDE)
    assert 2 <= len(games) == len(contents.games) < len(lines) and contents.cut_short
    assert [g["id"] for g in games] == [json.loads(line)["id"] for line in lines[:len(games)]]
    warnings = [r.getMessage() for r in caplog.records]
    assert len(warnings) == 2 and all(
        w.startswith(f"{path} is cut short") and f"kept its {len(games)} complete game(s)" in w
        for w in warnings)


SOUND_LINE = training_game_lines(5, 1)[0].encode()


@pytest.mark.parametrize("content, reason", [
    (b"not a gzip file\n", "the file is not readable gzip data"),
    (gzip.compress(SOUND_LINE + b'\n{"id": \n'), "line 2: not a JSON line"),
    (gzip.compress(SOUND_LINE + b"\n" + b"[" * 100_000 + b"]" * 100_000 + b"\n"),
     "line 2: not a JSON line"),
])
def test_show_refuses_an_unreadable_file_with_one_line(tmp_path, capsys, content, reason):
    path = tmp_path / "games.jsonl.gz"
    path.write_bytes(content)
    assert main(["show", str(path), "--index", "1"]) == 2
    out, err = capsys.readouterr()
    assert out == "" and err.startswith(f"tralix: not a data file: {path}, line ") and reason in err
    assert len(err.splitlines()) == 1


def _replace(line, **changes):
    game = json.loads(line)
    game.update(changes)
    return json.dumps(game)


@pytest.mark.parametrize("make_bad, reason", [
    (lambda line: line[: len(line) // 2], "not a JSON line"),
    (lambda line: "[" * 100_000 + "]" * 100_000, "not a JSON line"),  # too deep to decode
    (lambda line: "[1, 2]", "no board side"),
    (lambda line: _replace(line, history=[[0, 35]] + json.loads(line)["history"][1:]),
     "does not replay"),
    (lambda line: _replace(line, history=[[1, t] for _, t in json.loads(line)["history"]]),
     "not the players to move"),
    (lambda line: _replace(line, records=json.loads(line)["records"][1:]), "one per tile"),
    (lambda line: _replace(line, records=[[[35, 1.0]]] + json.loads(line)["records"][1:]),
     "not valid"),
    (lambda line: _replace(line, records=[[[math.inf, 1.0]]] + json.loads(line)["records"][1:]),
     "other than \\[tile, share\\] pairs"),
    (lambda line: _replace(line, outcome=[1, 1, 0, 0]), "adding up to 1"),
    (lambda line: _replace(line, records=[[[t, 2 * s] for t, s in r]
                                          for r in json.loads(line)["records"]]),
     "add up to"),
])
def test_a_malformed_game_names_the_file_and_line(tmp_path, lines, make_bad, reason):
    path = write_data_file(tmp_path / "bad.jsonl.gz", [lines[0], make_bad(lines[1]), lines[2]])
    with pytest.raises(DataError, match=reason) as error:
        read_data_file(path, SIDE)
    assert str(error.value).startswith(f"{path}, line 2: ")


def test_corrupt_compressed_data_is_an_error_not_a_cut(tmp_path, lines):
    data = bytearray(write_data_file(tmp_path / "whole.jsonl.gz", lines).read_bytes())
    for i in range(40, 80):
        data[i] ^= 0xFF
    path = tmp_path / "corrupt.jsonl.gz"
    path.write_bytes(bytes(data))
    with pytest.raises(DataError, match="not readable gzip data"):
        read_data_file(path, SIDE)
    path.write_bytes(b"plain text\n")
    with pytest.raises(DataError, match=f"{path}, line 1: the file is not readable gzip"):
        read_data_file(path, SIDE)


def test_games_of_another_side_are_skipped(tmp_path, lines, caplog):
    other = training_game_lines(5, 2, sims=2)
    path = write_data_file(tmp_path / "mixed.jsonl.gz", other + lines[:2])
    with caplog.at_level(logging.WARNING):
        contents = read_data_file(path, SIDE)
    assert len(contents.games) == 2 and contents.other_side == 2
    assert "skipped 2 of side 5 (this run plays side 6)" in caplog.text
    assert read_data_file(path, 5).other_side == 2


def test_the_window_keeps_the_latest_games_and_rebuilds_from_its_sources(tmp_path, lines):
    first = write_data_file(tmp_path / "a.jsonl.gz", lines[:4])
    second = write_data_file(tmp_path / "b.jsonl.gz", lines[4:])
    window = Window(SIDE, 3)
    window.add_file(first)
    window.add_file(second)
    assert window.games == 3 and window.total_games == 6
    latest = read_data_file(first, SIDE).games[3:] + read_data_file(second, SIDE).games
    assert np.array_equal(window.pool().planes,
                          np.concatenate([g.planes for g in latest]))
    rebuilt = Window.restore(SIDE, 3, window.sources)
    assert np.array_equal(rebuilt.pool().planes, window.pool().planes)
    assert np.array_equal(rebuilt.pool().shares, window.pool().shares)
    with gzip.open(second, "wt") as f:
        f.write(lines[4] + "\n")
    with pytest.raises(DataError, match="fewer than the 2 it gave before"):
        Window.restore(SIDE, 3, window.sources)


# ----- symmetries ----------------------------------------------------------------------------


def _model_planes(side, history, seat_map, tile_map):
    """The planes of the position after ``history`` on a board whose tiles are moved by
    ``tile_map`` and whose seats are renamed by ``seat_map``, worked out by the rules model
    from the transformed board alone (each seat keeping its pieces in hand)."""
    _, mover, owner, turn, placements = rules_model.moved_position(
        side, history, seat_map, tile_map)
    planes = np.zeros((5, side * side), np.float32)
    for tile, seat in enumerate(owner):
        if seat is not None:
            planes[(seat - mover) % 4, tile] = 1
    for tile in set().union(*placements) - turn:
        planes[4, tile] = 1
    return planes.reshape(5, side, side)


def test_turned_and_mirrored_samples_are_positions_of_the_rules(tmp_path, lines):
    """Planes, policy, value and ownership targets, against the rules model's positions."""
    path = write_data_file(tmp_path / "games.jsonl.gz", lines[:2])
    contents = read_data_file(path, SIDE)
    batch, _ = _dense_batch(contents, SIDE)
    histories = [json.loads(line)["history"] for line in lines[:2]]
    positions = [(g, i) for g, h in enumerate(histories) for i in range(0, len(h), 7)]
    offsets = np.cumsum([0] + [len(h) for h in histories])
    rows = np.array([offsets[g] + i for g, i in positions])
    chosen = Batch(batch.planes[rows], batch.policy[rows], batch.policy_mask[rows],
                   batch.value[rows], batch.ownership[rows])
    n = len(rows)
    finals = [rules_model.replay(SIDE, h).owner for h in histories]

    def check(transformed, seat_map, tile_map):
        for row, (g, i) in enumerate(positions):
            expected = _model_planes(SIDE, histories[g][:i], seat_map, tile_map)
            assert np.array_equal(transformed.planes[row], expected), (g, i)
            # The ownership target: the rules model's final board, moved and renamed, counted
            # from the player to move.
            mover = seat_map(rules_model.replay(SIDE, histories[g][:i]).current_player)
            owners = np.full(SIDE * SIDE, 4)
            for tile, seat in enumerate(finals[g]):
                if seat is not None:
                    owners[tile_map(tile)] = (seat_map(seat) - mover) % 4
            assert np.array_equal(transformed.ownership[row], owners), (g, i)
            # The policy target moves with the tiles, onto valid tiles only.
            for tile in range(SIDE * SIDE):
                assert transformed.policy[row, tile_map(tile)] == chosen.policy[row, tile]
            assert not transformed.policy[row][expected[4].reshape(-1) == 0].any()

    for k in range(4):
        turned = chosen.turned(np.full(n, k))
        check(turned, lambda seat, k=k: (seat + k) % 4,
              lambda tile, k=k: turn_tile(tile, SIDE, k))
        assert np.array_equal(turned.value, chosen.value)
    mirrored = chosen.reflected(np.ones(n, bool))
    check(mirrored, lambda seat: -seat % 4,
          lambda tile: (tile % SIDE) * SIDE + tile // SIDE)
    assert np.array_equal(mirrored.value, chosen.value[:, [0, 3, 2, 1]])


def test_turned_openings_match_the_rules_engine():
    """On side 10 the first pieces of the four seats cannot meet, so each seat's first turn,
    tile by tile, turned onto another seat's corner, must be that seat's first turn."""
    side = 10
    rng = np.random.default_rng(7)
    game = tralix_rules.Game(side)
    openings = []  # (seat, tiles laid so far in its turn, planes)
    while len(game.history) == 0 or game.history[-1][0] < 3 or game.current_player == 3:
        turn = [t for p, t in game.history if p == game.current_player]
        openings.append((game.current_player, turn, game.encode(1)))
        game.apply(int(rng.choice(game.valid_tiles())))
    for seat, turn, planes in openings:
        for k in (1, 2, 3):
            target = (seat + k) % 4
            other = tralix_rules.Game(side)
            while other.current_player != target:  # earlier seats lay any first piece
                other.apply(other.valid_tiles()[0])
            for tile in turn:
                other.apply(turn_tile(tile, side, k))
            turned = turn_boards(planes, k)
            expected = other.encode(1)
            assert np.array_equal(turned[0], expected[0])
            assert np.array_equal(turned[4], expected[4]), (seat, turn, k)


def test_packed_planes_and_turns_round_trip():
    rng = np.random.default_rng(3)
    planes = (rng.random((7, 5, 5, 5)) < 0.4).astype(np.uint8)

    assert np.array_equal(unpack_bits(pack_bits(planes), 5), planes)
    assert np.array_equal(turn_boards(turn_boards(planes, 1), 3), planes)
    assert all(turn_tile(turn_tile(t, 5, 1), 5, 3) == t for t in range(25))


# ----- look-ahead targets ---------------------------------------------------------------------


def _tile_shares(planes):
    """A value function that reads the planes: each seat's share of the tiles laid (plus one),
    player to move first."""
    counts = planes[:, :4].sum(axis=(2, 3)) + 1.0
    return counts / counts.sum(axis=1, keepdims=True)


def test_lookahead_targets_value_each_tile_for_the_player_who_lays_it(lines):
    # Counted independently from each position's history, in absolute seats: a target that
    # read the value vector from the wrong seat (the next player's after a piece is complete)
    # or mixed up the decisions would differ.
    tiles = [tile for _, tile in json.loads(lines[0])["history"]]
    temperature = 0.05
    targets = lookahead_targets(_tile_shares, SIDE, tiles, temperature)
    game = tralix_rules.Game(SIDE)
    for target, played in zip(targets, tiles, strict=True):
        mover = game.current_player
        worth = []
        for tile in game.valid_tiles():
            child = game.copy()
            child.apply(tile)
            laid = [player for player, _ in child.history]
            worth.append(child.outcome()[mover] if child.is_over()
                         else (laid.count(mover) + 1) / (len(laid) + 4))
        shares = np.exp((np.array(worth) - max(worth)) / temperature)
        assert [t for t, _ in target] == game.valid_tiles()
        assert [s for _, s in target] == pytest.approx(shares / shares.sum(), abs=1e-5)
        game.apply(played)


def test_lookahead_targets_replace_visit_shares_unsharpened(tmp_path, lines):
    game = json.loads(lines[1])
    tiles = [tile for _, tile in game["history"]]
    game["lookahead"] = lookahead_targets(_tile_shares, SIDE, tiles, 0.05)
    path = write_data_file(tmp_path / "games.jsonl.gz", [json.dumps(game)])
    for lookahead, records in ((True, game["lookahead"]), (False, game["records"])):
        samples = read_data_file(path, SIDE, lookahead=lookahead).games[0]
        batch = make_batch(samples, np.arange(len(samples)), SIDE, 0.5)
        for row, record in enumerate(records):
            target = np.zeros(SIDE * SIDE)
            target[[t for t, _ in record]] = [s or 0.0 for _, s in record]
            if not lookahead and target.sum() > 0:
                target = target ** 2 / (target ** 2).sum()
            assert batch.policy[row] == pytest.approx(target, abs=2e-3)
    game["lookahead"][3] = [[tiles[3], 1.0], [SIDE * SIDE - 1, 0.0]]
    write_data_file(path, [json.dumps(game)])
    with pytest.raises(DataError, match=r"line 1: look-ahead target 3 names a tile that was "
                                        "not valid"):
        read_data_file(path, SIDE)
