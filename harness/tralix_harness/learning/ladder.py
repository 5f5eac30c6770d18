"""The fixed ladder: networks rated on one scale that does not move between runs.

Four references, in ladder order: ``uniform`` (uniformly random play), ``heuristic`` (the
builtin heuristic network, greedy), and two searches without a network, ``search64`` and
``search256`` (equal priors, each leaf valued by one uniformly random playout, the sound
search, 64 and 256 simulations per move). Their ratings come from reference matches alone,
each reference in one seat against three of the one below it, played once per board side,
seed and number of games and kept in the references file (``ladder_cache``), then fitted with
``uniform`` pinned at 0: the same references' ratings in every invocation. Each checkpoint
plays every reference the same way, one seat against three, and is rated with the references
held at their values (the Plackett-Luce fit of ``ratings``, every player not held with the
prior of openskill around uniform's 0). The checkpoints may meet some references only: each
match is the same games either way, its draws tagged by the reference it meets.

Every match is seat-rotated from random openings (the arena's: ``OPENING_TILES`` tiles laid
at random, opening k the same in every match of one seed), four games from each, the rated
player in each seat once; its score is the mean over openings (0.25 is even) with a 95%
interval by Student's t over them (by the exact binomial bound where every opening scored 0,
or every one 1). The searches' draws come from the seed, the match and the
game's number: the same command plays the same games, and every checkpoint meets a reference
in the same games but for its own moves.
"""

from __future__ import annotations

import dataclasses
import itertools
import logging
import math
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

from ..base.settings import MAX_SIDE, MIN_SIDE, SOUND_SEARCH, Settings, option
from ..base.statistics import share_interval
from ..local.openings import arena_opening
from ..networks.backend import Backend, settle
from ..networks.names import NetworkKind, NetworkName
from .ladder_cache import ReferenceCache, match_key
from .ladder_play import GUMBEL_SEARCH, GameOutcome, GameTask, Seat, SeatKind, play_games
from .ratings import MatchGame, Rating, fit_ratings

logger = logging.getLogger(__name__)

# Tiles laid at random before each opening's four games, as in the arena.
OPENING_TILES = 6
# A rating's interval: 1.96 posterior sigmas (the posterior is near normal).
RATING_Z = 1.959964


@dataclasses.dataclass(frozen=True)
class LadderSettings(Settings):
    side: int = option(20, "board side", least=MIN_SIDE, most=MAX_SIDE)
    games: int = option(
        32, "games of each checkpoint against each reference (rounded up to a multiple of "
        "four: from each opening, the checkpoint in each seat once)", least=1)
    sims: int = option(
        0, "simulations per move of the checkpoints, searching with the Gumbel root (search "
        "mode 2) without noise; 0 plays the highest prior", least=0)
    seed: int = option(0, "seed of the openings and of the searches' draws", least=0)
    workers: int = option(2, "worker processes playing the games (1: this process)", least=1)
    reference_games: int = option(
        64, "games of each match between references (rounded up to a multiple of four), "
        "played once per side and seed and kept in the references file", least=1)
    backend: Backend = option(
        Backend.AUTO, "what runs a torch:CHECKPOINT: onnxruntime (its ONNX file, exported "
        "when missing or stale), torch, torch-bfloat16, or auto: onnxruntime when installed")

    @property
    def openings(self) -> int:
        return math.ceil(self.games / 4)

    @property
    def reference_openings(self) -> int:
        return math.ceil(self.reference_games / 4)


@dataclasses.dataclass(frozen=True)
class Player:
    name: str  # in the ratings
    seat: Seat


UNIFORM = Player("uniform", Seat(SeatKind.RANDOM))
REFERENCES = (UNIFORM,
              Player("heuristic", Seat(SeatKind.NETWORK, "heuristic")),
              Player("search64", Seat(SeatKind.SEARCH, sims=64, search_mode=SOUND_SEARCH)),
              Player("search256", Seat(SeatKind.SEARCH, sims=256, search_mode=SOUND_SEARCH)))


@dataclasses.dataclass(frozen=True)
class LadderMatch:
    """The rated player in one seat against the opponent in the three others."""

    rated: Player
    opponent: Player
    tag: int       # of the searches' draws: one per reference match, one per reference met
    openings: int

    def players(self, seat: int) -> tuple[str, ...]:
        return tuple(self.rated.name if s == seat else self.opponent.name for s in range(4))

    def tasks(self, side: int, seed: int, backend: Backend) -> list[GameTask]:
        """The games, four per opening in the rated player's seat order."""
        tasks = []
        for opening in range(self.openings):
            tiles = tuple(arena_opening(side, OPENING_TILES, seed, opening))
            for seat in range(4):
                number = 4 * opening + seat
                state = np.random.SeedSequence([seed, self.tag, number]).generate_state(
                    1, np.uint64)
                seats = tuple(self.rated.seat if s == seat else self.opponent.seat
                              for s in range(4))
                tasks.append(GameTask(number, side, seats, tiles, int(state[0]), backend))
        return tasks


@dataclasses.dataclass(frozen=True)
class MatchScore:
    rated: str
    opponent: str
    mean: float        # over openings, the rated player's win share
    half_width: float  # of its 95% interval (Student's t over the openings)
    games: int
    openings: int
    distinct: int      # games that differ in a tile
    cached: bool = False  # a reference match read from the references file

    def as_dict(self) -> dict[str, Any]:
        return dataclasses.asdict(self)


def match_score(match: LadderMatch, games: Sequence[GameOutcome], cached: bool = False
                ) -> MatchScore:
    shares = [sum(games[4 * k + s].outcome[s] for s in range(4)) / 4
              for k in range(match.openings)]
    mean, half = share_interval(shares)
    return MatchScore(match.rated.name, match.opponent.name, mean, half, len(games),
                      match.openings, len({g.digest for g in games}), cached)


def match_games(match: LadderMatch, games: Sequence[GameOutcome]) -> list[MatchGame]:
    """The games as the ratings take them."""
    return [MatchGame(0, match.players(i % 4), g.outcome, g.points)
            for i, g in enumerate(games)]


@dataclasses.dataclass(frozen=True)
class LadderResult:
    settings: LadderSettings
    ratings: dict[str, Rating]      # every player's; uniform's 0 exactly
    checkpoints: dict[str, str]     # each checkpoint's name in the ratings: its network
    scores: list[MatchScore]        # each checkpoint's against each reference
    reference_scores: list[MatchScore]

    def ranked(self) -> list[tuple[str, Rating]]:
        return sorted(self.ratings.items(), key=lambda item: -item[1].mu)

    def as_dict(self) -> dict[str, Any]:
        """What ``--json`` writes (infinite half-widths as they are: the writer makes them
        null)."""
        s = self.settings
        return {
            "generator": "tralix ladder",
            "side": s.side, "seed": s.seed, "games": 4 * s.openings, "sims": s.sims,
            "reference_games": 4 * s.reference_openings, "opening_tiles": OPENING_TILES,
            "ratings": [{"player": p, "kind": "checkpoint" if p in self.checkpoints
                         else "reference", "network": self.checkpoints.get(p),
                         "rating": r.mu, "sigma": r.sigma, "half_width": RATING_Z * r.sigma,
                         "games": r.games} for p, r in self.ranked()],
            "scores": [m.as_dict() for m in self.scores],
            "reference_scores": [m.as_dict() for m in self.reference_scores],
        }


def _names(candidates: Sequence[tuple[str, NetworkName]]) -> list[str]:
    """The checkpoints' names in the ratings: as given, marked where a reference has it."""
    names = []
    references = {r.name for r in REFERENCES}
    for text, _ in candidates:
        name = f"{text} (checkpoint)" if text in references else text
        if name in names:
            raise ValueError(f"checkpoint {text}: given twice")
        names.append(name)
    return names


class Ladder:
    """The matches of one invocation: the reference matches the references file lacks, and
    every checkpoint's against every reference. Made before any game (a network that cannot
    play the side, or a references file that is not the ladder's: a ValueError naming it)."""

    def __init__(self, candidates: Sequence[tuple[str, NetworkName]], settings: LadderSettings,
                 cache: ReferenceCache, against: Sequence[str] | None = None) -> None:
        unknown = sorted(set(against or ()) - {r.name for r in REFERENCES})
        if unknown:
            raise ValueError(f"no reference named {', '.join(unknown)}")
        self.settings = settings
        self.cache = cache
        cache.check()
        names = _names(candidates)
        asked = [name for _, name in candidates]
        settled = settle(asked, settings.backend)
        self.backend = settled.backend
        notes: list[str] = []
        for name, network in zip(asked, settled.names, strict=True):
            if network.kind in (NetworkKind.TORCH, NetworkKind.ONNX, NetworkKind.FACTORY):
                note = name.side_note(network.check(settings.side), settings.side)
                if note is not None and note not in notes:
                    notes.append(note)
        for note in notes:
            logger.warning("%s", note)
        mode = GUMBEL_SEARCH if settings.sims else SOUND_SEARCH
        self.checkpoints = {
            label: Player(label, Seat(SeatKind.NETWORK, str(network), settings.sims, mode))
            for label, network in zip(names, settled.names, strict=True)}
        self.networks = {label: str(name) for label, name in zip(names, asked, strict=True)}
        self.reference_matches = [
            LadderMatch(upper, lower, tag, settings.reference_openings)
            for tag, (lower, upper) in enumerate(itertools.pairwise(REFERENCES), 1)]
        self.cached: dict[int, list[GameOutcome]] = {}
        for index, match in enumerate(self.reference_matches):
            found = cache.games(self._key(match), 4 * match.openings)
            if found is not None:
                self.cached[index] = found
        self.checkpoint_matches = [
            LadderMatch(player, reference, 100 + tag, settings.openings)
            for player in self.checkpoints.values()
            for tag, reference in enumerate(REFERENCES)
            if against is None or reference.name in against]

    def _key(self, match: LadderMatch) -> str:
        s = self.settings
        return match_key(s.side, s.seed, 4 * match.openings, OPENING_TILES, match.rated.name,
                         match.opponent.name)

    def _to_play(self) -> list[LadderMatch]:
        """The matches to play now: the missing reference matches first (kept as each ends,
        they are what an interrupted invocation leaves for the next), then the checkpoints';
        each group the costliest first, by the simulations of their seats, so that cheap
        games fill the workers at the end."""
        def by_cost(matches: list[LadderMatch]) -> list[LadderMatch]:
            return sorted(matches, reverse=True, key=lambda match: match.rated.seat.sims
                          + 3 * match.opponent.seat.sims)

        missing = [m for i, m in enumerate(self.reference_matches) if i not in self.cached]
        return by_cost(missing) + by_cost(self.checkpoint_matches)

    @property
    def games_to_play(self) -> int:
        return sum(4 * m.openings for m in self._to_play())

    def play(self, on_game: Callable[[], object] | None = None) -> LadderResult:
        """Plays the matches (``on_game`` called as each game ends), keeping each reference
        match in the references file as it ends, and fits the ratings."""
        s = self.settings
        matches = self._to_play()
        tasks: list[GameTask] = []
        owner: list[tuple[int, int]] = []  # each task's match and its index there
        for number, match in enumerate(matches):
            played = match.tasks(s.side, s.seed, self.backend)
            tasks += played
            owner += [(number, i) for i in range(len(played))]
        results: list[list[GameOutcome | None]] = [[None] * (4 * m.openings) for m in matches]
        left = [4 * m.openings for m in matches]

        def finished(index: int, outcome: GameOutcome) -> None:
            number, i = owner[index]
            results[number][i] = outcome
            left[number] -= 1
            match = matches[number]
            if not left[number] and match in self.reference_matches:
                self.cache.store(self._key(match), _complete(results[number]))
            if on_game is not None:
                on_game()

        play_games(tasks, s.workers, finished)
        games = {m: _complete(r) for m, r in zip(matches, results, strict=True)}
        for index, found in self.cached.items():
            games[self.reference_matches[index]] = found
        return self._result(games)

    def _result(self, games: dict[LadderMatch, list[GameOutcome]]) -> LadderResult:
        references = [g for m in self.reference_matches for g in match_games(m, games[m])]
        ratings = fit_ratings(references, fixed={UNIFORM.name: 0.0}, prior_mu=0.0)
        if self.checkpoint_matches:
            held = {r.name: ratings[r.name].mu for r in REFERENCES}
            rated = fit_ratings([g for m in self.checkpoint_matches
                                 for g in match_games(m, games[m])], held, prior_mu=0.0)
            ratings.update({name: rated[name] for name in self.checkpoints})
        reference_scores = [match_score(m, games[m], i in self.cached)
                            for i, m in enumerate(self.reference_matches)]
        scores = [match_score(m, games[m]) for m in self.checkpoint_matches]
        return LadderResult(self.settings, ratings, self.networks, scores, reference_scores)


def _complete(games: Sequence[GameOutcome | None]) -> list[GameOutcome]:
    assert all(g is not None for g in games)
    return [g for g in games if g is not None]
