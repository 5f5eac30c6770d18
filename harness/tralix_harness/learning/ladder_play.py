"""The ladder's games: how each kind of seat plays (uniformly random, a network greedy or
searching, a search without a network), one game played by ``tralix_engine.play_match`` with
the networks answering in the playing process (``SyncPipe``), and many games in worker
processes.

Worker processes rather than threads: a search without a network runs inside the engine and
holds the interpreter for the whole of its move, so threads would play the costly matches
(256 simulations per move, each leaf valued by a random playout) on one core. A game is one
task; each process loads a network once and keeps it for its later games.
"""

from __future__ import annotations

import dataclasses
import enum
import hashlib
import multiprocessing
import signal
from collections.abc import Callable, Sequence
from concurrent import futures
from typing import Any

import numpy as np

from ..base.settings import SOUND_SEARCH, SearchSettings
from ..local.parent_watch import end_with_parent
from ..networks.backend import Backend
from ..networks.builtin import Network
from ..networks.inputs import network_inputs
from ..networks.loading import load_network
from ..networks.synchronous import SyncPipe

# The search of a network that searches in the ladder: the Gumbel root (without noise, as in
# every match), the move the survivor of sequential halving.
GUMBEL_SEARCH = 2


class SeatKind(enum.StrEnum):
    RANDOM = "random"    # uniformly random play
    NETWORK = "network"  # a network: its highest prior, or its search
    SEARCH = "search"    # a search without a network: equal priors, random playouts


@dataclasses.dataclass(frozen=True)
class Seat:
    """How a player plays its seats, as a worker process is handed it."""

    kind: SeatKind
    network: str = ""   # NETWORK: the network's name as the processes load it
    sims: int = 0       # simulations per move (0: a network plays its highest prior)
    search_mode: int = SOUND_SEARCH


@dataclasses.dataclass(frozen=True)
class GameTask:
    """One game: the seats' players, the opening's tiles and the game's own seed."""

    number: int  # the game's id in its requests
    side: int
    seats: tuple[Seat, ...]
    opening: tuple[int, ...]
    seed: int
    backend: Backend  # what runs a checkpoint (settled: never auto)


@dataclasses.dataclass(frozen=True)
class GameOutcome:
    outcome: tuple[float, ...]  # the four seats' win shares
    points: tuple[float, ...]   # the four seats' points at the end
    digest: str                 # of the tiles laid: equal digests are the same game


def input_layout(network: Network) -> int:
    """The layout of the requests a network takes (the config's ``rep``): the full position's
    for a network that sees it, else the five planes first."""
    return network_inputs(network).rep()


def seat_settings(network: Network | None, side: int, seat: Seat) -> SearchSettings:
    """A seat's own search settings: its simulations and search, and the layout of its
    network's requests."""
    return SearchSettings(dim=side, rep=1 if network is None else input_layout(network),
                          sims_per_move=seat.sims, search_mode=seat.search_mode)


# The networks this process has loaded, by name, side and backend.
_loaded: dict[tuple[str, int, Backend], Network] = {}


def _network(name: str, side: int, backend: Backend) -> Network:
    key = (name, side, backend)
    if key not in _loaded:
        _loaded[key] = load_network(name, side, 1, backend)
    return _loaded[key]


def play_game(task: GameTask) -> GameOutcome:
    """Plays the game in this process; a failing network raises the engine's RuntimeError
    naming its seat."""
    import tralix_engine
    import tralix_rules

    pipe = SyncPipe()
    seats: list[Any] = []
    for seat in task.seats:
        if seat.kind is SeatKind.RANDOM:
            seats.append(None)
        elif seat.kind is SeatKind.SEARCH:
            seats.append((None, seat.sims, seat_settings(None, task.side, seat)))
        else:
            network = _network(seat.network, task.side, task.backend)
            seats.append((pipe.queue(network), seat.sims,
                          seat_settings(network, task.side, seat)))
    config = SearchSettings(dim=task.side, sims_per_move=0, search_mode=SOUND_SEARCH)
    outcome, history = tralix_engine.play_match(task.number, config, seats, pipe,
                                                task.opening, seed=task.seed)
    final = tralix_rules.Game(task.side)
    tiles = [tile for _, tile in history]
    for tile in tiles:
        final.apply(tile)
    digest = hashlib.blake2b(np.asarray(tiles, np.int32).tobytes(), digest_size=8).hexdigest()
    return GameOutcome(tuple(float(x) for x in outcome),
                       tuple(float(x) for x in final.scores()), digest)


def _worker_started() -> None:
    """A worker leaves Ctrl-C to the main process, which ends it, and ends on its own when
    the main process dies without doing so."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    end_with_parent()


def play_games(tasks: Sequence[GameTask], workers: int,
               on_game: Callable[[int, GameOutcome], None]) -> None:
    """Plays the tasks, in this process for one worker, else in up to ``workers`` processes
    taking them in order; ``on_game`` is called in this thread with each task's index and
    outcome as it finishes. A failure or an interruption ends every game at once and is
    raised (a process that died: BrokenProcessPool)."""
    if workers <= 1 or len(tasks) <= 1:
        for index, task in enumerate(tasks):
            on_game(index, play_game(task))
        return
    pool = futures.ProcessPoolExecutor(min(workers, len(tasks)),
                                       mp_context=multiprocessing.get_context("spawn"),
                                       initializer=_worker_started)
    try:
        running = {pool.submit(play_game, task): index for index, task in enumerate(tasks)}
        for future in futures.as_completed(running):
            on_game(running[future], future.result())
    except BaseException:
        # The games in progress would hold the shut-down for as long as they take.
        for process in list(getattr(pool, "_processes", {}).values()):
            process.terminate()
        raise
    finally:
        pool.shutdown(wait=True, cancel_futures=True)
