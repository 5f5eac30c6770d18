"""Whole pieces for the play page and the pieces the viewer names, checked against the Python
rules model and the rules engine over random games: the whole pieces a seat may lay are
exactly the model's legal placements that no other candidate of the turn extends (at the
start of a turn and in the middle of one), each laid on the engine in the order given ends the
turn with that piece out of the hand, and every refused placement gets its reason."""

from __future__ import annotations

import random

import pytest

import tralix_rules as tr
from tralix_harness.viewer import placing
from tralix_harness.viewer.pieces import (
    ORIENTATIONS,
    PIECE_COUNT,
    hands,
    laid_pieces,
    piece_of,
)

import rules_model


def engine_hands(game):
    """Each seat's hand as the engine's full position holds it (22 features a seat from the
    one to move: a flag per catalogue piece in hand, then whether it is retired)."""
    _, features = game.encode_full()
    first = game.current_player
    return [[p for p in range(PIECE_COUNT) if features[22 * ((seat - first) % 4) + p]]
            for seat in range(4)]


def maximal(candidates):
    return {(p, t) for p, t in candidates if not any(t < u for _, u in candidates)}


def random_games(sides, games, seed):
    """(engine game, model game) pairs at every position of random games."""
    rng = random.Random(seed)
    for side in sides:
        for _ in range(games):
            game, model = tr.Game(side), rules_model.Game(side)
            while not game.is_over():
                yield game, model
                tile = rng.choice(sorted(game.valid_tiles()))
                game.apply(tile)
                model.apply_move(tile)
            yield game, model


def test_whole_pieces_are_the_candidates_no_other_extends_and_end_the_turn():
    checked = mid_turn = 0
    for game, model in random_games((5, 6, 9, 13), 3, seed=5):
        if game.is_over():
            assert placing.whole_pieces(game, range(PIECE_COUNT)) == []
            continue
        if model.turn_tiles:
            # In a turn: the placements left are those covering every tile laid so far.
            candidates = set().union(*model.valid_moves.values())
            mid_turn += 1
        elif checked % 3 == 0:
            candidates = model.legal_placements(model.current_player)
        else:
            checked += 1
            continue
        checked += 1
        hand = model.hands[model.current_player]
        found = placing.whole_pieces(game, hand)
        expected = maximal({(p, frozenset(t)) for p, t in candidates})
        assert {(w.piece, frozenset(w.tiles)) for w in found} == expected
        assert len(found) == len(expected)
        for whole in found[:3]:
            copy = game.copy()
            seat = copy.current_player
            assert placing.lay_whole(copy, whole.piece, whole.tiles) == whole.order
            for tile in whole.order:
                copy.apply(tile)
            assert whole.piece not in engine_hands(copy)[seat]
            assert sorted(t for p, t in copy.history[-len(whole.order):]) == sorted(
                whole.order) and all(p == seat for p, _ in copy.history[-len(whole.order):])
    assert checked > 100 and mid_turn > 30


def test_laid_pieces_name_each_piece_the_rules_complete():
    for game, _ in random_games((5, 7, 12, 20), 2, seed=9):
        if len(game.history) % 7 and not game.is_over():
            continue
        players = [p for p, _ in game.history]
        tiles = [t for _, t in game.history]
        pieces = laid_pieces(game.side, players, tiles, tr.piece_ends(game.side, tiles))
        assert hands(pieces) == engine_hands(game)
    with pytest.raises(ValueError, match="not one seat's piece"):
        laid_pieces(6, [0, 0], [0, 2], [2])  # two squares apart are no piece


def test_orientations_are_the_catalogues():
    counts = [len(o) for o in ORIENTATIONS]
    assert counts == [1, 2, 4, 2, 2, 8, 4, 1, 4, 2, 8, 8, 8, 4, 4, 4, 4, 8, 1, 8, 4]
    model = [[tuple(sorted(s)) for s in shapes] for shapes in rules_model.ORIENTATIONS]
    assert [sorted(o) for o in ORIENTATIONS] == [sorted(m) for m in model]
    for piece, shapes in enumerate(ORIENTATIONS):
        for shape in shapes:
            assert piece_of(20, [r * 20 + c + 43 for r, c in shape]) == piece


def lay(side, tiles):
    game = tr.Game(side)
    for tile in tiles:
        game.apply(tile)
    return game


@pytest.mark.parametrize("tiles, piece, placed, reason", [
    # Seat 0's first turn on side 8: the single square on its corner is inside larger pieces.
    ([], 0, [0], "the rules would not end your turn there: these squares are part of a larger "
                 "piece you could still lay"),
    ([], 9, [1, 2, 3, 4, 5], "your first piece must cover your corner square, row 0, column 0"),
    ([], 4, [0, 1, 2, 3], "a turn ends only on a piece that no piece in your hand could extend"),
    ([], 9, [0, 1, 2, 3], "these squares are not the shape of piece I5"),
])
def test_refusals_of_a_first_piece_name_the_rule(tiles, piece, placed, reason):
    game = lay(8, tiles)
    hand = engine_hands(game)[game.current_player]
    assert placing.lay_whole(game, piece, placed) is None
    assert reason in placing.refusal(game, hand, piece, placed)


def test_refusals_in_a_game_under_way():
    side = 8
    # Seat 0: I5 along row 0; seat 1: I5 down column 7; seat 2: I5 along row 7 from the
    # right; seat 3: I5 up column 0 from the bottom.
    tiles = [0, 1, 2, 3, 4, 7, 15, 23, 31, 39, 63, 62, 61, 60, 59, 56, 48, 40, 32, 24]
    game = lay(side, tiles)
    assert game.current_player == 0
    hand = engine_hands(game)[0]
    assert 9 not in hand
    cases = [
        (9, [9, 10, 11, 12, 13], "piece I5 is not in your hand any more"),
        (3, [12, 20, 28], "row 1, column 4 would touch one of your pieces along an edge"),
        (3, [18, 26, 34], "your piece must touch one of your pieces at a corner"),
        (4, [4, 12, 20, 28], "row 0, column 4 is taken"),
    ]
    for piece, placed, reason in cases:
        assert placing.lay_whole(game, piece, placed) is None, placed
        assert reason in placing.refusal(game, hand, piece, placed), placed
    # A square laid by itself starts a piece: a whole piece must then cover it.
    whole = placing.whole_pieces(game, hand)
    start = next(t for t in whole[0].tiles if not all(t in w.tiles for w in whole))
    game.apply(start)
    assert all(start in w.tiles for w in placing.whole_pieces(game, hand))
    other = next(w for w in whole if start not in w.tiles)
    assert placing.lay_whole(game, other.piece, other.tiles) is None
    assert f"must cover the squares you laid this turn ({placing.where(start, side)}" in \
        placing.refusal(game, hand, other.piece, other.tiles)
