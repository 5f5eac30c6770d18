"""A worker's side of the wire (wire.py): the objects the module is handed for each game, and
the worker's games played together.

A worker gathers its games' requests into one message per batch for each network and sends it
on its own pipe to that network's server; the server answers each message with one message on
the worker's reply pipe, and the worker hands each reply to the game waiting for it.

When a worker sends: as soon as half of its games (rounded up) wait on a network, so that the
other half keeps the worker's core busy while the first half's batch is evaluated, and at the
latest when none of its games can go on (every one waits, or has ended).

A worker may also run a network in its own process instead (the run's inference placement
"worker"): the same batches are evaluated on the spot when every game waits, and no message
leaves the process.

Each network's requests come in its own layout: the five planes' nested lists, packed into
the batch by ``tralix_rules.pack_planes``, or the full position's bytes (layout 3), copied into
it as they are.
"""

from __future__ import annotations

import functools
import time
from collections import deque
from collections.abc import Callable, Sequence
from multiprocessing.connection import Connection
from typing import Any, Protocol, cast

import greenlet

import tralix_rules

from ..networks.inputs import FULL_REP
from .framing import PipeSet, write_frame
from .wire import (
    COUNT,
    HEADER,
    ID_BYTES,
    Planes,
    Reply,
    Requests,
    decode_requests,
    plane_bytes,
    reply_floats,
)


class StopFlag(Protocol):
    """What a worker watches to abandon its waiting games: a threading or multiprocessing
    event."""

    def is_set(self) -> bool: ...


class RunStopped(RuntimeError):
    """The run is stopping: the game waiting for a reply is abandoned."""


class Answerer(Protocol):
    """A network run in the worker's own process: answers request messages (their ids and
    planes) with reply messages' parts, in order."""

    def answer(self, messages: Sequence[Requests]) -> list[tuple[bytes | memoryview, ...]]: ...


# How a worker reaches a network: an inference server's request and reply connections, or the
# network itself, run in the worker.
Route = tuple[Connection, Connection] | Answerer


class _Outbox:
    """The batch being gathered for one network, in a buffer written in place."""

    def __init__(self, route: Route, capacity: int, side: int, rep: int) -> None:
        self.route = route  # connections kept open; written through their file descriptors
        self.fd = route[0].fileno() if isinstance(route, tuple) else -1
        self.side = side
        self.rep = rep
        self.capacity = capacity
        self.plane_bytes = plane_bytes(side, rep)
        self.planes_at = HEADER.size + ID_BYTES * capacity
        self.buffer = bytearray(self.planes_at + capacity * self.plane_bytes)
        self.view = memoryview(self.buffer)
        self.count = 0

    def add(self, game_id: int, planes: Planes | bytes) -> None:
        at = self.planes_at + self.count * self.plane_bytes
        if isinstance(planes, bytes):  # the full position: its bytes as they are
            if len(planes) != self.plane_bytes or self.rep != FULL_REP:
                raise ValueError(f"a request of {len(planes)} bytes in layout {self.rep}, "
                                 f"not {self.plane_bytes}")
            self.buffer[at:at + self.plane_bytes] = planes
        else:
            written = tralix_rules.pack_planes(planes, self.buffer, at)
            if written != self.plane_bytes:
                raise ValueError(f"a request holds {written} bools, not {self.plane_bytes}")
        COUNT.pack_into(self.buffer, HEADER.size + ID_BYTES * self.count, game_id)
        self.count += 1

    def send(self) -> bytes | None:
        """Sends the batch to the server; for a network run here, evaluates it and returns the
        reply message."""
        HEADER.pack_into(self.buffer, 0, self.count, self.capacity)
        end = self.planes_at + self.count * self.plane_bytes
        self.count = 0
        if isinstance(self.route, tuple):
            write_frame(self.fd, self.view[:end])
            return None
        (answer,) = self.route.answer([decode_requests(self.view[:end], self.side, self.rep)])
        return b"".join(answer)


class _Slot:
    """One game's place in the worker: the greenlet that plays it, and the reply it waits
    for."""

    __slots__ = ("greenlet", "number", "reply", "waiting")

    def __init__(self, number: int, body: Callable[[], None], tiles: int) -> None:
        self.greenlet = greenlet.greenlet(body)
        self.number = number
        # The reply's lists are filled afresh for every request (see tralix_rules.fill_floats).
        self.reply: Reply = ([0.0] * tiles, [0.0] * 4)
        self.waiting = False               # a request is out and its reply has not landed


class WorkerChannels:
    """Everything between one worker's games and its networks: a request queue per network
    (what the module's put() reaches) and a game pipe per game slot (recv()).

    The worker plays its game slots as greenlets on one thread, the module holding the
    interpreter lock as it does anyway: a game waiting for a reply hands the thread to the
    next game whose reply has landed, with no system call and no hand-over of the lock.
    `run` plays them all; in between, it sends the batches, evaluates those of a network run
    in the worker, and waits for the servers' replies when no game can go on.
    """

    def __init__(self, routes: Sequence[Route], slots: Sequence[int], total_slots: int,
                 side: int, stop: StopFlag, poll_seconds: float = 0.25,
                 reps: Sequence[int] | None = None) -> None:
        self._slot_numbers = list(slots)
        self._slots: dict[int, _Slot] = {}
        self._total_slots = total_slots
        self._tiles = side * side
        self._reply_bytes = 4 * reply_floats(side)
        self._stop = stop
        self._stopping = False
        self._poll = poll_seconds
        # Each network's request layout (1 for all without ``reps``).
        layouts = list(reps) if reps is not None else [1] * len(routes)
        self._outboxes = [_Outbox(route, len(slots), side, rep)
                          for route, rep in zip(routes, layouts, strict=True)]
        served = any(isinstance(route, tuple) for route in routes)
        self._group = max(1, (len(slots) + 1) // 2) if served else len(slots)
        self._replies = PipeSet(route[1].fileno() for route in routes
                                if isinstance(route, tuple))
        self._ready: deque[tuple[_Slot, Reply | str | RunStopped | None]] = deque()
        self._hub: greenlet.greenlet | None = None

    def queue(self, network: int) -> RequestQueue:
        return RequestQueue(self, network)

    def pipe(self, slot: int) -> GamePipe:
        return GamePipe(self, slot)

    def run(self, play: Callable[[int], None]) -> None:
        """Plays play(slot) for every game slot, to the end of all of them."""
        self._hub = greenlet.getcurrent()
        for number in self._slot_numbers:
            slot = _Slot(number, functools.partial(play, number), self._tiles)
            self._slots[number] = slot
            self._ready.append((slot, None))
        checked = time.monotonic()
        while self._slots:
            while self._ready:
                slot, reply = self._ready.popleft()
                # Back here when the game waits, or when the slot's games have ended.
                if slot.greenlet:
                    slot.greenlet.switch(reply)
                else:
                    slot.greenlet.switch()  # its first turn
                if slot.greenlet.dead:
                    del self._slots[slot.number]
                for outbox in self._outboxes:
                    if outbox.count >= self._group:
                        self._send(outbox)
                if time.monotonic() - checked > 0.05:
                    checked = time.monotonic()
                    self._check_stop()
            # Nobody can go on: whatever is gathered goes out, and the replies are awaited.
            for outbox in self._outboxes:
                if outbox.count:
                    self._send(outbox)
            if not self._ready and self._slots:
                self._await_replies()
                checked = time.monotonic()
                self._check_stop()

    def put(self, network: int, request: tuple[int, Planes | bytes]) -> None:
        game_id, planes = request
        slot = self._slots[game_id % self._total_slots]
        self._outboxes[network].add(game_id, planes)
        slot.waiting = True

    def recv(self, slot_number: int, pipe: GamePipe) -> Reply:
        if not self._slots[slot_number].waiting:
            raise RuntimeError("recv() without a request: put() comes first")
        if self._stopping:
            pipe.stopped = True
            raise RunStopped("the run is stopping")
        assert self._hub is not None
        reply = self._hub.switch()
        if isinstance(reply, RunStopped):
            pipe.stopped = True
            raise reply
        if isinstance(reply, str):
            raise RuntimeError(f"network failed: {reply}")
        return cast(Reply, reply)

    def _check_stop(self) -> None:
        if self._stopping or not self._stop.is_set():
            return
        # The waiting games are abandoned; the others end at their next request.
        self._stopping = True
        for slot in self._slots.values():
            if slot.waiting:
                slot.waiting = False
                self._ready.append((slot, RunStopped("the run is stopping")))

    def _send(self, outbox: _Outbox) -> None:
        reply = outbox.send()
        if reply is not None:
            self._land(reply)

    def _await_replies(self) -> None:
        # A server that has gone is dropped: the run is stopping or has failed.
        for _, message in self._replies.read(self._poll):
            self._land(message)

    def _land(self, message: bytes) -> None:
        """Queues each reply of a message for the game waiting for it."""
        count: int = COUNT.unpack_from(message)[0]
        ids = memoryview(message)[COUNT.size:COUNT.size + ID_BYTES * count].cast("i")
        at = COUNT.size + ID_BYTES * count
        failure = (None if len(message) - at == count * self._reply_bytes else
                   message[at:].decode("utf-8", "replace").rstrip())
        for game_id in ids:
            slot = self._slots.get(game_id % self._total_slots)
            if slot is not None and slot.waiting:
                slot.waiting = False
                if failure is None:
                    policy, value = slot.reply
                    tralix_rules.fill_floats(policy, message, at)
                    tralix_rules.fill_floats(value, message, at + 4 * self._tiles)
                self._ready.append((slot, slot.reply if failure is None else failure))
            at += self._reply_bytes


class RequestQueue:
    """What the module's put() reaches for one network: adds (id, planes) or (id, the full
    position's bytes) to the worker's batch for that network."""

    def __init__(self, channels: WorkerChannels, network: int) -> None:
        self._channels = channels
        self._network = network

    def put(self, request: tuple[int, Planes | bytes]) -> None:
        self._channels.put(self._network, request)


class GamePipe:
    """What the module's recv() reaches: the reply to this slot's outstanding request, as
    (policy scores, value scores), once the worker resumes the game.

    A stopping run abandons the game (RunStopped); a failure report becomes an exception,
    which the module captures and which ends the game with status 1.
    """

    def __init__(self, channels: WorkerChannels, slot: int) -> None:
        self._channels = channels
        self._slot = slot
        self.stopped = False  # set when a game was abandoned because the run is stopping

    def recv(self) -> Reply:
        return self._channels.recv(self._slot, self)


class Collector:
    """A result queue local to one game: keeps what the module puts."""

    def __init__(self) -> None:
        self.items: list[Any] = []

    def put(self, item: Any) -> None:
        self.items.append(item)
