"""The worker side of the road to the network: the request queue and the pipe that the module
is handed for each game.

The module puts (id, planes) with the planes as nested lists of bools; RequestQueue flattens
them to bytes before they cross the process boundary, which is far cheaper to send and to turn
into an array than the lists themselves. Replies come back as two float32 arrays, which the
module reads as sequences of floats.
"""

from __future__ import annotations

from array import array
from typing import Any


class RunStopped(RuntimeError):
    """The run is stopping: the game waiting for a reply is abandoned."""


class NetworkFailure:
    """Sent instead of a reply when the network failed on the request's batch."""

    def __init__(self, message: str):
        self.message = message


def flatten_planes(planes: list) -> bytes:
    """Nested lists of bools (three levels) -> one byte per bool, in the lists' order."""
    return b"".join(bytes(row) for outer in planes for row in outer)


def encode_reply(policy, value) -> tuple[array, array]:
    return array("f", policy.tobytes()), array("f", value.tobytes())


class RequestQueue:
    """What the module's put() reaches: forwards (id, flattened planes) to the server."""

    def __init__(self, queue: Any):
        self._queue = queue

    def put(self, request: tuple) -> None:
        game_id, planes = request
        self._queue.put((game_id, flatten_planes(planes)))


class GamePipe:
    """What the module's recv() reaches: the reply for this slot's outstanding request.

    Waits in short polls so that a stopping run can abandon the game; a NetworkFailure becomes
    an exception, which the module captures and which ends the game with status 1.
    """

    def __init__(self, connection: Any, stop_event: Any, poll_seconds: float = 0.25):
        self._connection = connection
        self._stop = stop_event
        self._poll = poll_seconds
        self.stopped = False  # set when a game was abandoned because the run is stopping

    def recv(self) -> Any:
        while not self._connection.poll(self._poll):
            if self._stop.is_set():
                self.stopped = True
                raise RunStopped("the run is stopping")
        reply = self._connection.recv()
        if isinstance(reply, NetworkFailure):
            raise RuntimeError(f"network failed: {reply.message}")
        return reply


class Collector:
    """A result queue local to one game: keeps what the module puts."""

    def __init__(self) -> None:
        self.items: list = []

    def put(self, item: Any) -> None:
        self.items.append(item)
