"""A worker process's body: its game slots played together (channels.py), each claiming the
run's next game number until none is left, and every finished game reported to the main
process as an event."""

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
from ..data.records import TrainingGame
from ..networks.backend import Backend
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

    # The self-play module for its own search and greedy games against random players, the
    # engine for the other searches and for matches.
    searching = setup.kind is RunKind.SELFPLAY and setup.settings.search_mode != 0
    module: Any = tralix_engine if searching else tralix_self_play
    stop, events = setup.stop, setup.events
    queues = [channels.queue(n) for n in range(setup.kind.networks)]
    pipe = channels.pipe(slot)
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
        players = [q if setup.match_sims == 0 else (q, setup.match_sims) for q in queues]
        try:
            if setup.kind is RunKind.SELFPLAY:
                status = GameStatus(module.play_training_game(game_id, setup.settings, results,
                                                              queues[0], pipe))
                if status is GameStatus.FINISHED:
                    game = TrainingGame(*results.items[0][1])
            elif setup.kind is RunKind.RANDOM and setup.match_sims == 0:
                status = GameStatus(module.play_test_against_random(game_id, setup.settings,
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
                    outcome, history = tralix_engine.play_match(game_id, setup.settings, seats,
                                                                pipe, opening, seed=seed)
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
                               history)))


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
    channels = WorkerChannels(routes, setup.slots, setup.total_slots, side, setup.stop)
    channels.run(lambda slot: _play_games(setup, slot, channels))
