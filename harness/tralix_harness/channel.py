"""The wire between the games and the inference server, and the objects the module is handed
for each game.

A request travels as raw bytes on the worker's request connection: the game id (4 bytes,
little-endian, signed) followed by the planes, one byte per bool in the nested lists' order.
A reply travels on the game slot's own pipe as the float32 policy scores (dim * dim) followed
by the float32 value scores (4); any other length is a failure report, its bytes the message.
Raw bytes skip pickling, and the server turns a batch of requests into an array in one step.
"""

from __future__ import annotations

import struct
import threading
from array import array
from collections.abc import Sequence
from multiprocessing.connection import Connection
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt

_ID = struct.Struct("<i")

# The planes of one request as the module builds them: nested lists of bools, three levels.
Planes = Sequence[Sequence[Sequence[bool]]]


class StopFlag(Protocol):
    """What a game pipe watches while it waits: a threading or multiprocessing event."""

    def is_set(self) -> bool: ...


class RunStopped(RuntimeError):
    """The run is stopping: the game waiting for a reply is abandoned."""


def flatten_planes(planes: Planes) -> bytes:
    """Nested lists of bools (three levels) -> one byte per bool, in the lists' order."""
    return b"".join(bytes(row) for outer in planes for row in outer)


def encode_request(game_id: int, planes: Planes) -> bytes:
    return _ID.pack(game_id) + flatten_planes(planes)


def decode_request(message: bytes) -> tuple[int, bytes]:
    game_id: int = _ID.unpack_from(message)[0]
    return game_id, message[_ID.size:]


def encode_reply(policy: npt.NDArray[np.float32], value: npt.NDArray[np.float32]) -> bytes:
    return policy.tobytes() + value.tobytes()


def encode_failure(message: str) -> bytes:
    data = message.encode("utf-8", "replace")
    return data + b" " if len(data) % 4 == 0 else data  # never the length of a reply


class RequestQueue:
    """What the module's put() reaches: sends (id, planes) to the server on the worker's
    request connection, which the worker's game threads share."""

    def __init__(self, connection: Connection, lock: threading.Lock) -> None:
        self._connection = connection
        self._lock = lock

    def put(self, request: tuple[int, Planes]) -> None:
        game_id, planes = request
        message = encode_request(game_id, planes)
        with self._lock:
            self._connection.send_bytes(message)


class GamePipe:
    """What the module's recv() reaches: the reply to this slot's outstanding request, as
    (policy scores, value scores).

    Waits in short polls so that a stopping run can abandon the game; a failure report becomes
    an exception, which the module captures and which ends the game with status 1.
    """

    def __init__(self, connection: Connection, stop_event: StopFlag, dim: int,
                 poll_seconds: float = 0.25) -> None:
        self._connection = connection
        self._stop = stop_event
        self._poll = poll_seconds
        self._tiles = dim * dim
        self._reply_bytes = 4 * (self._tiles + 4)
        self.stopped = False  # set when a game was abandoned because the run is stopping

    def recv(self) -> tuple[array[float], array[float]]:
        while not self._connection.poll(self._poll):
            if self._stop.is_set():
                self.stopped = True
                raise RunStopped("the run is stopping")
        data = self._connection.recv_bytes()
        if len(data) != self._reply_bytes:
            raise RuntimeError(f"network failed: {data.decode('utf-8', 'replace').rstrip()}")
        scores = array("f")
        scores.frombytes(data)
        return scores[:self._tiles], scores[self._tiles:]


class Collector:
    """A result queue local to one game: keeps what the module puts."""

    def __init__(self) -> None:
        self.items: list[Any] = []

    def put(self, item: Any) -> None:
        self.items.append(item)
