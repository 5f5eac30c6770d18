"""The rules engine bound for Python (tralix_rules): random games against the pure-Python rules
model, replays against step-by-step games and against the self-play module's own requests and
printed boards, and the refusals of bad arguments."""

from __future__ import annotations

import copy
import random
import shutil
import subprocess
import sys
from collections.abc import Iterable
from typing import Any

import numpy as np
import pytest

import tralix_rules as tr

import rules_model
from support import Config, Harness, f32, greedy_choice, logits_reply, tile_logits, zero_reply


def _random_tiles(side: int, seed: int) -> list[int]:
    """The tiles of a whole game in which every move is a uniformly drawn valid tile."""
    rng = random.Random(seed)
    game = tr.Game(side)
    while not game.is_over():
        game.apply(rng.choice(game.valid_tiles()))
    return [t for _, t in game.history]


def _state(game: Any) -> tuple[Any, ...]:
    """Everything a game shows, to tell whether a refused call changed it."""
    return (
        game.history,
        game.current_player,
        game.valid_tiles(),
        game.scores(),
        game.is_over(),
        game.encode(1).tobytes(),
        game.board_text(),
    )


def _assert_agrees(game: Any, model: rules_model.Game) -> None:
    assert game.valid_tiles() == sorted(model.valid_tiles())
    assert game.current_player == model.current_player
    assert game.is_over() == model.is_over()
    assert game.scores() == tuple(model.scores())
    assert game.history == model.history
    planes = game.encode(1)
    assert planes.dtype == np.uint8 and planes.shape == (5, game.side, game.side)
    assert planes.tolist() == model.planes()
    assert np.array_equal(game.encode(2), planes.transpose(1, 2, 0))
    assert game.board_text() == model.board_text()


# ----- random games against the rules model -----------------------------------------------


@pytest.mark.parametrize(
    "side, seed", [(s, seed) for s in (4, 5, 6, 7, 8) for seed in range(3)] + [(20, 0)]
)
def test_random_games_agree_with_the_rules_model(side: int, seed: int) -> None:
    rng = random.Random(side * 1000 + seed)
    game, model = tr.Game(side), rules_model.Game(side)
    branch = None
    while not game.is_over():
        _assert_agrees(game, model)
        if branch is None and len(game.history) == 12:
            branch = (game.copy(), copy.deepcopy(model), _state(game))
        tile = rng.choice(game.valid_tiles())
        game.apply(tile)
        model.apply_move(tile)
    _assert_agrees(game, model)
    outcome = game.outcome()
    assert len(outcome) == 4 and all(type(v) is float for v in outcome)
    assert outcome == tuple(f32(v) for v in model.outcome())

    # A copy taken mid-game did not follow the original, and plays on by itself.
    if branch is not None:
        other, other_model, state = branch
        assert _state(other) == state
        while not other.is_over():
            tile = rng.choice(other.valid_tiles())
            other.apply(np.int64(tile))
            other_model.apply_move(tile)
            _assert_agrees(other, other_model)


def _as_inputs(tiles: list[int]) -> list[Iterable[int] | np.ndarray]:
    pairs = np.array([[7, t] for t in tiles], dtype=np.int64).reshape(-1, 2)
    return [
        tiles,
        tuple(tiles),
        iter(tiles),
        np.array(tiles, dtype=np.int64),
        np.array(tiles, dtype=np.uint16),
        np.array(tiles, dtype=">i4"),  # not the native byte order
        pairs[:, 1],  # a strided view
    ]


@pytest.mark.parametrize("side, seed", [(5, 1), (7, 2), (20, 3)])
def test_replay_records_the_position_before_each_tile(side: int, seed: int) -> None:
    tiles = _random_tiles(side, seed)
    for layout in (1, 2):
        game = tr.Game(side)
        expected = []
        for tile in tiles:
            expected.append((game.encode(layout), game.current_player, game.valid_tiles()))
            game.apply(tile)
        for sequence in _as_inputs(tiles):
            planes, players, valid = tr.replay(side, sequence, layout)
            n = len(tiles)
            shape = (n, 5, side, side) if layout == 1 else (n, side, side, 5)
            assert planes.shape == shape and planes.dtype == np.uint8
            assert players.shape == (n,) and players.dtype == np.int8
            assert valid.shape == (n, side * side) and valid.dtype == np.bool_
            for i, (encoded, player, valid_tiles) in enumerate(expected):
                assert np.array_equal(planes[i], encoded)
                assert players[i] == player
                assert np.flatnonzero(valid[i]).tolist() == valid_tiles
    # A prefix replays as a prefix, an empty sequence as nothing.
    planes, players, valid = tr.replay(side, tiles[:9], 2)
    assert np.array_equal(planes, tr.replay(side, tiles, 2)[0][:9])
    empty = tr.replay(side, [], 1)
    assert [a.shape for a in empty] == [(0, 5, side, side), (0,), (0, side * side)]


def test_piece_ends_are_where_the_rules_model_completes_a_piece() -> None:
    """piece_ends against the model's own bookkeeping (its tiles of the turn in progress) over
    random games of several sides, among them pieces laid one after another by a player left
    alone, whose turn never passes between them."""
    alone = 0
    for side, seed in [(s, seed) for s in (4, 5, 6, 7, 9) for seed in range(4)] + [(20, 1)]:
        tiles = _random_tiles(side, seed)
        model = rules_model.Game(side)
        expected = []
        for i, tile in enumerate(tiles):
            model.apply_move(tile)
            if not model.turn_tiles:
                expected.append(i + 1)
        for sequence in _as_inputs(tiles)[:4]:
            ends = tr.piece_ends(side, sequence)
            assert ends.dtype == np.int32 and ends.tolist() == expected
        players = tr.replay(side, tiles)[1]
        alone += sum(1 for e in expected[:-1] if players[e] == players[e - 1])
        assert tr.piece_ends(side, tiles[:7]).tolist() == [e for e in expected if e <= 7]
    assert alone > 0
    assert tr.piece_ends(5, []).tolist() == []
    with pytest.raises(ValueError, match=r"^tile 1 of the sequence \(value 0\) is not valid"):
        tr.piece_ends(5, [0, 0])
    with pytest.raises(ValueError, match="side 3"):
        tr.piece_ends(3, [])


# ----- what the self-play module sends and prints -----------------------------------------


@pytest.mark.parametrize("rep", [1, 2])
def test_replay_matches_the_requests_and_board_of_a_test_game(capfd: Any, rep: int) -> None:
    """A test game in which both networks favour the same fixed order of tiles is played by
    greedy choices; every request is the position before one of its tiles, in order."""
    logits = tile_logits(20)
    game = tr.Game(20)
    while not game.is_over():
        game.apply(greedy_choice(game.valid_tiles(), logits))
    tiles = [t for _, t in game.history]

    h = Harness(dim=20, rep=rep, reply=logits_reply(logits))
    h.test_game(Config(dim=20, rep=rep))
    assert capfd.readouterr().out == "Finished Game\n" + game.board_text()
    planes, players, _ = tr.replay(20, tiles, rep)
    assert len(h.requests) == len(tiles)
    for i, (name, request) in enumerate(h.requests):
        assert name == ("model" if players[i] == 0 else "baseline")
        assert np.array_equal(np.array(request[1], dtype=np.uint8), planes[i])


@pytest.mark.parametrize("rep", [1, 2])
@pytest.mark.parametrize("side", [5, 6, 9])
def test_replay_matches_the_requests_of_training_games(side: int, rep: int) -> None:
    """With one simulation per move the search evaluates only positions of the game itself:
    the first request is the start, and each later one the child its simulation chose, which
    is the next move. So request k is the position before tile k."""
    h = Harness(dim=side, rep=rep, reply=zero_reply)
    for game_id in range(3):
        h.requests.clear()
        h.result_queue.items.clear()
        assert h.training(Config(dim=side, rep=rep, sims_per_move=1), id=game_id) == 0
        history = h.results[0][1][0]
        planes, players, _ = tr.replay(side, [t for _, t in history], rep)
        assert [p for p, _ in history] == players.tolist()
        assert len(h.requests) == len(history)
        for (_, request), expected in zip(h.requests, planes, strict=True):
            assert np.array_equal(np.array(request[1], dtype=np.uint8), expected)


# ----- refusals -----------------------------------------------------------------------------


def test_bad_sides_and_layouts() -> None:
    for side in (3, 257, 0, -4, 2**70):
        with pytest.raises(ValueError, match=f"side {side} is not supported"):
            tr.Game(side)
        with pytest.raises(ValueError, match=f"side {side} is not supported"):
            tr.replay(side, [])
    for not_int in (20.0, "20", True, None):
        with pytest.raises(TypeError, match="side must be an int"):
            tr.Game(not_int)
    assert tr.Game(np.int16(4)).side == 4 and tr.Game(256).side == 256
    game = tr.Game(6)
    for layout in (0, 3, -1):
        with pytest.raises(ValueError, match=f"layout must be 1 .* not {layout}"):
            game.encode(layout)
        with pytest.raises(ValueError, match=f"not {layout}"):
            tr.replay(6, [0], layout)
    with pytest.raises(TypeError):
        game.encode(True)
    with pytest.raises(ValueError, match="not over"):
        game.outcome()


def test_refused_tiles_leave_the_game_unchanged() -> None:
    tiles = _random_tiles(7, 11)
    game = tr.Game(7)
    for tile in tiles[:10]:
        game.apply(tile)
    free = set(range(49)) - {t for _, t in game.history}
    not_valid = min(free - set(game.valid_tiles()))
    before = _state(game)
    player = game.current_player
    for refused in (tiles[0], not_valid, -1, 49, 2**32 + tiles[10], 2**70, np.int64(-3)):
        with pytest.raises(ValueError) as info:
            game.apply(refused)
        assert str(info.value) == f"Invalid move - Player {player}, Tile {refused}"
        assert _state(game) == before
    for not_int in (float(tiles[10]), str(tiles[10]), None, True, np.float64(tiles[10])):
        with pytest.raises(TypeError, match="tile must be an int"):
            game.apply(not_int)
        assert _state(game) == before

    # After the end every tile is refused.
    for tile in tiles[10:]:
        game.apply(tile)
    assert game.is_over() and game.valid_tiles() == []
    with pytest.raises(ValueError, match=f"Invalid move - Player {game.current_player}, Tile 0"):
        game.apply(0)


def test_replay_names_the_first_refused_tile() -> None:
    tiles = _random_tiles(6, 5)
    assert len(tiles) > 20
    for k, bad in ((0, 35), (13, tiles[2]), (20, -5), (17, 36), (9, 2**64 - 1), (3, 2**70)):
        sequence: list[int] = tiles[:k] + [bad] + tiles[k + 1 :]
        game = tr.Game(6)
        for tile in tiles[:k]:
            game.apply(tile)
        expected = (
            f"tile {k} of the sequence (value {bad}) is not valid: "
            f"Invalid move - Player {game.current_player}, Tile {bad}"
        )
        inputs: list[Any] = [sequence]
        if -(2**63) <= bad < 2**63:
            inputs.append(np.array(sequence, dtype=np.int64))
        if 0 <= bad < 2**64:
            inputs.append(np.array(sequence, dtype=np.uint64))
        for given in inputs:
            refs = sys.getrefcount(given)
            with pytest.raises(ValueError) as info:
                tr.replay(6, given)
            assert str(info.value) == expected
            assert sys.getrefcount(given) == refs
    # A tile after the end, and values that are not ints, with their index.
    with pytest.raises(ValueError, match=f"tile {len(tiles)} of the sequence"):
        tr.replay(6, tiles + [tiles[0]])
    for not_int in (1.5, True, "3", None):
        with pytest.raises(TypeError, match="tile 2 of the sequence must be an int"):
            tr.replay(6, [0, 1, not_int])
    with pytest.raises(TypeError, match="tile 0 of the sequence must be an int"):
        tr.replay(6, np.array([0, 1], dtype=np.bool_))
    with pytest.raises(TypeError):
        tr.replay(6, 5)


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm from binutils")
def test_the_initialiser_is_the_only_exported_symbol() -> None:
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", tr.__file__], capture_output=True, text=True, check=True
    ).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == ["PyInit_tralix_rules"]
