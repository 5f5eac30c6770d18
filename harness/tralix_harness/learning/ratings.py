"""Ratings of a run's players from the games they played against each other.

Every generation's network plays short seat-rotated matches against fixed references (uniformly
random play, the heuristic network playing greedily, and the heuristic searching) and against
earlier generations; each game is kept as one line of the run folder's ``matches.jsonl`` (the
generation that played it, the player in each seat, the four win shares and the four points).
The ratings are always rebuilt from those lines, in order, with the Plackett-Luce model of
the ``openskill`` package: a game is a ranking of its four seats by points, which orders the
three losers too (by win shares in files kept before the points were: the winner first, the
others tied). A player in
several seats of one game (a reference against the network in the fourth) is rated as that
many copies, and its new rating is the mean of theirs. ``ratings.json`` keeps the last fit
for people and plots; a damaged one, or one older than the matches, is rebuilt from them with
a warning.
"""

from __future__ import annotations

import dataclasses
import enum
import json
import logging
from collections.abc import Iterable, Mapping, Sequence
from pathlib import Path
from typing import Any

from ..base.files import write_text_atomically

logger = logging.getLogger(__name__)

# The rating of a player never seen: openskill's defaults (mu 25, sigma 25 / 3).
START_MU, START_SIGMA = 25.0, 25.0 / 3.0

# The simulations per move of the searching reference.
REFERENCE_SIMS = 32


class Reference(enum.StrEnum):
    """The fixed players every generation is rated against, by their names in the ratings."""

    UNIFORM = "uniform"                                     # uniformly random play
    HEURISTIC = "heuristic"                                 # the heuristic network, greedy
    HEURISTIC_SEARCH = f"heuristic-search{REFERENCE_SIMS}"  # the heuristic, sound search


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


def fit_ratings(games: Iterable[MatchGame],
                start: Mapping[str, Rating] | None = None) -> dict[str, Rating]:
    """Every player's rating after the games, in order; after ``start``'s, when given, which
    must be the fit of the games before these."""
    from openskill.models import PlackettLuce

    model = PlackettLuce()
    state: dict[str, tuple[float, float, int]] = {
        player: (r.mu, r.sigma, r.games) for player, r in (start or {}).items()}
    for game in games:
        seats = [model.rating(mu=state.get(p, (START_MU,))[0],
                              sigma=state.get(p, (START_MU, START_SIGMA))[1])
                 for p in game.players]
        rated = model.rate([[r] for r in seats], scores=list(game.ranking))
        updates: dict[str, list[tuple[float, float]]] = {}
        for player, [after] in zip(game.players, rated, strict=True):
            updates.setdefault(player, []).append((after.mu, after.sigma))
        for player, values in updates.items():
            played = state.get(player, (START_MU, START_SIGMA, 0))[2]
            state[player] = (sum(v[0] for v in values) / len(values),
                             sum(v[1] for v in values) / len(values), played + 1)
    return {player: Rating(mu, sigma, n) for player, (mu, sigma, n) in state.items()}


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
    write_ratings(path, ratings)
    return ratings


def ratings_table(ratings: dict[str, Rating]) -> str:
    """A table of the players, best (by mu) first."""
    rows = sorted(ratings.items(), key=lambda item: -item[1].mu)
    lines = [f"{'player':<22} {'mu':>7} {'sigma':>6} {'mu-3s':>7} {'games':>6}"]
    lines += [f"{p:<22} {r.mu:7.2f} {r.sigma:6.2f} {r.conservative:7.2f} {r.games:6d}"
              for p, r in rows]
    return "\n".join(lines)
