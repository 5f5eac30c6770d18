"""Running many games at once: worker processes, each playing games on several threads, and
one inference server per network, all started and stopped together.

Every game slot (worker x thread) owns one pipe, on which only the server(s) write and only
that slot reads; a game's id is game_number * slots + slot, so the server finds the pipe from
the id alone. A slot runs one game at a time, so a pipe never serves two games at once.
"""

from __future__ import annotations

import dataclasses
import multiprocessing
import os
import queue
import signal
import threading
import time
from typing import Any, Iterator

from .channel import Collector, GamePipe, RequestQueue
from .server import ServerSettings, serve
from .settings import SearchSettings

KINDS = ("selfplay", "random", "arena")


@dataclasses.dataclass
class GameResult:
    number: int          # 0 .. games - 1
    status: int          # 0 finished, 1 abandoned after a failed evaluation
    seconds: float
    data: Any = None     # selfplay: (history, records, outcome); random and arena: the score


class RunFailed(RuntimeError):
    """A worker or the network failed; the run was stopped."""


class RunInterrupted(RuntimeError):
    """The run was stopped from outside (Ctrl-C or SIGTERM)."""


def _claim(counter: Any, games: int) -> int | None:
    with counter.get_lock():
        if counter.value >= games:
            return None
        number = counter.value
        counter.value += 1
        return number


def _play_slot(kind: str, settings: SearchSettings, slot: int, slots: int, connection: Any,
               queues: list[RequestQueue], counter: Any, games: int, stop: Any,
               events: Any) -> None:
    import tralix_self_play as module

    pipe = GamePipe(connection, stop, 20 if kind == "arena" else settings.dim)
    while not stop.is_set():
        number = _claim(counter, games)
        if number is None:
            return
        game_id = number * slots + slot
        results = Collector()
        start = time.perf_counter()
        try:
            if kind == "selfplay":
                status = module.play_training_game(game_id, settings, results, queues[0], pipe)
                data = results.items[0][1] if status == 0 else None
            elif kind == "random":
                status = module.play_test_against_random(game_id, settings, results, queues[0],
                                                         pipe)
                data = results.items[0][1] if status == 0 else None
            else:
                try:
                    data = module.play_test_game(game_id, settings, results, queues[0],
                                                 queues[1], pipe)
                    status = 0
                except Exception:  # "Error running MCTS": the network failed
                    status, data = 1, None
        except BaseException as stop_error:  # a fatal stop inside the module
            events.put(("panic", f"game {number}: {type(stop_error).__name__}: {stop_error}"))
            stop.set()
            return
        if pipe.stopped:
            return  # abandoned because the run is stopping, not a failure of its own
        events.put(("game", GameResult(number, status, time.perf_counter() - start, data)))


def _work(kind: str, settings: dict, slots: list[tuple[int, Any]], total_slots: int,
          request_connections: list, counter: Any, games: int, stop: Any, events: Any,
          quiet: bool) -> None:
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the main process decides when to stop
    if quiet:  # the test games print every final board: keep them off the terminal
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
    search = SearchSettings(**settings)
    # One request connection per network, shared by this worker's game threads.
    queues = [RequestQueue(c, threading.Lock()) for c in request_connections]
    threads = [threading.Thread(target=_play_slot,
                                args=(kind, search, slot, total_slots, connection, queues,
                                      counter, games, stop, events))
               for slot, connection in slots]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


@dataclasses.dataclass
class RunOptions:
    kind: str
    games: int
    settings: SearchSettings
    networks: list[str]      # one for selfplay and random; model then baseline for arena
    workers: int = 1
    threads: int = 4
    batch_size: int = 64
    max_wait: float = 0.0
    quiet: bool = True


class Run:
    """Starts the processes; iterate over it for the results as games finish."""

    def __init__(self, options: RunOptions):
        if options.kind not in KINDS:
            raise ValueError(f"kind must be one of {KINDS}")
        expected = 2 if options.kind == "arena" else 1
        if len(options.networks) != expected:
            raise ValueError(f"{options.kind} needs {expected} network(s)")
        if options.games < 0 or options.workers < 1 or options.threads < 1:
            raise ValueError("games must be >= 0, workers and threads >= 1")
        self.options = options
        self.failure: str | None = None
        self.interrupted = False
        self._context = multiprocessing.get_context("spawn")
        self._stop = self._context.Event()
        self._events = self._context.Queue()
        self._counter = self._context.Value("i", 0)
        self.served = self._context.Value("q", 0)
        self._processes: list = []
        self._servers: list = []
        self.started = time.perf_counter()

    def stop(self) -> None:
        """Ask every process to stop; safe from a signal handler."""
        self.interrupted = True
        self._stop.set()

    def requests_served(self) -> int:
        return self.served.value

    def __iter__(self) -> Iterator[GameResult]:
        options = self.options
        slots = options.workers * options.threads
        # The 'arena' side is always 20: the module plays test games on a board of side 20.
        dim = 20 if options.kind == "arena" else options.settings.dim
        # Replies: one pipe per game slot. Requests: one pipe per (worker, network).
        pipes = [self._context.Pipe(duplex=False) for _ in range(slots)]
        senders = [sender for _, sender in pipes]
        request_pipes = [[self._context.Pipe(duplex=False) for _ in options.networks]
                         for _ in range(options.workers)]
        try:
            for n, network in enumerate(options.networks):
                server = ServerSettings(network, dim, options.settings.rep, slots, options.batch_size,
                                  options.max_wait)
                readers = [request_pipes[w][n][0] for w in range(options.workers)]
                server = self._context.Process(
                    target=serve, args=(server, readers, senders, self._stop, self._events,
                                        self.served),
                    name=f"tralix-server-{n}", daemon=True)
                self._servers.append(server)
            for w in range(options.workers):
                mine = [(slot, pipes[slot][0])
                        for slot in range(w * options.threads, (w + 1) * options.threads)]
                writers = [request_pipes[w][n][1] for n in range(len(options.networks))]
                self._processes.append(self._context.Process(
                    target=_work,
                    args=(options.kind, options.settings.as_dict(), mine, slots, writers,
                          self._counter, options.games, self._stop, self._events, options.quiet),
                    name=f"tralix-worker-{w}", daemon=True))
            for process in self._servers + self._processes:
                process.start()
            yield from self._collect()
        finally:
            self._shut_down()

    def _collect(self) -> Iterator[GameResult]:
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
            try:
                event = self._events.get(timeout=0.1)
            except queue.Empty:
                self._check_processes()
                if all(p.exitcode is not None for p in self._processes):
                    quiet_since = quiet_since or time.perf_counter()
                    if time.perf_counter() - quiet_since > 2.0 and not self._stop.is_set():
                        self.failure = self.failure or "the workers ended before every game did"
                        self._stop.set()
                continue
            quiet_since = None
            if event[0] == "game":
                finished += 1
                yield event[1]
            else:
                self.failure = self.failure or event[1]
                self._stop.set()
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
        self._stop.set()
        deadline = time.perf_counter() + 5.0
        for process in self._processes + self._servers:
            if process.pid is not None:
                process.join(max(0.0, deadline - time.perf_counter()))
        for process in self._processes + self._servers:
            if process.is_alive():
                process.terminate()
                process.join(2.0)
            if process.is_alive():
                process.kill()
                process.join()
        self._events.cancel_join_thread()
        self._events.close()
