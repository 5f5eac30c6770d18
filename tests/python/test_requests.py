"""The inference requests the module puts on the harness's queues: their Python types, the
two layouts of the planes, and the positions they encode."""

import pytest

import rules_model
from support import (
    Config,
    Harness,
    logits_reply,
    plane_tiles,
    planes_first,
    predicted_greedy_game,
    smallest_valid_reply,
    tile_logits,
    zero_reply,
)

FIRST_TURN_TILES_20 = {r * 20 + c for r in range(20) for c in range(20) if r + c <= 4}


def _check_types(request, dim, rep):
    """The request is a 2-tuple (int id, nested lists of bools) of the layout's shape."""
    assert type(request) is tuple and len(request) == 2
    assert type(request[0]) is int
    planes = request[1]
    shape = (5, dim, dim) if rep == 1 else (dim, dim, 5)
    assert type(planes) is list and len(planes) == shape[0]
    for outer in planes:
        assert type(outer) is list and len(outer) == shape[1]
        for inner in outer:
            assert type(inner) is list and len(inner) == shape[2]
            for value in inner:
                assert type(value) is bool


@pytest.mark.parametrize("rep", [1, 2])
def test_first_request_on_side_20(rep):
    def refuse(harness, request):
        raise ConnectionError("stop after the first request")

    h = Harness(dim=20, rep=rep, reply=refuse)
    assert h.vs_random(Config(dim=20, rep=rep), id=-5) == 1
    assert len(h.requests) == 1
    name, request = h.requests[0]
    assert name == "inference"
    _check_types(request, 20, rep)
    assert request[0] == -5
    planes = planes_first(request[1], rep)
    for k in range(4):
        assert plane_tiles(planes[k]) == set()
    assert plane_tiles(planes[4]) == FIRST_TURN_TILES_20
    # The values are the bool singletons.
    flat = [v for outer in request[1] for inner in outer for v in inner]
    assert all(v is True or v is False for v in flat)
    assert sum(flat) == 15 and len(flat) == 5 * 20 * 20


@pytest.mark.parametrize("rep", [1, 2])
@pytest.mark.parametrize("kind", ["training", "vs_random"])
def test_every_request_of_a_game_has_the_layout(kind, rep):
    h = Harness(dim=6, rep=rep, reply=zero_reply if kind == "training" else smallest_valid_reply)
    assert getattr(h, kind)(Config(dim=6, rep=rep), id=12) == 0
    assert h.requests
    for name, request in h.requests:
        assert name == "inference"
        _check_types(request, 6, rep)
        assert request[0] == 12


def test_channels_last_is_the_transpose_of_planes_first():
    """Both layouts of the same deterministic test game carry the same numbers."""
    logits = tile_logits(20)
    runs = {}
    for rep in (1, 2):
        h = Harness(dim=20, rep=rep, reply=logits_reply(logits))
        h.test_game(Config(dim=20, rep=rep))
        runs[rep] = h.requests
    assert len(runs[1]) == len(runs[2]) > 0
    for (name1, (_, a)), (name2, (_, b)) in zip(runs[1], runs[2], strict=True):
        assert name1 == name2
        for k in range(5):
            for r in range(20):
                for c in range(20):
                    assert b[r][c][k] == a[k][r][c]


@pytest.mark.parametrize("rep", [1, 2])
def test_requests_encode_each_position_from_the_movers_point_of_view(rep):
    """A deterministic test game, replayed by the rules: every request is the position of the
    seat to move, its tiles in plane 0, the next seats' in planes 1 to 3, its valid tiles in
    plane 4."""
    logits = tile_logits(20)
    game, positions = predicted_greedy_game(20, logits)
    h = Harness(dim=20, rep=rep, reply=logits_reply(logits))
    h.test_game(Config(dim=20, rep=rep))
    assert len(h.requests) == len(positions)
    for (name, _), planes, (seat, expected) in zip(h.requests, h.planes, positions, strict=True):
        assert name == ("model" if seat == 0 else "baseline")
        assert planes == expected


def test_mid_turn_request_after_the_first_tile():
    """After seat 0 lays tile 0 it is still its turn; the next request shows tile 0 as the
    mover's and the narrowed candidates in plane 4."""
    policy = [0.0] * 400
    policy[0] = 50.0  # the corner is the clear favourite on the first request

    h = Harness(dim=20, reply=logits_reply(policy))
    h.test_game(Config(dim=20))
    second = h.planes[1]
    assert h.requests[1][0] == "model"
    assert plane_tiles(second[0]) == {0}
    assert all(plane_tiles(second[k]) == set() for k in (1, 2, 3))
    assert plane_tiles(second[4]) == FIRST_TURN_TILES_20 - {0}


def test_rules_model_agrees_with_the_first_turn_examples():
    # The replays rely on this model; pin it to the rules' worked examples first.
    game = rules_model.Game(20)
    assert game.valid_tiles() == FIRST_TURN_TILES_20
    assert len(game.legal_placements(0)) == 58
    for tile in (0, 1, 2, 3):
        game.apply_move(tile)
    assert game.valid_tiles() == {4, 20, 21, 22, 23}
    game.apply_move(4)
    assert game.current_player == 1
    assert game.valid_tiles() == {15, 16, 17, 18, 19, 36, 37, 38, 39, 57, 58, 59, 78, 79, 99}
    planes = game.planes()
    assert plane_tiles(planes[3]) == {0, 1, 2, 3, 4}
    small = rules_model.Game(5)
    for tile in range(5):
        small.apply_move(tile)
    assert small.finished == [False, True, False, False] and small.current_player == 2
