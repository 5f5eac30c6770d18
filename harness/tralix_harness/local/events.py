"""What the worker and server processes report to the main process: (kind, payload) pairs.

Each process has a pipe of its own to the main process and writes every event on it whole, as
a frame, with no lock to share and no thread of its own; the main process holds no write end,
so that a process that dies closes its pipe, a cut last event included.
"""

from __future__ import annotations

import enum
import pickle
from collections import deque
from collections.abc import Sequence
from multiprocessing.connection import Connection
from typing import Any, Protocol

from .framing import PipeSet, write_frame


class EventKind(enum.StrEnum):
    GAME = "game"                  # payload: the GameResult of a finished or abandoned game
    PANIC = "panic"                # payload: text; a fatal stop inside the module
    SERVER_ERROR = "server-error"  # payload: text; a network failed to load or to evaluate


Event = tuple[EventKind, Any]


class EventSink(Protocol):
    def put(self, event: Event) -> None: ...


class EventPipe:
    """A process's end of its event pipe."""

    def __init__(self, connection: Connection) -> None:
        self._connection = connection

    def put(self, event: Event) -> None:
        try:
            write_frame(self._connection.fileno(), pickle.dumps(event))
        except OSError:
            pass  # the main process has stopped listening: the run is over


class EventInbox:
    """The main process's ends of every process's event pipe."""

    def __init__(self, connections: Sequence[Connection]) -> None:
        self._connections = list(connections)
        self._pipes = PipeSet(c.fileno() for c in connections)
        self._pending: deque[Event] = deque()

    def get(self, timeout: float) -> Event | None:
        """The next event, waiting up to `timeout` seconds for one; None if none came."""
        if not self._pending:
            self._pending.extend(pickle.loads(message) for _, message in self._pipes.read(timeout))
        return self._pending.popleft() if self._pending else None

    def close(self) -> None:
        for connection in self._connections:
            connection.close()
