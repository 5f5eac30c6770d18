"""Running many games at once on this machine: worker processes, each playing several games
at once (worker.py), and one inference server per network (server.py) or each worker's own
copy of it, all started and stopped together; ``Run``, used as ``with Run(options) as run: for
result in run: ...``.
"""

from __future__ import annotations

import logging
import multiprocessing
import time
from collections.abc import Generator, Iterator
from multiprocessing.connection import Connection
from multiprocessing.process import BaseProcess
from multiprocessing.sharedctypes import Synchronized

from .answering import NetworkStatistics
from .events import EventInbox, EventKind, EventPipe
from .lifecycle import GameResult, GameRun, RunFailed, RunInterrupted
from .options import Inference, RunOptions
from .server import ServerSettings, serve
from .worker import LocalNetwork, WorkerSetup, work

logger = logging.getLogger(__name__)


class Run(GameRun):
    """Starts the processes with the first result asked for; iterate over it for the results
    as games finish (see GameRun)."""

    def __init__(self, options: RunOptions) -> None:
        super().__init__(options)
        self.inference = options.inference.placement(options.names)
        self._context = multiprocessing.get_context("spawn")
        self._stop = self._context.Event()
        self._events: EventInbox | None = None
        self._counter: Synchronized[int] = self._context.Value("i", 0)
        # Per answerer (a server, or a worker's network): its requests, its batches and its
        # network's seconds inside evaluate(), written by that answerer alone.
        answerers = self.kind.networks * (options.workers
                                          if self.inference is Inference.WORKER else 1)
        self._statistics = [self._context.RawArray("d", 3) for _ in range(answerers)]
        self._processes: list[BaseProcess] = []
        self._servers: list[BaseProcess] = []
        self._shut = False

    def stop(self) -> None:
        """Asks every process to stop; safe from a signal handler."""
        super().stop()
        self._stop.set()

    def close(self) -> None:
        """Stops the run if it is still going and waits for its processes; idempotent."""
        super().close()
        self._shut_down()

    def requests_served(self) -> int:
        return sum(statistics.requests for statistics in self.network_statistics())

    def network_statistics(self) -> list[NetworkStatistics]:
        """For each server (or each worker's network): the requests and batches evaluated so
        far and the network's time inside evaluate()."""
        return [NetworkStatistics(int(requests), int(batches), seconds)
                for requests, batches, seconds in (shared[:] for shared in self._statistics)]

    def _play(self) -> Generator[GameResult]:
        # A checkpoint to run on ONNX Runtime is exported now if it must be, once for all.
        options = self._settle_networks()
        slots = options.workers * options.threads
        side = options.settings.side
        local = self.inference is Inference.WORKER
        # Each worker has a request and a reply connection to each network's server.
        requests = [[self._context.Pipe(duplex=False) for _ in options.names]
                    for _ in range(0 if local else options.workers)]
        replies = [[self._context.Pipe(duplex=False) for _ in options.names]
                   for _ in range(0 if local else options.workers)]
        # Each process has an event pipe of its own; the main process keeps only the read ends.
        event_pipes = [self._context.Pipe(duplex=False)
                       for _ in range(options.workers + (0 if local else len(options.names)))]
        self._events = EventInbox([reader for reader, _ in event_pipes])
        try:
            configs = tuple(options.network_settings(n) for n in range(len(options.names)))
            for n, network in enumerate([] if local else options.names):
                server = ServerSettings(network, side, configs[n].rep, options.batch_size,
                                        options.max_wait_ms / 1000.0, options.torch_threads,
                                        options.backend)
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
                        LocalNetwork(network, options.backend, configs[n].rep,
                                     options.batch_size, options.torch_threads,
                                     self._statistics[w * len(options.names) + n])
                        for n, network in enumerate(options.names))
                else:
                    routes = tuple((requests[w][n][1], replies[w][n][0])
                                   for n in range(len(options.names)))
                setup = WorkerSetup(
                    kind=self.kind, settings=options.settings, configs=configs,
                    slots=tuple(range(w * options.threads, (w + 1) * options.threads)),
                    total_slots=slots, routes=routes, counter=self._counter,
                    numbers=self.numbers, match_sims=options.match_sims,
                    arena_opening=options.arena_opening, seed=options.seed,
                    stop=self._stop, events=EventPipe(event_pipes[w][1]), quiet=options.quiet)
                self._processes.append(self._context.Process(
                    target=work, args=(setup,), name=f"tralix-worker-{w}", daemon=True))
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
        if self._shut:
            return
        self._shut = True
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
