"""Evaluation: the greedy score against three random players (the module's games, through the
harness), a seat-rotated greedy match between two networks played here in Python, and a
seat-rotated match of a greedy network against a searching one, played here by the engine;
matches played side by side on threads of this process.

Against random players the network always sits in seat 0, which moves first: a uniformly
random player there already scores well above an even share (about 0.41 on side 10, against
0.25), so a score against random players is only meaningful beside that random player's own
figure, measured the same way.
"""

from __future__ import annotations

import dataclasses
import math
import threading
import time
from collections.abc import Callable, Sequence
from concurrent import futures
from typing import Any, NamedTuple

import numpy as np

from ..base.settings import SOUND_SEARCH, SearchSettings
from ..base.statistics import share_interval
from ..local.lifecycle import GameRun, GameStatus, RunFailed, RunOpener
from ..local.openings import arena_opening, game_seed
from ..local.options import RunKind, RunOptions
from ..local.run import Run
from ..networks.backend import Backend
from ..networks.builtin import GlobalsArray, Network, PlanesArray, Scores, evaluate
from ..networks.inputs import InputKind, network_inputs
from ..networks.names import NetworkName
from ..networks.synchronous import SyncPipe

# Policy logits (batch, side * side) for float32 planes (batch, 5, side, side).
PolicyFunction = Callable[[np.ndarray[Any, Any]], np.ndarray[Any, Any]]


@dataclasses.dataclass(frozen=True)
class Policy:
    """A greedy player's policy logits in the form it sees its positions: ``logits(planes)``
    for the five planes, ``logits(planes, globals)`` for the full position (its six planes and
    its global features). A plain ``PolicyFunction`` is a policy of the five planes."""

    logits: Callable[..., np.ndarray[Any, Any]]
    inputs: InputKind = InputKind.PLANES

    @classmethod
    def of(cls, policy: PolicyFunction | Policy) -> Policy:
        return policy if isinstance(policy, Policy) else cls(policy)

    def positions(self, games: Sequence[Any]) -> tuple[np.ndarray[Any, Any], ...]:
        """The arrays this policy takes for positions of ``tralix_rules.Game``."""
        if self.inputs is InputKind.FULL:
            encoded = [game.encode_full() for game in games]
            return (np.stack([planes for planes, _ in encoded]).astype(np.float32),
                    np.stack([features for _, features in encoded]).astype(np.float32))
        return (np.stack([game.encode(1) for game in games]).astype(np.float32),)
# Asked between the moves of a match: True stops it (MatchStopped).
StopCheck = Callable[[], bool]


class MatchStopped(Exception):
    """A match stopped from outside before its end."""


@dataclasses.dataclass(frozen=True)
class Score:
    mean: float
    half_width: float    # of the 95% confidence interval
    games: int
    seconds: float = 0.0
    evaluations: int = 0

    def as_dict(self) -> dict[str, float]:
        return dataclasses.asdict(self)

    def text(self) -> str:
        return f"{self.mean:.3f} ± {self.half_width:.3f}"


class PlayedGame(NamedTuple):
    """One game of a match as the ratings keep it."""

    seat: int              # of the network the match rates
    outcome: list[float]   # the four seats' win shares
    points: list[float]    # the four seats' points at the end, which rank the losers too


# A match: given its seed, the list that receives each game and what stops it, plays its games
# and returns the score of the network it rates.
Match = Callable[[int, list[PlayedGame], StopCheck], Score]


def against_random(network: NetworkName, side: int, games: int, workers: int, threads: int,
                   batch_size: int, torch_threads: int = 1,
                   stop: Callable[[GameRun], None] | None = None,
                   open_run: RunOpener = Run, backend: Backend = Backend.AUTO,
                   should_stop: StopCheck | None = None) -> Score:
    """The network's greedy mean score in seat 0 against three uniformly random players,
    through the module's games in the harness's worker processes (``open_run``: on a
    cluster). ``stop`` is handed the run as it starts (to stop it from a signal handler);
    ``should_stop`` is asked as each game ends, and True stops the run (MatchStopped)."""
    options = RunOptions(kind=RunKind.RANDOM, games=games, settings=SearchSettings(dim=side),
                         networks=[network], workers=workers, threads=threads,
                         batch_size=batch_size, torch_threads=torch_threads, backend=backend)
    scores: list[float] = []
    with open_run(options) as run:
        if stop is not None:
            stop(run)
        for result in run:
            if should_stop is not None and should_stop():
                raise MatchStopped
            if result.status is GameStatus.FINISHED and result.score is not None:
                scores.append(result.score)
        served = run.requests_served()
        seconds = time.perf_counter() - run.started
    if len(scores) < games:
        raise RunFailed(f"{games - len(scores)} of {games} games against random players "
                        "were abandoned")
    mean, half = share_interval(scores)
    return Score(mean, half, len(scores), seconds, served)


def random_policy(seed: int) -> PolicyFunction:
    """A uniformly random player as a policy: fresh random logits for every position."""
    rng = np.random.default_rng(seed)
    return lambda planes: rng.random((len(planes), planes.shape[-1] * planes.shape[-2]))


def greedy_match(candidate: PolicyFunction | Policy, opponent: PolicyFunction | Policy,
                 side: int, games: int, opening: int, seed: int,
                 outcomes: list[PlayedGame] | None = None,
                 stop: StopCheck | None = None) -> Score:
    """The candidate in one seat against the opponent in the three others, each laying the
    valid tile of highest policy logit, each seeing the positions in its own form. Games come
    in fours from one opening (``opening`` tiles drawn at random), the candidate in each seat
    once, so that no seat and no opening favours either side; the interval is taken over the
    openings. An even match scores 0.25. ``outcomes``, when given, receives each game (the
    candidate's seat in it); ``stop`` is asked before every round of moves."""
    import tralix_rules

    start = time.perf_counter()
    rng = np.random.default_rng(seed)
    openings = max(1, math.ceil(games / 4))
    boards = []
    seats = []
    for _ in range(openings):
        base = tralix_rules.Game(side)
        for _ in range(opening):
            if base.is_over():
                break
            base.apply(int(rng.choice(base.valid_tiles())))
        for seat in range(4):
            boards.append(base.copy())
            seats.append(seat)
    evaluations = 0
    while True:
        playing = [i for i, b in enumerate(boards) if not b.is_over()]
        if not playing:
            break
        if stop is not None and stop():
            raise MatchStopped
        for policy, ours in ((Policy.of(candidate), True), (Policy.of(opponent), False)):
            movers = [i for i in playing if not boards[i].is_over()
                      and (boards[i].current_player == seats[i]) == ours]
            if not movers:
                continue
            logits = policy.logits(*policy.positions([boards[i] for i in movers]))
            evaluations += len(movers)
            for row, i in enumerate(movers):
                valid = boards[i].valid_tiles()
                boards[i].apply(valid[int(np.argmax(logits[row, valid]))])
    results = [boards[i].outcome()[seats[i]] for i in range(len(boards))]
    if outcomes is not None:
        outcomes += [PlayedGame(seats[i], list(boards[i].outcome()),
                                [float(x) for x in boards[i].scores()])
                     for i in range(len(boards))]
    per_opening = [sum(results[4 * k:4 * k + 4]) / 4 for k in range(openings)]
    mean, half = share_interval(per_opening)
    return Score(mean, half, len(boards), time.perf_counter() - start, evaluations)


class _Stoppable:
    """A network whose evaluations raise MatchStopped once ``stop`` says so."""

    def __init__(self, network: Network, stop: StopCheck) -> None:
        self.network = network
        self.inputs = network_inputs(network)
        self.stop = stop

    def evaluate(self, planes: PlanesArray, globals_: GlobalsArray | None = None
                 ) -> tuple[Scores, Scores]:
        if self.stop():
            raise MatchStopped
        return evaluate(self.network, planes, globals_)


class PolicyNetwork:
    """A policy as a network, for a greedy seat of the engine's matches, which plays its
    highest prior and never looks at the value: the values are zeros."""

    def __init__(self, policy: PolicyFunction | Policy) -> None:
        self.policy = Policy.of(policy)
        self.inputs = self.policy.inputs

    def evaluate(self, planes: PlanesArray, globals_: GlobalsArray | None = None
                 ) -> tuple[Scores, Scores]:
        arrays = (planes,) if globals_ is None else (planes, globals_)
        return self.policy.logits(*arrays), np.zeros((len(planes), 4), np.float32)


def search_match(candidate: Network, opponent: Network, sims: int, side: int, games: int,
                 opening: int, seed: int,
                 outcomes: list[PlayedGame] | None = None,
                 stop: StopCheck | None = None) -> Score:
    """The candidate, greedy, in one seat against the opponent searching ``sims`` simulations
    per move (the sound search) in the three others, through ``tralix_engine.play_match`` in
    this process, each asked in the request layout of what it sees. Games come in fours from
    one opening (the arena's: ``opening`` tiles laid at random, drawn from ``seed`` and the
    opening's number), the candidate in each seat once; the interval is taken over the
    openings. The searches draw from ``seed`` and the game's
    number too: the same seed plays the same games. ``outcomes`` and ``stop`` as for
    ``greedy_match`` (``stop`` is asked before every evaluation; the engine then fails with
    MatchStopped as its cause)."""
    import tralix_engine
    import tralix_rules

    if stop is not None:
        candidate, opponent = _Stoppable(candidate, stop), _Stoppable(opponent, stop)
    start = time.perf_counter()
    config = SearchSettings(dim=side, sims_per_move=sims, search_mode=SOUND_SEARCH)
    pipe = SyncPipe()
    mine, theirs = pipe.queue(candidate), pipe.queue(opponent)
    own: Any = mine
    if mine.inputs is not InputKind.PLANES:  # greedy, in its own layout
        own = (mine, 0, dataclasses.replace(config, rep=mine.inputs.rep()))
    rival: Any = (theirs, sims) if sims > 0 else theirs
    if theirs.inputs is not InputKind.PLANES:
        rival = (theirs, sims, dataclasses.replace(config, rep=theirs.inputs.rep()))
    openings = max(1, math.ceil(games / 4))
    per_opening: list[float] = []
    for number in range(openings):
        tiles = arena_opening(side, opening, seed, number)
        total = 0.0
        for seat in range(4):
            seats = [own if s == seat else rival for s in range(4)]
            game = 4 * number + seat
            outcome, history = tralix_engine.play_match(game, config, seats, pipe, tiles,
                                                        seed=game_seed(seed, game))
            total += float(outcome[seat])
            if outcomes is not None:
                final = tralix_rules.Game(side)  # the points, from the game's tiles
                for _, tile in history:
                    final.apply(tile)
                outcomes.append(PlayedGame(seat, [float(x) for x in outcome],
                                           [float(x) for x in final.scores()]))
        per_opening.append(total / 4)
    mean, half = share_interval(per_opening)
    return Score(mean, half, 4 * openings, time.perf_counter() - start,
                 mine.requests + theirs.requests)


def play_matches(matches: Sequence[Match], seed: int, threads: int
                 ) -> list[tuple[Score, list[PlayedGame]]]:
    """Plays the matches (the i-th with seed ``seed + i``) on up to ``threads`` threads of one
    torch thread each: a match is one thread's work, most of it in the network, which lets go
    of the interpreter meanwhile. Returns each one's score and games, in order, as one after
    the other would. On a failure or an interruption (Ctrl-C strikes in this thread) the
    others stop at their next move and nothing is returned."""
    played: list[list[PlayedGame]] = [[] for _ in matches]
    stop = threading.Event()
    with futures.ThreadPoolExecutor(max(1, min(threads, len(matches))),
                                    initializer=_one_torch_thread) as pool:
        running = [pool.submit(match, seed + index, played[index], stop.is_set)
                   for index, match in enumerate(matches)]
        try:
            pending = set(running)
            while pending:  # with a timeout, so that a signal's handler runs in time
                done, pending = futures.wait(pending, timeout=0.25,
                                             return_when=futures.FIRST_EXCEPTION)
                for future in done:
                    future.result()
        except BaseException:
            stop.set()
            raise
    return [(future.result(), games) for future, games in zip(running, played, strict=True)]


def _one_torch_thread() -> None:
    import torch

    torch.set_num_threads(1)
