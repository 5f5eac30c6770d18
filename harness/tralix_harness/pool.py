"""Running many games at once: worker processes, each playing several games at once, and one
inference server per network (or each worker's own copy of it), all started and stopped
together.

Each of a worker's games at once is a game slot, numbered across the run; a game's id is
game_number * slots + slot, so a reply finds its game from the id alone, and a slot runs one
game at a time. A worker sends its games' requests in batches and hands out the replies
(channel.py).
"""

from __future__ import annotations

import dataclasses
import enum
import logging
import multiprocessing
import os
import signal
import time
from collections.abc import Generator, Iterator
from multiprocessing.connection import Connection
from multiprocessing.process import BaseProcess
from multiprocessing.sharedctypes import Synchronized
from multiprocessing.synchronize import Event as StopEvent
from types import TracebackType
from typing import Any

from .channel import Collector, Route, WorkerChannels
from .evaluation import NetworkStatistics
from .events import EventInbox, EventKind, EventPipe
from .parent_watch import end_with_parent
from .server import ServerSettings, load_evaluator, serve
from .settings import SearchSettings

logger = logging.getLogger(__name__)

# The module plays its test games (the arena) on a board of this side, whatever the settings.
TEST_GAME_SIDE = 20


class RunKind(enum.StrEnum):
    """What a run plays."""

    SELFPLAY = "selfplay"  # training games, stored by the caller
    RANDOM = "random"      # the network in seat 0 against three uniformly random players
    ARENA = "arena"        # test games: the network against a baseline, side 20

    @property
    def networks(self) -> int:
        """How many networks the games consult: the model, and for the arena a baseline."""
        return 2 if self is RunKind.ARENA else 1

    def board_side(self, settings: SearchSettings) -> int:
        return TEST_GAME_SIDE if self is RunKind.ARENA else settings.dim


KINDS = tuple(kind.value for kind in RunKind)
INFERENCE = ("auto", "server", "worker")


def inference_for(networks: list[str], inference: str) -> str:
    """Where a run's networks run: "server" or "worker" (see RunOptions.inference)."""
    if inference != "auto":
        return inference
    local = all(n in ("uniform", "heuristic") or n.startswith("torch:") for n in networks)
    return "worker" if local else "server"


class GameStatus(enum.IntEnum):
    FINISHED = 0
    ABANDONED = 1  # after a failed evaluation


@dataclasses.dataclass
class GameResult:
    number: int          # the game's number: 0 .. games - 1 unless the run was given numbers
    status: GameStatus
    seconds: float
    data: Any = None     # selfplay: (history, records, outcome); random and arena: the score


class RunFailed(RuntimeError):
    """A worker or the network failed; the run was stopped."""


class RunInterrupted(RuntimeError):
    """The run was stopped from outside (Ctrl-C or SIGTERM)."""


@dataclasses.dataclass(frozen=True)
class LocalNetwork:
    """A network a worker runs in its own process."""

    name: str
    rep: int
    batch_size: int
    statistics: Any  # a shared array of three doubles, see Evaluator.shared


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
    import tralix_self_play as module

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
        data: Any = None
        try:
            if setup.kind is RunKind.SELFPLAY:
                status = GameStatus(module.play_training_game(game_id, setup.settings, results,
                                                              queues[0], pipe))
            elif setup.kind is RunKind.RANDOM:
                status = GameStatus(module.play_test_against_random(game_id, setup.settings,
                                                                    results, queues[0], pipe))
            else:
                try:
                    data = module.play_test_game(game_id, setup.settings, results, queues[0],
                                                 queues[1], pipe)
                    status = GameStatus.FINISHED
                except Exception:  # "Error running MCTS": the network failed
                    status = GameStatus.ABANDONED
            if status is GameStatus.FINISHED and setup.kind is not RunKind.ARENA:
                data = results.items[0][1]
        except BaseException as stop_error:  # a fatal stop inside the module
            events.put((EventKind.PANIC,
                        f"game {number}: {type(stop_error).__name__}: {stop_error}"))
            stop.set()
            return
        if pipe.stopped:
            return  # abandoned because the run is stopping, not a failure of its own
        events.put((EventKind.GAME,
                    GameResult(number, status, time.perf_counter() - start, data)))


def _work(setup: WorkerSetup) -> None:
    end_with_parent()  # a killed main process leaves no worker behind
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the main process decides when to stop
    if setup.quiet:  # the test games print every final board: keep them off the terminal
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
    dim = setup.kind.board_side(setup.settings)
    routes: list[Route] = []
    for route in setup.routes:
        if isinstance(route, LocalNetwork):
            evaluator = load_evaluator(route.name, dim, route.rep, route.batch_size,
                                       setup.events, route.statistics)
            if evaluator is None:
                return  # reported; the main process stops the run
            routes.append(evaluator)
        else:
            routes.append(route)
    channels = WorkerChannels(routes, setup.slots, setup.total_slots, dim, setup.stop)
    channels.run(lambda slot: _play_games(setup, slot, channels))


@dataclasses.dataclass
class RunOptions:
    kind: RunKind | str      # a RunKind or its value
    games: int
    settings: SearchSettings
    networks: list[str]      # one for selfplay and random; model then baseline for arena
    workers: int = 1
    threads: int = 4
    batch_size: int = 64
    max_wait: float = 0.0
    quiet: bool = True
    # The numbers of the games to play (each game's id derives from its number);
    # None plays 0 .. games - 1. A run replaying lost games elsewhere passes their numbers.
    numbers: tuple[int, ...] | None = None
    # Where the networks run: "server", one inference server process per network batching the
    # requests of every worker (a network on an accelerator wants this); "worker", each worker
    # evaluating its own games' batches in its own process (no message between processes, one
    # copy of the network per worker: the faster choice for a network that runs on the CPU);
    # "auto", worker for the built-in networks and torch checkpoints (run on the CPU), server
    # for a module:factory network, whose placement only its author knows.
    inference: str = "auto"


class Run:
    """Starts the processes; iterate over it for the results as games finish.

    Best used as a context manager, ``with Run(options) as run: for result in run: ...``:
    leaving the block, early or through an exception, stops the run and reaps its processes.
    Iterating to the end, or to an exception, does the same without it.
    """

    def __init__(self, options: RunOptions) -> None:
        try:
            kind = RunKind(options.kind)
        except ValueError:
            raise ValueError(f"kind must be one of {KINDS}") from None
        if len(options.networks) != kind.networks:
            raise ValueError(f"{kind} needs {kind.networks} network(s)")
        if options.games < 0 or options.workers < 1 or options.threads < 1:
            raise ValueError("games must be >= 0, workers and threads >= 1")
        if options.numbers is not None and (len(options.numbers) != options.games
                                            or len(set(options.numbers)) != options.games
                                            or min(options.numbers, default=0) < 0):
            raise ValueError("numbers must be games distinct numbers >= 0")
        if options.inference not in INFERENCE:
            raise ValueError(f"inference must be one of {INFERENCE}")
        if options.batch_size < 1:
            # A server allowed no request per batch would never answer a game.
            raise ValueError("batch size must be >= 1")
        self.options = options
        self.kind = kind
        self.inference = inference_for(options.networks, options.inference)
        self.failure: str | None = None
        self.interrupted = False
        self._context = multiprocessing.get_context("spawn")
        self._stop = self._context.Event()
        self._events: EventInbox | None = None
        self._counter: Synchronized[int] = self._context.Value("i", 0)
        # Per evaluator (a server, or a worker's network): its requests, its batches and its
        # network's seconds inside evaluate(), written by that evaluator alone.
        evaluators = kind.networks * (options.workers if self.inference == "worker" else 1)
        self._statistics = [self._context.RawArray("d", 3) for _ in range(evaluators)]
        self._processes: list[BaseProcess] = []
        self._servers: list[BaseProcess] = []
        self._results: Generator[GameResult] | None = None
        self._closed = False
        self.started = time.perf_counter()

    def __enter__(self) -> Run:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def stop(self) -> None:
        """Ask every process to stop; safe from a signal handler."""
        self.interrupted = True
        self._stop.set()

    def close(self) -> None:
        """Stops the run if it is still going and waits for its processes; idempotent."""
        if self._results is not None:
            self._results.close()  # a generator's close runs its clean-up
        self._shut_down()

    def requests_served(self) -> int:
        return sum(statistics.requests for statistics in self.network_statistics())

    def network_statistics(self) -> list[NetworkStatistics]:
        """For each server (or each worker's network): the requests and batches evaluated so
        far and the network's time inside evaluate()."""
        return [NetworkStatistics(int(requests), int(batches), seconds)
                for requests, batches, seconds in (shared[:] for shared in self._statistics)]

    def __iter__(self) -> Iterator[GameResult]:
        """The run's one stream of results: the processes start with the first request."""
        if self._results is None:
            if self._closed:
                raise RuntimeError("the run is closed")
            self._results = self._play()
        return self._results

    def _play(self) -> Generator[GameResult]:
        options = self.options
        slots = options.workers * options.threads
        dim = self.kind.board_side(options.settings)
        numbers = (tuple(range(options.games)) if options.numbers is None
                   else tuple(options.numbers))
        local = self.inference == "worker"
        # Each worker has a request and a reply connection to each network's server.
        requests = [[self._context.Pipe(duplex=False) for _ in options.networks]
                    for _ in range(0 if local else options.workers)]
        replies = [[self._context.Pipe(duplex=False) for _ in options.networks]
                   for _ in range(0 if local else options.workers)]
        # Each process has an event pipe of its own; the main process keeps only the read ends.
        event_pipes = [self._context.Pipe(duplex=False)
                       for _ in range(options.workers + (0 if local else len(options.networks)))]
        self._events = EventInbox([reader for reader, _ in event_pipes])
        try:
            for n, network in enumerate([] if local else options.networks):
                server = ServerSettings(network, dim, options.settings.rep, options.batch_size,
                                        options.max_wait)
                self._servers.append(self._context.Process(
                    target=serve,
                    args=(server, [requests[w][n][0] for w in range(options.workers)],
                          [replies[w][n][1] for w in range(options.workers)], self._stop,
                          EventPipe(event_pipes[options.workers + n][1]), self._statistics[n]),
                    name=f"tralix-server-{n}", daemon=True))
            for w in range(options.workers):
                routes: tuple[tuple[Connection, Connection] | LocalNetwork, ...]
                if local:
                    routes = tuple(
                        LocalNetwork(network, options.settings.rep, options.batch_size,
                                     self._statistics[w * len(options.networks) + n])
                        for n, network in enumerate(options.networks))
                else:
                    routes = tuple((requests[w][n][1], replies[w][n][0])
                                   for n in range(len(options.networks)))
                setup = WorkerSetup(
                    kind=self.kind, settings=options.settings,
                    slots=tuple(range(w * options.threads, (w + 1) * options.threads)),
                    total_slots=slots, routes=routes, counter=self._counter, numbers=numbers,
                    stop=self._stop, events=EventPipe(event_pipes[w][1]), quiet=options.quiet)
                self._processes.append(self._context.Process(
                    target=_work, args=(setup,), name=f"tralix-worker-{w}", daemon=True))
            for process in self._servers + self._processes:
                process.start()
            # The processes hold their own ends now: a pipe closes when its process ends.
            for pipe in (requests, replies):
                for connections in pipe:
                    for reader, writer in connections:
                        reader.close()
                        writer.close()
            for _, writer in event_pipes:
                writer.close()
            yield from self._collect(self._events)
        finally:
            self._shut_down()

    def _collect(self, events: EventInbox) -> Iterator[GameResult]:
        finished = 0
        grace_until = None
        quiet_since = None
        while finished < self.options.games:
            if self._stop.is_set():
                if self.interrupted:
                    raise RunInterrupted("the run was interrupted")
                # A failure stopped the run: collect the games it abandoned for a moment.
                grace_until = grace_until or time.perf_counter() + 1.0
                if time.perf_counter() > grace_until:
                    break
            event = events.get(timeout=0.1)
            if event is None:
                self._check_processes()
                if all(p.exitcode is not None for p in self._processes):
                    quiet_since = quiet_since or time.perf_counter()
                    if time.perf_counter() - quiet_since > 2.0 and not self._stop.is_set():
                        self.failure = self.failure or "the workers ended before every game did"
                        self._stop.set()
                continue
            quiet_since = None
            kind, payload = event
            if kind == EventKind.GAME:
                finished += 1
                yield payload
            else:
                self.failure = self.failure or payload
                self._stop.set()
        # A failure is reported before the games it ends, but on another process's pipe
        # perhaps: what has arrived is read before the run counts as a success.
        while (event := events.get(timeout=0.0)) is not None:
            if event[0] != EventKind.GAME:
                self.failure = self.failure or event[1]
        if self.failure:
            raise RunFailed(self.failure)

    def _check_processes(self) -> None:
        for process in self._servers + self._processes:
            if process.exitcode not in (None, 0):
                self.failure = self.failure or (
                    f"{process.name} ended with exit code {process.exitcode}")
                self._stop.set()
                return

    def _shut_down(self) -> None:
        if self._closed:
            return
        self._closed = True
        self._stop.set()
        if self._events is not None:
            # No more events are read: a process writing one learns it at once and ends.
            self._events.close()
        deadline = time.perf_counter() + 5.0
        for process in self._processes + self._servers:
            if process.pid is not None:
                process.join(max(0.0, deadline - time.perf_counter()))
        for process in self._processes + self._servers:
            if process.is_alive():
                logger.debug("%s did not stop in time: terminating it", process.name)
                process.terminate()
                process.join(2.0)
            if process.is_alive():
                logger.debug("%s ignored the termination: killing it", process.name)
                process.kill()
                process.join()
