"""tralix_engine.search_position: one move searched from a given position, with what the search
found, checked against the improved policy recomputed from its children and against the
search's visit budget."""

import math

import pytest

import tralix_engine as te
import tralix_rules as tr

from support import Config, Harness, planes_reply

SIDE = 7


def valued(planes):
    """Policy and value scores that differ from position to position."""
    cells = [v for plane in planes for row in plane for v in row]
    weight = sum((i % 17) * v for i, v in enumerate(cells))
    policy = [((t * 31 + weight) % 23) / 7.0 for t in range(SIDE * SIDE)]
    return policy, [float((weight * (k + 2)) % 7) / 3.0 for k in range(4)]


def search(position, **settings):
    harness = Harness(dim=SIDE, reply=planes_reply(valued))
    config = Config(dim=SIDE, **settings)
    result = te.search_position(1, config, position, harness.inference_queue, harness.pipe,
                                seed=3)
    return result, harness


def improved_policy(children, min_spread=1e-8):
    """softmax(log prior + transformed completed value), computed here from the children."""
    values = [c for _, _, _, c in children]
    low, high = min(values), max(values)
    scale = (50 + max(v for _, _, v, _ in children)) * 0.1
    logits = [math.log(p) + scale * (c - low) / max(high - low, min_spread)
              for _, p, _, c in children]
    top = max(logits)
    weights = [math.exp(x - top) for x in logits]
    return [w / sum(weights) for w in weights]


def test_the_gumbel_record_is_the_improved_policy_of_the_children_it_reports():
    position = [0, 1, 2, 3, 4]  # player 0's line; player 1 to move
    (tile, record, root_value, children), _ = search(position, search_mode=2, sims_per_move=12,
                                                     sample_moves=0)
    game = tr.Game(SIDE)
    for t in position:
        game.apply(t)
    assert {t for t, *_ in children} == set(game.valid_tiles())
    assert [t for t, _ in record] == [t for t, *_ in children]
    assert [s for _, s in record] == pytest.approx(improved_policy(children), abs=1e-5)
    assert sum(v for _, _, v, _ in children) == 12
    assert tile in game.valid_tiles()
    assert sum(root_value) == pytest.approx(1.0, abs=1e-5)


@pytest.mark.parametrize("mode", [0, 1])
def test_a_visits_record_counts_the_budget_and_a_seed_repeats_the_search(mode):
    position = [0, 1]
    first, harness = search(position, search_mode=mode, sims_per_move=10, sample_moves=0)
    again, _ = search(position, search_mode=mode, sims_per_move=10, sample_moves=0)
    assert first == again
    tile, record, _, children = first
    assert sum(v for _, _, v, _ in children) == 10
    assert [s for _, s in record] == pytest.approx([v / 10 for _, _, v, _ in children])
    # Without sampling the most visited tile is played.
    assert max(children, key=lambda c: c[2])[2] == next(v for t, _, v, _ in children if t == tile)
    assert len(harness.requests) <= 11  # the root and one leaf per simulation


def test_bad_positions_are_refused_before_anything_is_put():
    harness = Harness(dim=SIDE)
    finished = tr.Game(SIDE)
    while not finished.is_over():
        finished.apply(finished.valid_tiles()[0])
    tiles = [t for _, t in finished.history]
    for position, error, text in (([0, 48], ValueError, r"position\[1\]"),
                                  ([0.5], TypeError, r"position\[0\]"),
                                  (tiles, ValueError, "over")):
        with pytest.raises(error, match=text):
            te.search_position(1, Config(dim=SIDE, search_mode=1), position,
                               harness.inference_queue, harness.pipe)
    assert harness.requests == []
