"""Ratings of a run's players: the joint fit checked against openskill's own Plackett-Luce
update, players held at given ratings (against openskill and a brute-force maximum), its
independence of the games' order and of when a reference's games came, the matches
file kept whole per generation, and a damaged ratings file rebuilt."""

import json
import os
import random

import numpy as np
import pytest

openskill = pytest.importorskip("openskill.models")

from tralix_harness.learning.ratings import (  # noqa: E402
    SKILL_SCALE,
    START_MU,
    START_SIGMA,
    MatchGame,
    Rating,
    fit_posterior,
    fit_ratings,
    load_ratings,
    read_matches,
    record_matches,
)

# Three players, c in two seats of some games; ranked by points, with ties, or by win shares.
GAMES = [
    MatchGame(0, ("a", "b", "c", "c"), (0.5, 0.0, 0.5, 0.0)),
    MatchGame(0, ("b", "a", "a", "a"), (1.0, 0.0, 0.0, 0.0)),
    MatchGame(1, ("c", "a", "b", "c"), (0.0, 1.0, 0.0, 0.0), (-30, -12, -41, -30)),
    MatchGame(1, ("a", "c", "b", "b"), (1.0, 0.0, 0.0, 0.0), (-5, -9, -20, -7)),
    MatchGame(2, ("b", "c", "a", "a"), (0.0, 0.0, 1.0, 0.0), (-15, -15, -3, -15)),
]


def openskill_gradient(mu: dict[str, float], games: list[MatchGame],
                       prior_mu: float = START_MU) -> dict[str, float]:
    """The gradient of the log posterior, from openskill: with a tiny sigma s and no dynamics,
    its update of a seat's mu is s^2 times the game's log likelihood differentiated by it."""
    s = 1e-3
    model = openskill.PlackettLuce(tau=0.0)
    gradient = {p: -(m - prior_mu) / START_SIGMA**2 for p, m in mu.items()}
    for game in games:
        seats = [[model.rating(mu=mu[p], sigma=s)] for p in game.players]
        rated = model.rate(seats, scores=list(game.ranking))
        for player, [before], [after] in zip(game.players, seats, rated, strict=True):
            gradient[player] += (after.mu - before.mu) / s**2
    return gradient


def test_the_fit_is_the_posterior_mode_of_openskills_likelihood():
    fit = fit_posterior(GAMES)
    ratings = fit.ratings()
    mu = {p: r.mu for p, r in ratings.items()}
    assert max(abs(g) for g in openskill_gradient(mu, GAMES).values()) < 1e-5
    # sigma: the posterior's spread, from the Hessian taken by differences of that gradient.
    players, h = sorted(mu), 0.05
    hessian = np.zeros((3, 3))
    for j, q in enumerate(players):
        up = openskill_gradient({**mu, q: mu[q] + h}, GAMES)
        down = openskill_gradient({**mu, q: mu[q] - h}, GAMES)
        hessian[:, j] = [(up[p] - down[p]) / (2 * h) for p in players]
    sigmas = np.sqrt(np.diag(np.linalg.inv(-hessian)))
    assert [ratings[p].sigma for p in players] == pytest.approx(sigmas, rel=1e-4)
    assert ratings["a"].mu > ratings["b"].mu and ratings["c"].sigma < START_SIGMA
    assert (ratings["a"].games, ratings["b"].games, ratings["c"].games) == (5, 5, 4)
    difference, spread = fit.difference("a", "b")
    assert difference == pytest.approx(ratings["a"].mu - ratings["b"].mu)
    assert 0.0 < spread < np.hypot(ratings["a"].sigma, ratings["b"].sigma)
    # Points rank the losers: tied points are tied ranks.
    pointed = fit_ratings([MatchGame(0, ("a", "b", "c", "d"), (0, 1, 0, 0), (-30, -12, -41, -30))])
    assert pointed["b"].mu > pointed["a"].mu > pointed["c"].mu
    assert pointed["a"].mu == pytest.approx(pointed["d"].mu)


def test_held_players_stay_put_and_the_others_take_the_posterior_mode_given_them():
    # c held at 0 (the ladder's pinned origin), the others' prior around it: openskill's
    # gradient in the free players vanishes at the fit, and their sigmas come from the free
    # players' block of its Hessian.
    fit = fit_posterior(GAMES, {"c": 0.0}, prior_mu=0.0)
    ratings = fit.ratings()
    assert ratings["c"] == Rating(0.0, 0.0, 4)
    mu = {p: r.mu for p, r in ratings.items()}
    gradient = openskill_gradient(mu, GAMES, prior_mu=0.0)
    assert max(abs(gradient["a"]), abs(gradient["b"])) < 1e-5
    free, h = ["a", "b"], 0.05
    hessian = np.zeros((2, 2))
    for j, q in enumerate(free):
        up = openskill_gradient({**mu, q: mu[q] + h}, GAMES, prior_mu=0.0)
        down = openskill_gradient({**mu, q: mu[q] - h}, GAMES, prior_mu=0.0)
        hessian[:, j] = [(up[p] - down[p]) / (2 * h) for p in free]
    sigmas = np.sqrt(np.diag(np.linalg.inv(-hessian)))
    assert [ratings[p].sigma for p in free] == pytest.approx(sigmas, rel=1e-4)
    # Players held at their values of the joint fit leave the others where it put them, with
    # less doubt (their neighbours are known).
    joint = fit_ratings(GAMES)
    held = fit_ratings(GAMES, {"a": joint["a"].mu, "c": joint["c"].mu})
    assert held["b"].mu == pytest.approx(joint["b"].mu, abs=1e-7)
    assert held["b"].sigma < joint["b"].sigma


def test_one_player_against_held_ones_is_the_brute_force_maximum():
    # The posterior written out afresh (each game's order by points, Plackett-Luce's product
    # of choices, the prior around 0) and maximised over a fine grid.
    held = {"r0": 0.0, "r1": 6.0, "r2": 15.0}
    games = [MatchGame(0, ("x", "r0", "r0", "r0"), (1, 0, 0, 0), (-3, -9, -12, -20)),
             MatchGame(0, ("r1", "x", "r1", "r1"), (0, 1, 0, 0), (-8, -4, -10, -6)),
             MatchGame(0, ("r1", "r1", "x", "r1"), (1, 0, 0, 0), (-2, -9, -7, -11)),
             MatchGame(0, ("r2", "r2", "r2", "x"), (0, 0, 1, 0), (-5, -6, -1, -30)),
             MatchGame(0, ("x", "r2", "r2", "r2"), (0, 1, 0, 0), (-9, -1, -4, -3))]

    def log_posterior(x: np.ndarray) -> np.ndarray:
        total = -0.5 * (x / START_SIGMA) ** 2
        for game in games:
            skills = [np.full_like(x, held[p]) if p in held else x for p in game.players]
            order = sorted(range(4), key=lambda seat: -game.points[seat])
            theta = [skills[seat] / SKILL_SCALE for seat in order]
            for k in range(4):
                total = total + theta[k] - np.log(sum(np.exp(t) for t in theta[k:]))
        return total

    grid = np.linspace(-30.0, 40.0, 70001)
    best = grid[np.argmax(log_posterior(grid))]
    rating = fit_ratings(games, held, prior_mu=0.0)["x"]
    assert rating.mu == pytest.approx(best, abs=2e-3)
    assert held["r1"] < rating.mu < held["r2"]
    step = 1e-3
    around = log_posterior(np.array([rating.mu - step, rating.mu, rating.mu + step]))
    curvature = (around[0] - 2 * around[1] + around[2]) / step**2
    assert rating.sigma == pytest.approx((-curvature) ** -0.5, rel=1e-3)


def test_the_fit_ignores_the_order_and_the_time_of_the_games():
    # An early player loses to a reference, which many later players then beat: the early one
    # stays below the reference (an update one game at a time leaves it rated where the
    # reference stood then, above where the reference ends).
    generator = random.Random(5)
    games = [MatchGame(0, ("early", "ref", "ref", "ref"), (0, 1, 0, 0), (-20, -5, -9, -12))
             for _ in range(4)]
    for g in range(1, 21):
        games += [MatchGame(g, (f"later{g}", "ref", "ref", "ref"), (1, 0, 0, 0),
                            (-2, -8, -11, -30)) for _ in range(4)]
    ratings = fit_ratings(games)
    assert ratings["early"].mu < ratings["ref"].mu < min(
        ratings[f"later{g}"].mu for g in range(1, 21))
    shuffled = games[:]
    generator.shuffle(shuffled)
    again = fit_ratings(shuffled)
    for player, rating in ratings.items():
        assert again[player].mu == pytest.approx(rating.mu, abs=1e-9)
        assert again[player].sigma == pytest.approx(rating.sigma, abs=1e-9)


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
