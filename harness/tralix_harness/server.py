"""The inference server: one process per network. It gathers requests from the shared queue
into batches (up to a batch size, or whatever arrived within a short wait), evaluates each
batch at once and sends every reply to the pipe of the game slot that the request's id names.
"""

from __future__ import annotations

import dataclasses
import queue
import signal
import time
import traceback
from typing import Any

import numpy as np

from .channel import NetworkFailure, encode_reply
from .networks import load_network


@dataclasses.dataclass
class ServerSpec:
    network: str
    dim: int
    rep: int
    slots: int            # game slots; a request's id modulo slots names its pipe
    batch_size: int = 64
    max_wait: float = 0.002


def planes_array(batch: list[bytes], dim: int, rep: int) -> np.ndarray:
    """Flattened requests -> float32 (batch, 5, dim, dim), planes first."""
    raw = np.frombuffer(b"".join(batch), dtype=np.uint8)
    if rep == 1:
        planes = raw.reshape(len(batch), 5, dim, dim)
    else:
        planes = raw.reshape(len(batch), dim, dim, 5).transpose(0, 3, 1, 2)
    return planes.astype(np.float32)


def gather(requests: Any, first: tuple, batch_size: int, max_wait: float) -> list[tuple]:
    batch = [first]
    deadline = time.perf_counter() + max_wait
    while len(batch) < batch_size:
        try:
            batch.append(requests.get_nowait())
            continue
        except queue.Empty:
            pass
        remaining = deadline - time.perf_counter()
        if remaining <= 0:
            break
        try:
            batch.append(requests.get(timeout=remaining))
        except queue.Empty:
            break
    return batch


def serve(spec: ServerSpec, requests: Any, senders: list, stop_event: Any, events: Any,
          served: Any) -> None:
    """Process body. Reports ("server-error", text) on events when the network fails; the
    games of a failed batch receive a NetworkFailure instead of a reply."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the main process decides when to stop
    try:
        network = load_network(spec.network, spec.dim)
    except Exception:
        events.put(("server-error", f"could not load network {spec.network!r}:\n"
                    + traceback.format_exc()))
        return
    expected = (spec.dim * spec.dim, 4)
    while not stop_event.is_set():
        try:
            first = requests.get(timeout=0.1)
        except queue.Empty:
            continue
        # A game has at most one request outstanding: a batch never exceeds the slots.
        batch = gather(requests, first, min(spec.batch_size, spec.slots), spec.max_wait)
        ids = [game_id for game_id, _ in batch]
        try:
            policy, value = network.evaluate(planes_array([p for _, p in batch], spec.dim, spec.rep))
            policy = np.asarray(policy, dtype=np.float32).reshape(len(batch), -1)
            value = np.asarray(value, dtype=np.float32).reshape(len(batch), -1)
            if (policy.shape[1], value.shape[1]) != expected:
                raise ValueError(f"network returned policy {policy.shape} and value {value.shape}"
                                 f"; expected ({len(batch)}, {expected[0]}) and "
                                 f"({len(batch)}, {expected[1]})")
            replies = [encode_reply(policy[i], value[i]) for i in range(len(batch))]
        except Exception as error:
            message = f"{type(error).__name__}: {error}"
            events.put(("server-error", f"network {spec.network!r} failed: {message}"))
            replies = [NetworkFailure(message)] * len(batch)
        for game_id, reply in zip(ids, replies):
            senders[game_id % spec.slots].send(reply)
        with served.get_lock():
            served.value += len(batch)
