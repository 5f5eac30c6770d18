"""The inference server: one process per network. It gathers request messages from every
worker's request connection into batches (what has arrived, plus what arrives within a short
wait, up to a batch size), evaluates each batch at once, and answers each message on the reply
connection of the worker that sent it.
"""

from __future__ import annotations

import dataclasses
import signal
import time
import traceback
from multiprocessing.connection import Connection
from multiprocessing.synchronize import Event as StopEvent
from typing import Any

import numpy as np
import numpy.typing as npt

from .channel import decode_requests
from .evaluation import Evaluator
from .events import EventKind, EventSink
from .framing import PipeSet, write_frame
from .learning.checkpoint import CheckpointError
from .networks import load_network
from .parent_watch import end_with_parent


@dataclasses.dataclass
class ServerSettings:
    network: str
    dim: int
    rep: int
    batch_size: int = 64
    max_wait: float = 0.0


def load_evaluator(network: str, dim: int, rep: int, batch_size: int, events: EventSink,
                   shared: Any) -> Evaluator | None:
    """The network ready to answer requests, publishing its statistics to `shared` (see
    Evaluator.shared); None, with the failure reported on events, when it cannot be loaded."""
    try:
        loaded = load_network(network, dim)
    except CheckpointError as error:  # says all there is to say, without a traceback
        events.put((EventKind.SERVER_ERROR, f"could not load network: {error}"))
        return None
    except Exception:
        events.put((EventKind.SERVER_ERROR, f"could not load network {network!r}:\n"
                    + traceback.format_exc()))
        return None
    return Evaluator(network, loaded, dim, rep, batch_size,
                     lambda text: events.put((EventKind.SERVER_ERROR, text)), shared)


class _Inbox:
    """Reads request messages from the workers' connections as they arrive; a closed
    connection is dropped."""

    def __init__(self, connections: list[Connection], dim: int) -> None:
        self._connections = connections  # kept open; read through their file descriptors
        self._worker = {c.fileno(): w for w, c in enumerate(connections)}
        self._pipes = PipeSet(self._worker)
        self._dim = dim

    @property
    def open(self) -> bool:
        return self._pipes.open

    def read(self, timeout: float,
             into: list[tuple[int, bytes | memoryview, npt.NDArray[np.uint8]]]) -> int:
        """Adds (worker, ids, planes) for every message that has arrived, waiting up to
        `timeout` seconds for the first; returns the requests added."""
        added = 0
        for fd, message in self._pipes.read(timeout):
            ids, planes = decode_requests(message, self._dim)
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
    evaluator = load_evaluator(server.network, server.dim, server.rep, server.batch_size,
                               events, shared)
    if evaluator is None:
        return
    inbox = _Inbox(requests, server.dim)
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
        answers = evaluator.answer([(ids, planes) for _, ids, planes in batch])
        for (worker, _, _), answer in zip(batch, answers, strict=True):
            try:
                write_frame(reply_fds[worker], *answer)
            except OSError:
                pass  # that worker has gone; the main process notices
