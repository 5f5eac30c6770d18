"""Self-play training games: the result put on the result queue, checked by replaying it with
the rules; the requests the searches make; the search statistics in the records; failures."""

import math

import pytest

import tralix_self_play as tsp

import rules_model
from support import (
    Config,
    Harness,
    RecvError,
    expect_panic,
    f32,
    fail_at,
    fixed_reply,
    forced_line_reply,
    plane_tiles,
    planes_reply,
    predicted_smallest_tile_game,
    zero_reply,
)


def _check_result(h, dim, id):
    """Type checks of the one result, then a replay of its history by the rules.

    Returns (history, records, outcome, positions) where positions[i] is the rules-model
    encoding and valid tiles of the position in which move i was searched.
    """
    assert len(h.results) == 1
    result = h.results[0]
    assert type(result) is tuple and len(result) == 2
    assert type(result[0]) is int and result[0] == id
    data = result[1]
    assert type(data) is tuple and len(data) == 3
    history, records, outcome = data

    assert type(history) is list and history
    for pair in history:
        assert type(pair) is tuple and len(pair) == 2
        assert type(pair[0]) is int and type(pair[1]) is int
    assert type(records) is list
    for record in records:
        assert type(record) is list and record
        for entry in record:
            assert type(entry) is tuple and len(entry) == 2
            assert type(entry[0]) is int and type(entry[1]) is float
    assert type(outcome) is list and len(outcome) == 4
    assert all(type(v) is float for v in outcome)

    assert len(records) == len(history)
    tiles = [t for _, t in history]
    assert len(set(tiles)) == len(tiles)
    assert all(0 <= t < dim * dim for t in tiles)

    # Replay, keeping the position each move was searched in.
    game = rules_model.Game(dim)
    positions = []
    for step, (player, tile) in enumerate(history):
        assert not game.is_over(), f"move {step} after the end"
        assert player == game.current_player, f"move {step} out of turn"
        valid = game.valid_tiles()
        assert tile in valid, f"move {step}: tile {tile} not valid"
        positions.append((game.planes(), valid))
        game.apply_move(tile)
    assert game.is_over()
    assert outcome == [f32(v) for v in game.outcome()]
    assert math.isclose(sum(outcome), 1.0, rel_tol=1e-6)
    return history, records, outcome, positions


def _check_records_list_valid_tiles(records, positions):
    """With equal priors every valid tile gets a child, so each record lists them all."""
    for record, (_, valid) in zip(records, positions, strict=True):
        tiles = [t for t, _ in record]
        assert len(set(tiles)) == len(tiles)
        assert set(tiles) == valid


def _visit_total(shares, bound):
    """The total visit count T for which every share is the single-precision quotient v / T
    of whole visit counts summing to T, or None."""
    smallest = min(s for s in shares if s > 0.0)
    for k in range(1, bound + 1):
        total = round(k / smallest)
        if total < 1:
            continue
        visits = [round(s * total) for s in shares]
        if sum(visits) == total and all(
                f32(v / total) == s for v, s in zip(visits, shares, strict=True)):
            return total
    return None


def _check_shares(records, history, sims=None):
    for i, (record, (_, played)) in enumerate(zip(records, history, strict=True)):
        shares = [s for _, s in record]
        assert all(0.0 <= s <= 1.0 for s in shares)
        assert math.isclose(sum(shares), 1.0, abs_tol=1e-5)
        assert dict(record)[played] > 0.0
        # Shares are single-precision quotients of visit counts.
        assert all(f32(s) == s for s in shares)
        if sims is not None:
            # The children of a root hold at most every simulation run so far; the smallest
            # total that explains the shares divides the true one.
            total = _visit_total(shares, sims * (i + 1))
            assert total is not None, (i, record)
            assert total <= sims * (i + 1)


@pytest.mark.parametrize(
    "dim, sims", [(4, 2), (5, 1), (5, 2), (6, 2), (6, 4), (8, 2), (8, 3)]
)
def test_training_game_on_small_sides(dim, sims):
    h = Harness(dim=dim)
    done = h.training(Config(dim=dim, sims_per_move=sims), id=dim * 10 + sims)
    assert type(done) is int and done == 0
    history, records, outcome, positions = _check_result(h, dim, dim * 10 + sims)
    _check_records_list_valid_tiles(records, positions)
    _check_shares(records, history, sims)
    # Every position of the game was evaluated (each expanded exactly once), plus leaves.
    sent = [str(p) for p in h.planes]
    for planes, _ in positions:
        assert str(planes) in sent
    assert len(history) <= len(h.requests) <= 1 + sims * len(history)
    assert all(req[0] == dim * 10 + sims for _, req in h.requests)


@pytest.mark.parametrize("rep", [1, 2])
def test_training_game_on_side_20(rep):
    h = Harness(dim=20, rep=rep)
    assert h.training(Config(dim=20, rep=rep, sims_per_move=2, sample_moves=30), id=77) == 0
    history, records, outcome, positions = _check_result(h, 20, 77)
    _check_records_list_valid_tiles(records, positions)
    _check_shares(records, history, 2)
    assert {t for t, _ in records[0]} == {r * 20 + c for r in range(20) for c in range(20)
                                         if r + c <= 4}
    assert len(history) <= len(h.requests) <= 1 + 2 * len(history)


@pytest.mark.parametrize("sims, c_init", [(1, 1.25), (2, 1.25), (5, 1.25), (5, 100.0)])
def test_first_record_has_all_visits_on_the_last_child(sims, c_init):
    """On the first move the root is unvisited and its count does not grow during its own
    search, so the exploration term stays 0 whatever c_init is and selection goes by mean
    value alone: the last child in the record's order is taken and, with positive values,
    kept. (Were the root's count raised, a large c_init would spread the visits.)"""
    h = Harness(dim=8)
    config = Config(dim=8, sims_per_move=sims, sample_moves=10, c_init=c_init)
    assert h.training(config) == 0
    history, records, _, _ = _check_result(h, 8, 1)
    first = records[0]
    assert first[-1][1] == 1.0
    assert all(share == 0.0 for _, share in first[:-1])
    assert history[0] == (0, first[-1][0])


def test_without_simulations_every_move_costs_one_root_evaluation():
    """With no simulation the next root is never expanded, so it is evaluated: one request
    per move, each for the position the move is chosen in. Shares are 0/0, and the last
    child is played."""
    h = Harness(dim=6)
    assert h.training(Config(dim=6, sims_per_move=0)) == 0
    history, records, _, positions = _check_result(h, 6, 1)
    assert len(h.requests) == len(history)
    assert h.planes == [planes for planes, _ in positions]
    _check_records_list_valid_tiles(records, positions)
    for record, (_, tile) in zip(records, history, strict=True):
        assert all(math.isnan(s) for _, s in record)
        assert record[-1][0] == tile


def test_one_simulation_per_move_follows_the_game():
    """With one simulation, each search expands exactly the child it then plays, so the
    requests are the game's positions in order, and every record has one share of 1."""
    h = Harness(dim=8)
    assert h.training(Config(dim=8, sims_per_move=1)) == 0
    history, records, _, positions = _check_result(h, 8, 1)
    assert len(h.requests) == len(history)
    assert h.planes == [planes for planes, _ in positions]
    for record, (_, tile) in zip(records, history, strict=True):
        assert [s for _, s in record if s != 0.0] == [1.0]
        assert dict(record)[tile] == 1.0


@pytest.mark.parametrize("sample_moves", [0, 1, 3])
def test_moves_after_the_sampling_phase_take_the_most_visited_child(sample_moves):
    """Greedy moves play the most visited child, the last one in record order among ties; the
    first sample_moves - 1 moves are drawn instead."""
    h = Harness(dim=8)
    assert h.training(Config(dim=8, sims_per_move=6, sample_moves=sample_moves)) == 0
    history, records, _, _ = _check_result(h, 8, 1)
    for i, (record, (_, tile)) in enumerate(zip(records, history, strict=True)):
        if i < sample_moves - 1:
            continue
        best = max(s for _, s in record)
        last_best = [t for t, s in record if s == best][-1]
        assert tile == last_best, f"move {i}"


@pytest.mark.parametrize("sims", [1, 2, 5])
@pytest.mark.parametrize("alpha", [0.0, 0.3])
def test_single_child_line_is_fully_predictable(sims, alpha):
    """When only the smallest valid tile has a usable prior, every node has one child: the game
    is the one where each seat lays its smallest valid tile; no noise is ever mixed (so even
    a concentration of 0 is never checked), and each position is evaluated exactly once, in
    order."""
    game, positions = predicted_smallest_tile_game(6)
    h = Harness(dim=6, reply=forced_line_reply(6))
    assert h.training(Config(dim=6, sims_per_move=sims, dirichlet_alpha=alpha), id=4) == 0
    history, records, outcome, _ = _check_result(h, 6, 4)
    assert history == game.history
    assert records == [[(tile, 1.0)] for _, tile in game.history]
    assert outcome == [f32(v) for v in game.outcome()]
    assert h.planes == [p for _, p in positions]


@pytest.mark.parametrize("alpha", [0.01, 1e-3, 1e-30])
def test_tiny_concentration_never_breaks_a_game(alpha):
    """A Dirichlet sample is a probability vector for any positive concentration, however
    small: the noise never makes the priors unusable."""
    for i in range(12):
        dim = 5 + i % 3
        h = Harness(dim=dim)
        assert h.training(Config(dim=dim, dirichlet_alpha=alpha), id=i) == 0
        _check_result(h, dim, i)


@pytest.mark.parametrize("fraction", [0.0, 1.0])
def test_exploration_fraction_extremes_play_whole_games(fraction):
    h = Harness(dim=6)
    assert h.training(Config(dim=6, exploration_fraction=fraction, sims_per_move=3)) == 0
    _check_result(h, 6, 1)


def test_without_noise_equal_priors_tie_to_the_last_child():
    """Exploration fraction 0 leaves the priors as they are. With equal priors and one
    simulation per move, every child of a root scores the same, the tie goes to the last
    child in the root's order, and that child is the move played."""
    for _ in range(3):
        h = Harness(dim=8)
        assert h.training(Config(dim=8, sims_per_move=1, exploration_fraction=0.0)) == 0
        history, records, _, _ = _check_result(h, 8, 1)
        for record, (_, tile) in zip(records, history, strict=True):
            assert record[-1] == (tile, 1.0)


@pytest.mark.parametrize("fraction", [0.25, 1.0])
def test_noise_changes_the_choice_among_equal_priors(fraction):
    """With noise mixed into the root priors the equal scores split, so some moves play a
    child other than the last one in the root's order."""
    other = 0
    for _ in range(3):
        h = Harness(dim=8)
        assert h.training(Config(dim=8, sims_per_move=1, exploration_fraction=fraction)) == 0
        history, records, _, _ = _check_result(h, 8, 1)
        other += sum(record[-1][0] != tile
                     for record, (_, tile) in zip(records, history, strict=True))
    assert other > 0


# ----- failures ------------------------------------------------------------------------


@pytest.mark.parametrize("k", [1, 2, 3, 10, 25])
def test_failed_request_abandons_the_game(capfd, k):
    h = Harness(dim=6, reply=fail_at(k))
    done = h.training(Config(dim=6, sims_per_move=2))
    assert type(done) is int and done == 1
    assert len(h.requests) == k and h.pipe.calls == k
    assert h.results == []
    captured = capfd.readouterr()
    assert captured.out == "" and captured.err == ""


def test_failed_put_of_a_request_abandons_the_game():
    h = Harness(dim=6)
    h.inference_queue.fail = RecvError("queue gone")
    assert h.training(Config(dim=6)) == 1
    assert len(h.requests) == 1 and h.pipe.calls == 0 and h.results == []


def test_raising_result_put_still_returns_zero():
    h = Harness(dim=6)
    h.result_queue.fail = RuntimeError("results closed")
    assert h.training(Config(dim=6), id=5) == 0
    _check_result(h, 6, 5)


@pytest.mark.parametrize("result_queue", [None, object()], ids=["None", "object"])
def test_result_queue_without_put_still_returns_zero(result_queue):
    h = Harness(dim=6)
    assert tsp.play_training_game(1, Config(dim=6), result_queue, h.inference_queue,
                                  h.pipe) == 0


def test_training_game_prints_nothing(capfd):
    h = Harness(dim=6)
    assert h.training(Config(dim=6)) == 0
    captured = capfd.readouterr()
    assert captured.out == "" and captured.err == ""


def test_nan_values_fail_once_every_root_child_is_tried():
    """A NaN value makes a child's score NaN, and a NaN score is never selected. On the first
    move (exploration term 0) each simulation therefore tries a new child until all are NaN:
    the next simulation fails and the game is abandoned."""
    n = len(rules_model.Game(5).valid_tiles())
    h = Harness(dim=5, reply=fixed_reply([0.0] * 25, [math.nan] * 4))
    assert h.training(Config(dim=5, sims_per_move=n + 5)) == 1
    assert len(h.requests) == 1 + n
    assert h.results == []


def test_empty_value_list_stops_at_the_first_backup():
    h = Harness(dim=6, reply=fixed_reply([0.0] * 36, []))
    e = expect_panic(h.training, Config(dim=6, sims_per_move=2))
    assert e.args[0] == "index out of bounds: the len is 0 but the index is 0"
    assert len(h.requests) == 2 and h.results == []


def test_three_values_stop_at_the_first_backup_through_seat_three():
    h = Harness(dim=8, reply=fixed_reply([0.0] * 64, [0.0, 0.0, 0.0]))
    e = expect_panic(h.training, Config(dim=8, sims_per_move=2))
    assert e.args[0] == "index out of bounds: the len is 3 but the index is 3"
    assert h.results == []
    # Seat 3 had come to move in some evaluated position before the stop.
    assert len(h.requests) > 15


def test_next_training_call_after_a_fatal_stop():
    h = Harness(dim=6, reply=fixed_reply([0.0] * 36, []))
    expect_panic(h.training, Config(dim=6))
    ok = Harness(dim=6, reply=zero_reply)
    assert ok.training(Config(dim=6)) == 0
    _check_result(ok, 6, 1)


def test_sampling_phase_draws_instead_of_taking_the_most_visited():
    """With every move in the sampling phase, some moves play a child that is not the most
    visited one (over a game with spread visit counts this is all but certain)."""
    differing = 0
    for _ in range(2):
        h = Harness(dim=8)
        assert h.training(Config(dim=8, sims_per_move=10, sample_moves=2**32 - 1)) == 0
        history, records, _, _ = _check_result(h, 8, 1)
        for record, (_, tile) in zip(records, history, strict=True):
            best = max(s for _, s in record)
            differing += tile != [t for t, s in record if s == best][-1]
    assert differing > 0


def test_sampling_phase_length():
    """With sample_moves 3, the second move is drawn (it sometimes differs from the most
    visited child over many games) and the third is greedy (it never does)."""
    second_differs = 0
    for _ in range(25):
        h = Harness(dim=6)
        assert h.training(Config(dim=6, sims_per_move=10, sample_moves=3)) == 0
        history, records, _, _ = _check_result(h, 6, 1)
        for i in (1, 2):
            best = max(s for _, s in records[i])
            greedy = [t for t, s in records[i] if s == best][-1]
            if i == 1:
                second_differs += history[i][1] != greedy
            else:
                assert history[i][1] == greedy
    assert second_differs > 0


# ----- priors in single precision ---------------------------------------------------------


def _smallest_and_rest(dim, rest, top=0.0):
    def reply(planes):
        valid = plane_tiles(planes[4])
        policy = [0.0] * (dim * dim)
        for t in valid:
            policy[t] = rest
        policy[min(valid)] = top
        return (policy, [0.0] * 4)

    return planes_reply(reply)


def test_prior_rounding_decides_which_tiles_get_children():
    """A logit 100 below the best still gives a positive single-precision prior (a child for
    every valid tile); 110 below rounds to 0 (only the best tile gets a child)."""
    h = Harness(dim=6, reply=_smallest_and_rest(6, -100.0))
    assert h.training(Config(dim=6, sims_per_move=2)) == 0
    history, records, _, positions = _check_result(h, 6, 1)
    _check_records_list_valid_tiles(records, positions)

    game, _ = predicted_smallest_tile_game(6)
    h = Harness(dim=6, reply=_smallest_and_rest(6, -110.0))
    assert h.training(Config(dim=6, sims_per_move=2)) == 0
    history, records, _, _ = _check_result(h, 6, 1)
    assert history == game.history
    assert all(len(record) == 1 for record in records)


def test_logits_beyond_single_precision_become_infinite():
    """1e38 is a finite single-precision logit: it wins outright. 1e39 rounds to infinity, and
    an infinite best logit leaves no usable prior, so the root gets no child."""
    game, _ = predicted_smallest_tile_game(6)
    h = Harness(dim=6, reply=_smallest_and_rest(6, 0.0, top=1e38))
    assert h.training(Config(dim=6, sims_per_move=2)) == 0
    history, records, _, _ = _check_result(h, 6, 1)
    assert history == game.history

    h = Harness(dim=6, reply=_smallest_and_rest(6, 0.0, top=1e39))
    e = expect_panic(h.training, Config(dim=6, sims_per_move=2))
    assert e.args[0] == "assertion failed: visit_dist.len() > 0"
    assert len(h.requests) == 3


# ----- orders that come from the children maps ------------------------------------------------


def test_child_order_differs_between_games():
    """The order of a record follows the root's children map, whose order is arbitrary and
    keyed afresh for every map: it is not the tile order, and it changes between games. So
    does the first tile played, the last child in that order."""
    first_orders = set()
    first_tiles = set()
    for _ in range(12):
        h = Harness(dim=6)
        assert h.training(Config(dim=6, sims_per_move=1)) == 0
        _, records, _, _ = _check_result(h, 6, 1)
        first_orders.add(tuple(t for t, _ in records[0]))
        first_tiles.add(records[0][-1][0])
    assert len(first_orders) > 1
    assert len(first_tiles) > 1
    assert any(list(order) != sorted(order) for order in first_orders)


@pytest.mark.parametrize("length", [5, 9])
def test_value_lists_longer_than_four_are_accepted(length):
    h = Harness(dim=6, reply=fixed_reply([0.0] * 36, [0.0] * length))
    assert h.training(Config(dim=6)) == 0
    _check_result(h, 6, 1)
