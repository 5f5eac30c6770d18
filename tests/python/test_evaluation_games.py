"""Evaluation games end to end: the model against random players, and the model against a
baseline on the fixed side-20 board."""

import collections
import math

import pytest

import tralix_self_play as tsp

import rules_model
from support import (
    SEAT_RESULTS,
    Config,
    Harness,
    ResultQueue,
    assert_each_request_lays,
    expect_panic,
    f32,
    fail_at,
    greedy_choice,
    logits_reply,
    plane_tiles,
    planes_first,
    planes_reply,
    predicted_greedy_game,
    tile_logits,
)

# ----- the model against random players ---------------------------------------------------


def _check_model_seat_requests(planes_list, logits, dim):
    """Replays what seat 0 saw: each request follows from the previous one by seat 0's greedy
    tile plus whatever the random seats laid in between."""
    board = dim * dim
    for i, planes in enumerate(planes_list):
        mover = plane_tiles(planes[0])
        others = [plane_tiles(planes[k]) for k in (1, 2, 3)]
        valid = plane_tiles(planes[4])
        occupied = mover.union(*others)
        # Seat 0 is asked once per tile it lays, and only while it is to move.
        assert len(mover) == i
        assert sum(len(s) for s in others) + len(mover) == len(occupied)
        assert valid and not (valid & occupied)
        assert all(0 <= t < board for t in occupied | valid)
        if i + 1 < len(planes_list):
            nxt = planes_list[i + 1]
            assert plane_tiles(nxt[0]) == mover | {greedy_choice(valid, logits)}
            for k in (1, 2, 3):
                assert plane_tiles(nxt[k]) >= others[k - 1]


@pytest.mark.parametrize("dim", [5, 7, 10, 14, 20])
@pytest.mark.parametrize("rep", [1, 2])
def test_game_against_random_players(dim, rep):
    logits = tile_logits(dim)
    h = Harness(dim=dim, rep=rep, reply=logits_reply(logits))
    done = h.vs_random(Config(dim=dim, rep=rep), id=dim * 100 + rep)
    assert type(done) is int and done == 0
    assert len(h.results) == 1
    result = h.results[0]
    assert type(result) is tuple and len(result) == 2
    assert type(result[0]) is int and result[0] == dim * 100 + rep
    assert type(result[1]) is float and result[1] in SEAT_RESULTS
    assert h.requests and all(name == "inference" for name, _ in h.requests)
    assert all(req[0] == dim * 100 + rep for _, req in h.requests)
    planes = h.planes
    assert all(len(p[4]) == dim for p in planes)
    _check_model_seat_requests(planes, logits, dim)
    # Seat 0's first piece covers its start corner, whatever order its tiles came in.
    if len(planes) > 5:
        assert 0 in plane_tiles(planes[5][0])


def test_random_seats_vary_between_games():
    logits = tile_logits(7)
    runs = []
    for _ in range(8):
        h = Harness(dim=7, reply=logits_reply(logits))
        assert h.vs_random(Config(dim=7)) == 0
        runs.append(tuple(str(p) for p in h.planes))
    assert len(set(runs)) > 1


def test_configured_side_is_used_against_random_players():
    logits = tile_logits(14)
    h = Harness(dim=14, reply=logits_reply(logits))
    assert h.vs_random(Config(dim=14)) == 0
    assert all(len(req[1]) == 5 and len(req[1][0]) == 14 for _, req in h.requests)


def test_greedy_seat_lays_the_strongly_favoured_tile():
    """The favourite is the largest valid tile (never the smallest, to rule out tile order)."""
    chosen = []

    def favour_largest(planes):
        valid = plane_tiles(planes[4])
        policy = [0.0] * 100
        pick = max(valid)
        policy[pick] = 20.0
        chosen.append(pick)
        return (policy, [0.0] * 4)

    h = Harness(dim=10, reply=planes_reply(favour_largest))
    assert h.vs_random(Config(dim=10)) == 0
    planes = h.planes
    for i in range(len(planes) - 1):
        assert chosen[i] in plane_tiles(planes[i + 1][0])
        assert plane_tiles(planes[i + 1][0]) - plane_tiles(planes[i][0]) == {chosen[i]}


def test_logits_equal_in_single_precision_are_a_tie():
    """Logits are read as doubles and rounded to single precision: 1 and 1 + 1e-12 are then
    the same prior, and which of the two the greedy seat takes follows the arbitrary order of
    a freshly keyed children map, so both are seen over many games."""
    policy = [0.0] * 400
    policy[0] = 1.0
    policy[1] = 1.0 + 1e-12
    firsts = collections.Counter()
    for _ in range(60):
        h = Harness(dim=20, reply=fail_at(2, logits_reply(policy)))
        assert h.vs_random(Config(dim=20)) == 1
        firsts[frozenset(plane_tiles(planes_first(h.requests[1][1][1], 1)[0]))] += 1
    assert set(firsts) == {frozenset({0}), frozenset({1})}


def test_single_precision_limit_of_logits():
    """1e38 is finite in single precision and wins; 1e39 becomes infinite, which leaves no
    usable prior, like an infinite logit."""

    def favour(value):
        def reply(planes):
            valid = plane_tiles(planes[4])
            policy = [0.0] * 36
            policy[max(valid)] = value
            return (policy, [0.0] * 4)

        return planes_reply(reply)

    h = Harness(dim=6, reply=favour(1e38))
    assert h.vs_random(Config(dim=6)) == 0
    assert_each_request_lays(h.planes, max)

    outcomes = []
    for value in (1e39, math.inf):
        h = Harness(dim=6, reply=favour(value))
        outcomes.append((h.vs_random(Config(dim=6)), len(h.results)))
    assert outcomes[0] == outcomes[1]


def test_minus_infinity_rules_out_tiles():
    def only_largest(planes):
        valid = plane_tiles(planes[4])
        policy = [-math.inf] * 64
        policy[max(valid)] = -3.0
        return (policy, [0.0] * 4)

    h = Harness(dim=8, reply=planes_reply(only_largest))
    assert h.vs_random(Config(dim=8)) == 0
    assert_each_request_lays(h.planes, max)


def test_empty_value_list_is_enough_for_seat_zero():
    logits = tile_logits(6)
    h = Harness(dim=6, reply=logits_reply(logits, value=()))
    assert h.vs_random(Config(dim=6)) == 0
    assert len(h.results) == 1


def test_failed_final_put_is_dropped():
    logits = tile_logits(6)
    h = Harness(dim=6, reply=logits_reply(logits))
    h.result_queue.fail = RuntimeError("results closed")
    assert h.vs_random(Config(dim=6), id=3) == 0
    assert len(h.results) == 1 and h.results[0][0] == 3


@pytest.mark.parametrize("result_queue", [None, object()], ids=["None", "object"])
def test_result_queue_without_put_is_ignored(result_queue):
    h = Harness(dim=6, reply=logits_reply(tile_logits(6)))
    assert tsp.play_test_against_random(1, Config(dim=6), result_queue, h.inference_queue,
                                        h.pipe) == 0


def test_nothing_printed_by_a_game_against_random_players(capfd):
    h = Harness(dim=6, reply=logits_reply(tile_logits(6)))
    assert h.vs_random(Config(dim=6)) == 0
    captured = capfd.readouterr()
    assert captured.out == "" and captured.err == ""


@pytest.mark.parametrize("k", [1, 2, 6])
def test_failure_at_a_later_request_abandons_the_game(capfd, k):
    h = Harness(dim=8, reply=fail_at(k, logits_reply(tile_logits(8))))
    assert h.vs_random(Config(dim=8)) == 1
    assert len(h.requests) == k and h.results == []
    out = capfd.readouterr().out
    assert out == f"Error running MCTS: Error evaluating root node: RecvError: reply {k} failed\n"


@pytest.mark.parametrize("policy", ["nan", "inf"])
def test_network_giving_no_usable_prior_is_a_failed_evaluation(capfd, policy):
    """No valid tile gets a positive prior (NaN logits, or an infinite maximum): the greedy
    seat has no candidate, and asking again would get the same answer forever, so the game is
    abandoned as after a failed evaluation."""

    def bad(planes):
        valid = plane_tiles(planes[4])
        logits = [0.0] * 400
        if policy == "nan":
            logits = [math.nan] * 400
        else:
            logits[min(valid)] = math.inf
        return (logits, [0.0] * 4)

    expected = ("Error running MCTS: Error evaluating root node: the network gave no valid "
                "tile a positive prior\n")
    h = Harness(dim=6, reply=planes_reply(bad))
    assert h.vs_random(Config(dim=6)) == 1
    assert h.results == [] and len(h.requests) == 1
    assert capfd.readouterr().out == expected

    h = Harness(dim=20, reply=planes_reply(bad))
    with pytest.raises(Exception) as raised:
        h.test_game(Config(dim=20))
    assert type(raised.value) is Exception and raised.value.args == ("Error running MCTS",)
    assert len(h.requests) == 1
    assert capfd.readouterr().out == expected


def test_nan_at_tiles_that_are_not_valid_is_harmless():
    logits = tile_logits(20)
    game, positions = predicted_greedy_game(20, logits)

    def reply(planes):
        valid = plane_tiles(planes[4])
        policy = [logits[t] if t in valid else math.nan for t in range(400)]
        return (policy, [0.0] * 4)

    h = Harness(dim=20, reply=planes_reply(reply))
    score = h.test_game(Config(dim=20))
    assert score == f32(game.outcome()[0])
    assert h.planes == [p for _, p in positions]


# ----- the model against the baseline -----------------------------------------------------


@pytest.mark.parametrize("rep", [1, 2])
def test_test_game_plays_the_predicted_game_on_side_20(capfd, rep):
    logits = tile_logits(20)
    game, positions = predicted_greedy_game(20, logits)
    h = Harness(dim=20, rep=rep, reply=logits_reply(logits))
    result_queue = ResultQueue()
    score = h.test_game(Config(dim=14, rep=rep), id=-8, result_queue=result_queue)
    out = capfd.readouterr().out

    assert type(score) is float
    assert score == f32(game.outcome()[0]) and score in SEAT_RESULTS
    assert out == "Finished Game\n" + game.board_text()
    lines = out.split("\n")
    assert len(lines) == 1 + 20 + 2 and lines[-2:] == ["", ""]
    assert all(len(line) == 20 for line in lines[1:21])
    # One request per tile laid, to the model for seat 0 and to the baseline otherwise.
    assert len(h.requests) == len(game.history)
    for (name, request), (seat, _) in zip(h.requests, positions, strict=True):
        assert request[0] == -8
        assert name == ("model" if seat == 0 else "baseline")
    assert h.planes == [p for _, p in positions]
    # The test game reports by its return value only.
    assert result_queue.items == []


def test_test_game_with_a_result_queue_without_methods():
    logits = tile_logits(20)
    game, _ = predicted_greedy_game(20, logits)
    h = Harness(dim=20, reply=logits_reply(logits))
    assert h.test_game(Config(dim=20), result_queue=object()) == f32(game.outcome()[0])


def test_test_game_queues_are_separate_objects_with_one_pipe():
    """Both networks' requests arrive on their own queue; the replies share the one pipe."""
    logits = tile_logits(20)
    game, positions = predicted_greedy_game(20, logits)
    h = Harness(dim=20, reply=logits_reply(logits))
    h.test_game(Config(dim=20))
    model = sum(1 for name, _ in h.requests if name == "model")
    seat0_tiles = sum(1 for p, _ in game.history if p == 0)
    assert model == seat0_tiles
    assert len(h.requests) - model == len(game.history) - seat0_tiles
    assert h.pipe.calls == len(h.requests)


@pytest.mark.parametrize("failing", ["model", "baseline"])
def test_test_game_failure_raises_plain_exception(capfd, failing):
    logits = tile_logits(20)
    h = Harness(dim=20, reply=logits_reply(logits))
    getattr(h, failing + "_queue").fail = BufferError("queue refused")
    with pytest.raises(Exception) as info:
        h.test_game(Config(dim=20))
    assert type(info.value) is Exception
    assert info.value.args == ("Error running MCTS",)
    out = capfd.readouterr().out
    assert out == "Error running MCTS: Error evaluating root node: BufferError: queue refused\n"
    # The model moves first and lays a whole five-tile piece before the baseline is asked.
    assert len(h.requests) == (1 if failing == "model" else 6)
    assert h.requests[-1][0] == failing


def test_test_game_value_list_must_reach_the_seat_to_move():
    """Value lists are rotated by the seat to move; a list shorter than that seat number is a
    fatal stop, one of three entries serves every seat."""
    logits = tile_logits(20)
    game, positions = predicted_greedy_game(20, logits)

    h = Harness(dim=20, reply=logits_reply(logits, value=(0.1, 0.2, 0.3)))
    assert h.test_game(Config(dim=20)) == f32(game.outcome()[0])

    for length, seat in ((1, 2), (2, 3), (0, 1)):
        h = Harness(dim=20, reply=logits_reply(logits, value=(0.0,) * length))
        e = expect_panic(h.test_game, Config(dim=20))
        assert e.args[0] == "assertion failed: k <= self.len()"
        first = next(i for i, (s, _) in enumerate(positions) if s == seat)
        assert len(h.requests) == first + 1


def test_test_game_prints_nothing_on_standard_error(capfd):
    logits = tile_logits(20)
    h = Harness(dim=20, reply=logits_reply(logits))
    h.test_game(Config(dim=20))
    assert capfd.readouterr().err == ""


# ----- the random seats draw uniformly among valid tiles ------------------------------------


def _first_turn_distribution(seat):
    """Exact probabilities of each piece placement that ends a seat's first turn on side 20
    when every tile is drawn uniformly among the valid ones (the turn goes on until the laid
    tiles form a placement no candidate extends)."""
    game = rules_model.Game(20)
    start = game._find_valid_moves(seat)
    dist = collections.Counter()

    def walk(moves, laid, probability):
        if not moves:
            dist[laid] += probability
            return
        share = probability / len(moves)
        for tile, chosen in moves.items():
            narrowed = {}
            for k, placements in moves.items():
                if k != tile and placements & chosen:
                    narrowed[k] = placements & chosen
            walk(narrowed, laid | {tile}, share)

    walk(start, frozenset(), 1.0)
    return dist


def test_random_seats_draw_uniformly_among_valid_tiles():
    """On side 20 the four first pieces cannot interact, so the first piece of each random
    seat follows a known law. The model seat is stopped at its sixth request, which shows the
    three random seats' first pieces."""
    games = 1200
    logits = tile_logits(20)
    observed = {seat: collections.Counter() for seat in (1, 2, 3)}
    for _ in range(games):
        h = Harness(dim=20, reply=fail_at(6, logits_reply(logits)))
        assert h.vs_random(Config(dim=20)) == 1
        planes = planes_first(h.requests[5][1][1], 1)
        for seat in (1, 2, 3):
            observed[seat][frozenset(plane_tiles(planes[seat]))] += 1
    for seat in (1, 2, 3):
        law = _first_turn_distribution(seat)
        assert set(observed[seat]) <= set(law)
        chi2 = sum((observed[seat][pl] - games * p) ** 2 / (games * p) for pl, p in law.items())
        # len(law) - 1 degrees of freedom: mean 36, standard deviation 8.5 for 37 placements.
        df = len(law) - 1
        assert chi2 < df + 8 * math.sqrt(2 * df), (seat, chi2)
