"""The full position (planes, the piece being laid, each player's hand and retirement) against
the independent rules model, through tralix_rules and through tralix_engine's rep 3 requests;
and the training game's flags that skip forced moves and record the searched values."""

import math
import random

import numpy as np
import pytest

import tralix_engine as te
import tralix_rules as tr

import rules_model
from support import Config, Harness, tile_logits

PLANES = tr.full_plane_count
GLOBALS = tr.global_count


def model_full_position(game: rules_model.Game) -> tuple[np.ndarray, np.ndarray]:
    """What the full position must be, from the model's own bookkeeping: its planes, the
    tiles of its turn in progress, and its hands and retired players from the mover on."""
    side = game.dim
    planes = np.zeros((PLANES, side, side), np.uint8)
    planes[:5] = np.asarray(game.planes(), np.uint8)
    for tile in game.turn_tiles:
        planes[5, tile // side, tile % side] = 1
    globals_ = np.zeros((4, 22), np.uint8)
    for k in range(4):
        player = (game.current_player + k) % 4
        globals_[k, game.hands[player]] = 1
        globals_[k, 21] = game.finished[player]
    return planes, globals_.reshape(-1)


def random_history(side: int, rng: random.Random) -> list[tuple[int, int]]:
    game = rules_model.Game(side)
    while not game.is_over():
        game.apply_move(rng.choice(sorted(game.valid_tiles())))
    return game.history


@pytest.mark.parametrize("side", [5, 7, 10])
def test_the_full_position_matches_the_rules_model_at_every_tile(side):
    rng = random.Random(side)
    seen = {"half laid": 0, "retired": 0, "pieces used": 0}
    for _ in range(3 if side == 10 else 6):
        history = random_history(side, rng)
        tiles = [t for _, t in history]
        planes, globals_, players, valid = tr.replay_full(side, tiles)
        five, _, _ = tr.replay(side, tiles, 1)
        assert planes.shape == (len(tiles), PLANES, side, side)
        assert globals_.shape == (len(tiles), GLOBALS)
        assert np.array_equal(planes[:, :5], five)
        model = rules_model.Game(side)
        game = tr.Game(side)
        for i, tile in enumerate(tiles):
            expected_planes, expected_globals = model_full_position(model)
            assert np.array_equal(planes[i], expected_planes), f"position {i}"
            assert np.array_equal(globals_[i], expected_globals), f"position {i}"
            own_planes, own_globals = game.encode_full()
            assert np.array_equal(own_planes, planes[i])
            assert np.array_equal(own_globals, globals_[i])
            assert players[i] == model.current_player
            seen["half laid"] += bool(model.turn_tiles)
            seen["retired"] += any(model.finished)
            seen["pieces used"] += any(len(h) < 21 for h in model.hands)
            model.apply_move(tile)
            game.apply(tile)
    assert all(seen.values()), seen  # the games reached every case the features describe


def test_a_finished_game_has_no_piece_in_progress_and_every_player_retired():
    side = 5
    history = random_history(side, random.Random(3))
    game = tr.Game(side)
    for _, tile in history:
        game.apply(tile)
    planes, globals_ = game.encode_full()
    assert not planes[5].any()
    assert list(globals_.reshape(4, 22)[:, 21]) == [1, 1, 1, 1]


def test_rep_3_requests_are_the_full_position_as_bytes():
    side = 7
    harness = Harness(dim=side)
    queue = harness.inference_queue
    # Greedy seats: one request per tile they lay, for the position on the board.
    outcome, history = te.play_match(2, Config(dim=side, rep=3), [queue, None, queue, None],
                                     harness.pipe, seed=4)
    planes, globals_, players, _ = tr.replay_full(side, [t for _, t in history])
    expected = [planes[i].tobytes() + globals_[i].tobytes()
                for i in range(len(history)) if players[i] in (0, 2)]
    sent = [request[1] for _, request in harness.requests]
    assert all(type(item) is bytes for item in sent)
    assert sent == expected
    with pytest.raises(BaseException, match="Invalid representation type"):
        te.play_match(2, Config(dim=side, rep=4), [queue, None, None, None], harness.pipe)


def test_forced_moves_are_played_without_a_search_and_searched_values_recorded():
    side = 7
    logits = tile_logits(side)
    for skip in (True, False):
        harness = Harness(dim=side, rep=3,
                          reply=lambda h, r: (list(logits), [0.5, -0.25, 0.0, 1.0]))
        config = Config(dim=side, rep=3, sims_per_move=6, search_mode=2, sample_moves=4,
                        skip_forced_moves=skip, record_root_values=True,
                        gumbel_every_move=True)
        assert te.play_training_game(3, config, harness.result_queue, harness.inference_queue,
                                     harness.pipe) == 0
        [(_, (history, records, outcome, root_values))] = harness.results
        assert len(root_values) == len(records) == len(history)
        _, _, _, valid = tr.replay_full(side, [t for _, t in history])
        forced = valid.sum(axis=1) == 1
        assert forced.any() and not forced.all()
        for i, ((_, tile), record, values) in enumerate(zip(history, records, root_values,
                                                            strict=True)):
            if skip and forced[i]:
                assert record == [(tile, 1.0)] and values is None
                continue
            assert values is not None and len(values) == 4
            assert math.isclose(sum(values), 1.0, abs_tol=1e-5)
            assert all(v >= 0 for v in values)
    # Without the flag the result keeps its three items.
    harness = Harness(dim=side)
    assert te.play_training_game(3, Config(dim=side, search_mode=1), harness.result_queue,
                                 harness.inference_queue, harness.pipe) == 0
    assert len(harness.results[0][1]) == 3
