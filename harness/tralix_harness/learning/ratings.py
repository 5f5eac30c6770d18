"""Ratings of a run's players from the games they played against each other.

Every generation's network plays short seat-rotated matches against fixed references (uniformly
random play, the heuristic network playing greedily, and the heuristic searching) and against
earlier generations; each game is kept as one line of the run folder's ``matches.jsonl`` (the
generation that played it, the player in each seat, the four win shares and the four points).
The ratings are always rebuilt from all of those lines at once, with the Plackett-Luce
likelihood of the ``openskill`` package and on its scale: a game is a ranking of its four
seats by points, which orders the three losers too (by win shares in files kept before the
points were: the winner first, the others tied). A player in several seats of one game (a
reference against the network in the fourth) takes part in it once per seat.

The fit is joint, not one game after another: an online update never revisits a player's
rating once its games are past, so an early generation keeps the rating it earned against
the references' ratings of that time, and the references drift away from it. Here every
player's mu is the most probable value given all the games and openskill's prior (mu 25,
sigma 25 / 3), and sigma is the posterior's spread at that point, so the order of the games
does not matter. ``ratings.json`` keeps the last fit for people and plots; a damaged one, or
one older than the matches, is rebuilt from them with a warning.

Players may also be held at given ratings (the fixed ladder pins ``uniform`` at 0, then rates
checkpoints with its references held where their own games put them): they are not fitted,
and the others are the most probable given them.
"""

from __future__ import annotations

import dataclasses
import enum
import json
import logging
from collections.abc import Iterable, Mapping, Sequence
from pathlib import Path
from typing import Any

import numpy as np

from ..base.files import write_text_atomically

logger = logging.getLogger(__name__)

# The prior of every player, the rating of one never seen: openskill's defaults (mu 25,
# sigma 25 / 3), and the scale of the model's skills: c = sqrt(4 beta^2) for four seats, beta
# 25 / 6 (openskill's c with the seats' own sigmas left out, as a joint fit has none per game).
START_MU, START_SIGMA = 25.0, 25.0 / 3.0
SKILL_SCALE = 2.0 * 25.0 / 6.0

# The simulations per move of the searching reference.
REFERENCE_SIMS = 32


class Reference(enum.StrEnum):
    """The fixed players every generation is rated against, by their names in the ratings."""

    UNIFORM = "uniform"                                     # uniformly random play
    HEURISTIC = "heuristic"                                 # the heuristic network, greedy
    HEURISTIC_SEARCH = f"heuristic-search{REFERENCE_SIMS}"  # the heuristic, sound search


def generation_player(generation: int) -> str:
    """A generation's name in the ratings."""
    return f"gen-{generation:04d}"


@dataclasses.dataclass(frozen=True)
class MatchGame:
    generation: int                # the generation whose evaluation played it
    players: tuple[str, ...]       # the player in each seat
    outcome: tuple[float, ...]     # the four win shares by seat
    points: tuple[float, ...] | None = None  # the four points by seat at the end

    @property
    def ranking(self) -> tuple[float, ...]:
        """What the seats are ranked by, higher first."""
        return self.outcome if self.points is None else self.points

    def line(self) -> str:
        values: dict[str, Any] = {"generation": self.generation, "players": list(self.players),
                                  "outcome": list(self.outcome)}
        if self.points is not None:
            values["points"] = list(self.points)
        return json.dumps(values, separators=(",", ":"))


@dataclasses.dataclass(frozen=True)
class Rating:
    mu: float
    sigma: float
    games: int

    @property
    def conservative(self) -> float:
        """mu - 3 sigma: the usual ranking figure, low until a player has played enough."""
        return self.mu - 3.0 * self.sigma


def read_matches(path: Path) -> list[MatchGame]:
    """The games of a matches file; a last line cut short by a killed run is left out with a
    warning, any other bad line is an error naming the file and the line."""
    if not path.exists():
        return []
    lines = path.read_text().split("\n")
    games: list[MatchGame] = []
    for number, text in enumerate(lines, 1):
        if not text.strip():
            continue
        try:
            values = json.loads(text)
            points = values.get("points")
            game = MatchGame(int(values["generation"]), tuple(map(str, values["players"])),
                             tuple(float(x) for x in values["outcome"]),
                             None if points is None else tuple(float(x) for x in points))
            if len(game.players) != 4 or len(game.outcome) != 4 or (
                    game.points is not None and len(game.points) != 4):
                raise ValueError("not four seats")
        except (ValueError, KeyError, TypeError) as error:
            if number == len(lines) and not text.endswith("}"):
                logger.warning("%s: the last line is cut short and left out", path)
                break
            raise ValueError(f"{path}, line {number}: not a match game ({error})") from None
        games.append(game)
    return games


def record_matches(path: Path, generation: int, games: Sequence[MatchGame]) -> None:
    """Keeps a generation's games in the matches file, all of them or none: the file is
    rewritten whole, without any game of this generation or a later one (a generation played
    again after an interruption replaces its games rather than counting them twice)."""
    kept = [g for g in read_matches(path) if g.generation < generation]
    text = "".join(g.line() + "\n" for g in [*kept, *games])
    write_text_atomically(path, text)


@dataclasses.dataclass(frozen=True)
class RatingFit:
    """The joint fit: the players, their mu and the posterior covariance of the mus."""

    players: tuple[str, ...]
    mu: np.ndarray          # by player
    covariance: np.ndarray  # players x players
    games: np.ndarray       # games played, by player

    def ratings(self) -> dict[str, Rating]:
        sigma = np.sqrt(np.diag(self.covariance))
        return {p: Rating(float(self.mu[i]), float(sigma[i]), int(self.games[i]))
                for i, p in enumerate(self.players)}

    def difference(self, first: str, second: str) -> tuple[float, float]:
        """mu of ``first`` less ``second``'s, and the sigma of that difference (their ratings
        share games, so it is not the sigmas added in quadrature)."""
        i, j = self.players.index(first), self.players.index(second)
        c = self.covariance
        return (float(self.mu[i] - self.mu[j]),
                float(np.sqrt(max(c[i, i] + c[j, j] - 2.0 * c[i, j], 0.0))))


def _log_posterior(mu: np.ndarray, seats: np.ndarray, worse: np.ndarray, weight: np.ndarray,
                   free: np.ndarray, prior_mu: float) -> tuple[float, np.ndarray, np.ndarray]:
    """The log posterior of the mus (up to a constant), its gradient and its Hessian.

    ``seats`` is games x 4 player indices; ``worse[g, q, i]`` says seat i ranks no better
    than seat q; ``weight[g, q]`` is 1 / (seats tied with q). A game's log likelihood is
    sum_q weight_q (x_q - log sum_{i worse or tied} exp x_i), with x = mu / SKILL_SCALE.
    The players marked ``free`` have the prior N(prior_mu, START_SIGMA^2); the others have
    none (they are held where they are)."""
    x = mu[seats] / SKILL_SCALE
    x = x - x.max(axis=1, keepdims=True)  # a game's likelihood ignores a shift of its skills
    exps = np.where(worse, np.exp(x)[:, None, :], 0.0)
    totals = exps.sum(axis=2)
    shares = exps / totals[:, :, None]  # g, q, i: seat i's share of the q-th term
    value = float((weight * (x - np.log(totals))).sum())
    seat_gradient = weight - np.einsum("gq,gqi->gi", weight, shares)
    seat_hessian = (np.einsum("gqi,gqj,gq->gij", shares, shares, weight)
                    - np.einsum("gqi,gq,ij->gij", shares, weight, np.eye(4)))
    count = len(mu)
    gradient = np.bincount(seats.ravel(), seat_gradient.ravel(), count) / SKILL_SCALE
    hessian = np.zeros((count, count))
    np.add.at(hessian, (seats[:, :, None], seats[:, None, :]), seat_hessian / SKILL_SCALE**2)
    prior = np.where(free, 1.0 / START_SIGMA**2, 0.0)
    value -= 0.5 * float((prior * (mu - prior_mu) ** 2).sum())
    gradient -= prior * (mu - prior_mu)
    hessian -= np.diag(prior)
    return value, gradient, hessian


def fit_posterior(games: Iterable[MatchGame], fixed: Mapping[str, float] | None = None,
                  prior_mu: float = START_MU) -> RatingFit:
    """The joint fit of all the games, by Newton's method on the log posterior (concave: the
    Plackett-Luce log likelihood is, and the prior strictly).

    ``fixed`` holds players at given mus (a pinned origin, or references rated before): they
    are not fitted and have no prior, their sigma is 0, and the others' covariance is taken
    with them held. Every other player has the prior N(``prior_mu``, START_SIGMA^2)."""
    games = list(games)
    fixed = dict(fixed or {})
    players = tuple(dict.fromkeys(p for g in games for p in g.players))
    index = {p: i for i, p in enumerate(players)}
    count = len(players)
    seats = np.array([[index[p] for p in g.players] for g in games], dtype=np.intp).reshape(-1, 4)
    scores = np.array([g.ranking for g in games], dtype=np.float64).reshape(-1, 4)
    worse = scores[:, None, :] <= scores[:, :, None]
    weight = 1.0 / (scores[:, None, :] == scores[:, :, None]).sum(axis=2)
    played = np.zeros(count, dtype=np.int64)
    for g in games:
        for p in set(g.players):
            played[index[p]] += 1
    free = np.array([p not in fixed for p in players], dtype=bool)
    mu = np.array([fixed.get(p, prior_mu) for p in players], dtype=np.float64)

    def posterior(at: np.ndarray) -> tuple[float, np.ndarray, np.ndarray]:
        """The log posterior, its gradient and Hessian in the free players alone."""
        value, gradient, hessian = _log_posterior(at, seats, worse, weight, free, prior_mu)
        return value, gradient[free], hessian[np.ix_(free, free)]

    value, gradient, hessian = posterior(mu)
    for _ in range(100):
        step = np.zeros(count)
        step[free] = np.linalg.solve(hessian, -gradient)
        if float(np.abs(step).max(initial=0.0)) < 1e-9:
            break
        # Halved until the posterior rises (Newton's full step nearly always does).
        size = 1.0
        while True:
            trial = posterior(mu + size * step)
            if trial[0] >= value - 1e-12 or size < 1e-6:
                break
            size /= 2.0
        mu = mu + size * step
        value, gradient, hessian = trial
    covariance = np.zeros((count, count))
    covariance[np.ix_(free, free)] = np.linalg.inv(-hessian)
    return RatingFit(players, mu, covariance, played)


def fit_ratings(games: Iterable[MatchGame], fixed: Mapping[str, float] | None = None,
                prior_mu: float = START_MU) -> dict[str, Rating]:
    """Every player's rating from all the games at once (``fit_posterior``)."""
    return fit_posterior(games, fixed, prior_mu).ratings()


def write_ratings(path: Path, ratings: dict[str, Rating]) -> None:
    write_text_atomically(path, json.dumps(
        {p: dataclasses.asdict(r) for p, r in ratings.items()}, indent=1) + "\n")


def load_ratings(path: Path, matches: Path) -> dict[str, Rating]:
    """The ratings of ``path``, rebuilt from the matches (and written again) when the file is
    missing, damaged, or older than the matches: a loop stopped after keeping a generation's
    games and before refitting leaves the last fit behind them."""
    try:
        if matches.exists() and path.stat().st_mtime_ns < matches.stat().st_mtime_ns:
            logger.warning("%s is older than %s: the ratings are refitted", path, matches)
        else:
            values: dict[str, Any] = json.loads(path.read_text())
            return {p: Rating(float(v["mu"]), float(v["sigma"]), int(v["games"]))
                    for p, v in values.items()}
    except FileNotFoundError:
        pass
    except (ValueError, KeyError, TypeError, AttributeError):
        logger.warning("%s is damaged: the ratings are rebuilt from %s", path, matches)
    ratings = fit_ratings(read_matches(matches))
    try:
        write_ratings(path, ratings)
    except OSError as error:  # a run folder that is only read (copied, mounted read-only)
        logger.warning("%s: the refitted ratings are not kept (%s)", path,
                       error.strerror or error)
    return ratings


def ratings_table(ratings: dict[str, Rating]) -> str:
    """A table of the players, best (by mu) first."""
    rows = sorted(ratings.items(), key=lambda item: -item[1].mu)
    lines = [f"{'player':<22} {'mu':>7} {'sigma':>6} {'mu-3s':>7} {'games':>6}"]
    lines += [f"{p:<22} {r.mu:7.2f} {r.sigma:6.2f} {r.conservative:7.2f} {r.games:6d}"
              for p, r in rows]
    return "\n".join(lines)
