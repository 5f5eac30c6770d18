"""A worker process's body: its game slots played together (channels.py), each claiming the
run's next game number until none is left, and every finished game reported to the main
process as an event.

Each network is asked in its own search settings (``WorkerSetup.configs``: the request layout
of what it sees). Training games go to the self-play module for its own search (mode 0) and to
tralix_engine for the others; greedy games against random players to the self-play module for
a five-plane network, and like every match to ``tralix_engine.play_match`` otherwise, a seat
whose network is asked in other settings than the call's given them as its own."""

from __future__ import annotations

import dataclasses
import os
import signal
import time
from multiprocessing.connection import Connection
from multiprocessing.sharedctypes import Synchronized
from multiprocessing.synchronize import Event as StopEvent
from typing import Any

from ..base.settings import SearchSettings
from ..data.records import RootValues, TrainingGame
from ..networks.backend import Backend
from ..networks.inputs import FULL_REP
from ..networks.names import NetworkName
from .answering import load_answerer
from .channels import Collector, Route, WorkerChannels
from .events import EventKind, EventPipe
from .lifecycle import GameResult, GameStatus
from .openings import arena_opening, game_seed
from .options import RunKind
from .parent_watch import end_with_parent


@dataclasses.dataclass(frozen=True)
class LocalNetwork:
    """A network a worker runs in its own process."""

    name: NetworkName
    backend: Backend                           # settled: what runs a torch checkpoint
    rep: int
    batch_size: int
    torch_threads: int
    statistics: Any  # a shared array of three doubles, see BatchAnswerer.shared


@dataclasses.dataclass(frozen=True)
class WorkerSetup:
    """Everything one worker process is handed when it starts."""

    kind: RunKind
    settings: SearchSettings
    # Per network, its search settings: the run's in the request layout of what it sees.
    configs: tuple[SearchSettings, ...]
    slots: tuple[int, ...]                     # the run-wide numbers of its game slots
    total_slots: int                           # game slots of the whole run
    # Per network: the server's request and reply connections, or, for a network run in the
    # worker, what it needs to load it and where it publishes its statistics.
    routes: tuple[tuple[Connection, Connection] | LocalNetwork, ...]
    counter: Synchronized[int]                 # the next game to claim, run-wide
    numbers: tuple[int, ...]                   # the numbers of the run's games, in order
    match_sims: int                            # random and arena: the networks' simulations
    arena_opening: int                         # arena: random tiles before each opening
    seed: int                                  # arena: seed of the openings and searches
    stop: StopEvent
    events: EventPipe
    quiet: bool                                # keep the module's own printing off stdout


def _claim(counter: Synchronized[int], numbers: tuple[int, ...]) -> int | None:
    with counter.get_lock():
        if counter.value >= len(numbers):
            return None
        number = numbers[counter.value]
        counter.value += 1
        return number


def _play_games(setup: WorkerSetup, slot: int, channels: WorkerChannels) -> None:
    import tralix_engine
    import tralix_self_play

    # The self-play module for its own search and the five planes' greedy games against
    # random players, the engine for the other searches and for matches.
    config = setup.configs[0]
    searching = setup.kind is RunKind.SELFPLAY and config.search_mode != 0
    module: Any = tralix_engine if searching else tralix_self_play
    stop, events = setup.stop, setup.events
    queues = [channels.queue(n) for n in range(setup.kind.networks)]
    pipe = channels.pipe(slot)
    # The seats of matches, asked in the call's settings (network 0's) or in their own.
    sims = setup.match_sims
    players: list[Any] = [
        (q, sims, setup.configs[n]) if setup.configs[n] != config else
        (q if sims == 0 else (q, sims)) for n, q in enumerate(queues)]
    module_plays_random = config.rep != FULL_REP
    while not stop.is_set():
        number = _claim(setup.counter, setup.numbers)
        if number is None:
            return
        game_id = number * setup.total_slots + slot
        results = Collector()
        start = time.perf_counter()
        game: TrainingGame | None = None
        score: float | None = None
        history: list[tuple[int, int]] | None = None
        root_values: RootValues | None = None
        try:
            if setup.kind is RunKind.SELFPLAY:
                status = GameStatus(module.play_training_game(game_id, config, results,
                                                              queues[0], pipe))
                if status is GameStatus.FINISHED:
                    # The engine adds the values its searches met when asked to.
                    played = results.items[0][1]
                    game = TrainingGame(*played[:3])
                    root_values = played[3] if len(played) > 3 else None
            elif setup.kind is RunKind.RANDOM and sims == 0 and module_plays_random:
                status = GameStatus(module.play_test_against_random(game_id, config,
                                                                    results, queues[0], pipe))
                if status is GameStatus.FINISHED:
                    score = float(results.items[0][1])
            else:
                if setup.kind is RunKind.RANDOM:
                    seat, seats, opening = 0, [players[0], None, None, None], []
                    seed = None
                else:  # the arena: four games from each opening, the network in each seat
                    seat = number % 4
                    seats = [players[0] if s == seat else players[1] for s in range(4)]
                    opening = arena_opening(setup.settings.side, setup.arena_opening,
                                            setup.seed, number // 4)
                    seed = game_seed(setup.seed, number)
                try:
                    outcome, history = tralix_engine.play_match(game_id, config, seats, pipe,
                                                                opening, seed=seed)
                    score = float(outcome[seat])
                    status = GameStatus.FINISHED
                except RuntimeError:  # a network failed
                    status = GameStatus.ABANDONED
        except BaseException as stop_error:  # a fatal stop inside the module
            events.put((EventKind.PANIC,
                        f"game {number}: {type(stop_error).__name__}: {stop_error}"))
            stop.set()
            return
        if pipe.stopped:
            return  # abandoned because the run is stopping, not a failure of its own
        events.put((EventKind.GAME,
                    GameResult(number, status, time.perf_counter() - start, game, score,
                               history, root_values)))


def work(setup: WorkerSetup) -> None:
    """Process body of a worker."""
    end_with_parent()  # a killed main process leaves no worker behind
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the main process decides when to stop
    if setup.quiet:  # the test games print every final board: keep them off the terminal
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
    side = setup.settings.side
    routes: list[Route] = []
    for route in setup.routes:
        if isinstance(route, LocalNetwork):
            answerer = load_answerer(route.name, side, route.rep, route.batch_size,
                                     route.torch_threads, setup.events, route.statistics,
                                     route.backend)
            if answerer is None:
                return  # reported; the main process stops the run
            routes.append(answerer)
        else:
            routes.append(route)
    channels = WorkerChannels(routes, setup.slots, setup.total_slots, side, setup.stop,
                              reps=[config.rep for config in setup.configs])
    channels.run(lambda slot: _play_games(setup, slot, channels))
