"""The inference server: one process per network. It gathers request messages from every
worker's request connection into batches (what has arrived, plus what arrives within a short
wait, up to a batch size), evaluates each batch at once, and answers each message on the reply
connection of the worker that sent it.
"""

from __future__ import annotations

import dataclasses
import signal
import time
from multiprocessing.connection import Connection
from multiprocessing.synchronize import Event as StopEvent
from typing import Any

import numpy as np
import numpy.typing as npt

from ..networks.backend import Backend
from ..networks.names import NetworkName
from .answering import load_answerer
from .events import EventSink
from .framing import PipeSet, write_frame
from .parent_watch import end_with_parent
from .wire import decode_requests


@dataclasses.dataclass
class ServerSettings:
    network: NetworkName | str
    side: int
    rep: int
    batch_size: int = 64
    max_wait: float = 0.0
    torch_threads: int = 1
    backend: Backend = Backend.TORCH  # settled: what runs a torch checkpoint


class _Inbox:
    """Reads request messages from the workers' connections as they arrive; a closed
    connection is dropped."""

    def __init__(self, connections: list[Connection], side: int, rep: int) -> None:
        self._connections = connections  # kept open; read through their file descriptors
        self._worker = {c.fileno(): w for w, c in enumerate(connections)}
        self._pipes = PipeSet(self._worker)
        self._side = side
        self._rep = rep

    @property
    def open(self) -> bool:
        return self._pipes.open

    def read(self, timeout: float,
             into: list[tuple[int, bytes | memoryview, npt.NDArray[np.uint8]]]) -> int:
        """Adds (worker, ids, planes) for every message that has arrived, waiting up to
        `timeout` seconds for the first; returns the requests added."""
        added = 0
        for fd, message in self._pipes.read(timeout):
            ids, planes = decode_requests(message, self._side, self._rep)
            into.append((self._worker[fd], ids, planes))
            added += len(planes)
        return added


def serve(server: ServerSettings, requests: list[Connection], replies: list[Connection],
          stop_event: StopEvent, events: EventSink, shared: Any) -> None:
    """Process body: requests[w] and replies[w] are worker w's connections; `shared` receives
    the server's statistics after every batch. Reports (EventKind.SERVER_ERROR, text) on events
    when the network fails; the games of a failed batch receive a failure report instead of a
    reply."""
    end_with_parent()  # a killed main process leaves no server behind
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the main process decides when to stop
    answerer = load_answerer(NetworkName.parse(server.network), server.side, server.rep,
                             server.batch_size, server.torch_threads, events, shared,
                             server.backend)
    if answerer is None:
        return
    inbox = _Inbox(requests, server.side, server.rep)
    reply_fds = [c.fileno() for c in replies]
    checked = time.monotonic()
    while inbox.open:
        # Checking the stop event costs a lock: look at it when idle, or now and then.
        now = time.monotonic()
        batch: list[tuple[int, bytes | memoryview, npt.NDArray[np.uint8]]] = []
        count = inbox.read(0.1, batch)
        if not count or now - checked > 0.05:
            checked = now
            if stop_event.is_set():
                break
            if not count:
                continue
        deadline = time.perf_counter() + server.max_wait
        while count < server.batch_size and (remaining := deadline - time.perf_counter()) > 0:
            count += inbox.read(remaining, batch)
        answers = answerer.answer([(ids, planes) for _, ids, planes in batch])
        for (worker, _, _), answer in zip(batch, answers, strict=True):
            try:
                write_frame(reply_fds[worker], *answer)
            except OSError:
                pass  # that worker has gone; the main process notices
