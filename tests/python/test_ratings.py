"""Ratings of a run's players: the Plackett-Luce update checked against the model's formulas
worked out here, a player in several seats, the matches file kept whole per generation, and a
damaged ratings file rebuilt."""

import json
import math
import os

import pytest

pytest.importorskip("openskill")

from tralix_harness.learning.ratings import (  # noqa: E402
    START_MU,
    START_SIGMA,
    MatchGame,
    Rating,
    fit_ratings,
    load_ratings,
    read_matches,
    record_matches,
)

BETA, TAU, KAPPA = 25.0 / 6.0, 25.0 / 300.0, 1e-4


def plackett_luce(mus, sigmas, scores):
    """One game's update for single-player teams, from the model's formulas: (mu, sigma) of
    each seat after it."""
    sigmas = [math.sqrt(s * s + TAU * TAU) for s in sigmas]  # the additive dynamics first
    ranks = [-s for s in scores]
    c = math.sqrt(sum(s * s + BETA * BETA for s in sigmas))
    n = len(mus)
    sum_q = [sum(math.exp(mus[i] / c) for i in range(n) if ranks[i] >= ranks[q])
             for q in range(n)]
    a = [sum(1 for i in range(n) if ranks[i] == ranks[q]) for q in range(n)]
    after = []
    for i in range(n):
        omega = delta = 0.0
        for q in range(n):
            if ranks[q] > ranks[i]:
                continue
            share = math.exp(mus[i] / c) / sum_q[q]
            delta += share * (1 - share) / a[q]
            omega += ((1 - share) if q == i else -share) / a[q]
        variance = sigmas[i] ** 2
        omega *= variance / c
        delta *= (math.sqrt(variance) / c) * variance / c ** 2
        after.append((mus[i] + omega, sigmas[i] * math.sqrt(max(1 - delta, KAPPA))))
    return after


def test_ratings_follow_the_model_and_average_a_player_over_its_seats():
    # Three players, one of them (c) in two seats: rated as two copies, then averaged.
    first = MatchGame(0, ("a", "b", "c", "c"), (0.5, 0.0, 0.5, 0.0))
    start = [START_MU] * 4, [START_SIGMA] * 4
    seats = plackett_luce(*start, first.outcome)
    ratings = fit_ratings([first])
    assert ratings["a"].mu == pytest.approx(seats[0][0], abs=1e-9)
    assert ratings["b"].sigma == pytest.approx(seats[1][1], abs=1e-9)
    assert ratings["c"].mu == pytest.approx((seats[2][0] + seats[3][0]) / 2, abs=1e-9)
    assert ratings["a"].mu > ratings["c"].mu > ratings["b"].mu
    # A second game starts from the first one's ratings.
    second = MatchGame(1, ("b", "a", "a", "a"), (1.0, 0.0, 0.0, 0.0))
    mus = [ratings["b"].mu] + [ratings["a"].mu] * 3
    sigmas = [ratings["b"].sigma] + [ratings["a"].sigma] * 3
    seats = plackett_luce(mus, sigmas, second.outcome)
    again = fit_ratings([first, second])
    assert again["b"].mu == pytest.approx(seats[0][0], abs=1e-9)
    assert again["a"].mu == pytest.approx(sum(s[0] for s in seats[1:]) / 3, abs=1e-9)
    assert (again["a"].games, again["b"].games, again["c"].games) == (2, 2, 1)
    # Carried on from the first game's fit, as the loop does generation by generation.
    assert fit_ratings([second], start=fit_ratings([first])) == again
    # With the points kept, they rank the seats: the losers are no longer tied.
    pointed = MatchGame(0, ("a", "b", "c", "d"), (0.0, 1.0, 0.0, 0.0), (-30, -12, -41, -30))
    seats = plackett_luce(*start, pointed.points)
    ratings = fit_ratings([pointed])
    assert [ratings[p].mu for p in "abcd"] == pytest.approx([s[0] for s in seats], abs=1e-9)
    assert ratings["b"].mu > ratings["a"].mu == ratings["d"].mu > ratings["c"].mu


def test_a_generation_is_kept_whole_and_a_damaged_file_rebuilt(tmp_path, caplog):
    matches, ratings_file = tmp_path / "matches.jsonl", tmp_path / "ratings.json"
    games = [MatchGame(g, ("x", "y", "y", "y"), (1.0, 0.0, 0.0, 0.0), points)
             for g, points in ((0, None), (1, (-3.0, -9.0, -5.0, -7.0)), (1, None))]
    record_matches(matches, 0, games[:1])
    record_matches(matches, 1, games[1:])
    record_matches(matches, 1, games[1:])  # generation 1 played again: replaced, not added
    assert read_matches(matches) == games
    # A line cut short by a kill at the end is left out; elsewhere it is an error.
    matches.write_text(matches.read_text() + '{"generation": 2, "play')
    assert read_matches(matches) == games
    matches.write_text('{"generation": 2, "play\n' + matches.read_text())
    with pytest.raises(ValueError, match="line 1"):
        read_matches(matches)
    matches.write_text("".join(g.line() + "\n" for g in games))
    expected = fit_ratings(games)
    ratings_file.write_text("{not json")
    assert load_ratings(ratings_file, matches) == expected
    assert "damaged" in caplog.text
    assert json.loads(ratings_file.read_text())["x"]["games"] == 3
    # A loop stopped between keeping a generation's games and refitting: the file left behind
    # the matches is refitted; one written after them is taken as it is.
    later = MatchGame(2, ("y", "x", "x", "x"), (1.0, 0.0, 0.0, 0.0))
    record_matches(matches, 2, [later])
    written = matches.stat().st_mtime_ns
    os.utime(ratings_file, ns=(written - 10**9, written - 10**9))
    caplog.clear()
    assert load_ratings(ratings_file, matches) == fit_ratings([*games, later])
    assert "older than" in caplog.text
    ratings_file.write_text(json.dumps({"x": {"mu": 1.0, "sigma": 2.0, "games": 3}}))
    os.utime(ratings_file, ns=(written + 10**9, written + 10**9))
    assert load_ratings(ratings_file, matches) == {"x": Rating(1.0, 2.0, 3)}
