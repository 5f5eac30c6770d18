"""The inference server: one process per network. It gathers requests from every worker's
request connection into batches (what has arrived, plus what arrives within a short wait, up
to a batch size), evaluates each batch at once, and sends every reply to the pipe of the game
slot that the request's id names.
"""

from __future__ import annotations

import dataclasses
import signal
import time
import traceback
from multiprocessing.connection import Connection, wait
from multiprocessing.queues import Queue
from multiprocessing.sharedctypes import Synchronized
from multiprocessing.synchronize import Event as StopEvent
from typing import cast

import numpy as np
import numpy.typing as npt

from .channel import decode_request, encode_failure, encode_reply
from .events import Event, EventKind
from .learning.checkpoint import CheckpointError
from .networks import load_network
from .parent_watch import end_with_parent


@dataclasses.dataclass
class ServerSettings:
    network: str
    dim: int
    rep: int
    slots: int            # game slots; a request's id modulo slots names its pipe
    batch_size: int = 64
    max_wait: float = 0.0


def planes_array(batch: list[bytes], dim: int, rep: int) -> npt.NDArray[np.float32]:
    """Flattened requests -> float32 (batch, 5, dim, dim), planes first."""
    raw = np.frombuffer(b"".join(batch), dtype=np.uint8)
    if rep == 1:
        planes = raw.reshape(len(batch), 5, dim, dim)
    else:
        planes = raw.reshape(len(batch), dim, dim, 5).transpose(0, 3, 1, 2)
    return planes.astype(np.float32)


class _Inbox:
    """Reads requests from the workers' connections; a closed connection is dropped."""

    def __init__(self, connections: list[Connection]) -> None:
        self.open = list(connections)

    def read(self, timeout: float, into: list[tuple[int, bytes]], limit: int) -> None:
        for connection in cast("list[Connection]", wait(self.open, timeout)):
            try:
                while len(into) < limit and connection.poll(0):
                    into.append(decode_request(connection.recv_bytes()))
            except (EOFError, OSError):
                self.open.remove(connection)


def serve(server: ServerSettings, requests: list[Connection], senders: list[Connection],
          stop_event: StopEvent, events: Queue[Event], served: Synchronized[int]) -> None:
    """Process body. Reports (EventKind.SERVER_ERROR, text) on events when the network fails;
    the games of a failed batch receive a failure report instead of a reply."""
    end_with_parent()  # a killed main process leaves no server behind
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the main process decides when to stop
    try:
        network = load_network(server.network, server.dim)
    except CheckpointError as error:  # says all there is to say, without a traceback
        events.put((EventKind.SERVER_ERROR, f"could not load network: {error}"))
        return
    except Exception:
        events.put((EventKind.SERVER_ERROR, f"could not load network {server.network!r}:\n"
                    + traceback.format_exc()))
        return
    expected = (server.dim * server.dim, 4)
    # A game has at most one request outstanding: a batch never exceeds the slots.
    limit = min(server.batch_size, server.slots)
    inbox = _Inbox(requests)
    while not stop_event.is_set() and inbox.open:
        batch: list[tuple[int, bytes]] = []
        inbox.read(0.1, batch, limit)
        if not batch:
            continue
        deadline = time.perf_counter() + server.max_wait
        while len(batch) < limit and (remaining := deadline - time.perf_counter()) > 0:
            inbox.read(remaining, batch, limit)
        try:
            policy, value = network.evaluate(planes_array([p for _, p in batch], server.dim,
                                                          server.rep))
            policy = np.asarray(policy, dtype=np.float32).reshape(len(batch), -1)
            value = np.asarray(value, dtype=np.float32).reshape(len(batch), -1)
            if (policy.shape[1], value.shape[1]) != expected:
                raise ValueError(f"network returned policy {policy.shape} and value "
                                 f"{value.shape}; expected ({len(batch)}, {expected[0]}) and "
                                 f"({len(batch)}, {expected[1]})")
            replies = [encode_reply(policy[i], value[i]) for i in range(len(batch))]
        except Exception as error:
            message = f"{type(error).__name__}: {error}"
            events.put((EventKind.SERVER_ERROR,
                        f"network {server.network!r} failed: {message}"))
            replies = [encode_failure(message)] * len(batch)
        for (game_id, _), reply in zip(batch, replies, strict=True):
            senders[game_id % server.slots].send_bytes(reply)
        with served.get_lock():
            served.value += len(batch)
