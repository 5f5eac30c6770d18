"""Networks answering the module's requests in the calling thread, for matches played without
worker processes (``tralix play``, the loop's rating matches, the benchmarks).

``SyncNetwork`` is the request queue and the pipe in one object: ``recv`` evaluates the
request put last, as a batch of one. ``SyncPipe`` serves several networks through one pipe, as
a match between different networks needs: each network has a queue of its own on the pipe,
and ``recv`` evaluates the request put last on the network whose queue it was put on."""

from __future__ import annotations

from itertools import chain
from typing import Any

import numpy as np

from .builtin import Network


def _as_array(planes: Any) -> np.ndarray[Any, Any]:
    """The request's planes as a float32 array. The module's nested lists are flattened
    first: numpy reads a flat iterable of floats in about half the time of nested lists."""
    if isinstance(planes, list) and planes and isinstance(planes[0], list) and planes[0]:
        shape = (len(planes), len(planes[0]), len(planes[0][0]))
        flat = np.fromiter(chain.from_iterable(chain.from_iterable(planes)), np.float32)
        return flat.reshape(shape)  # a ragged request fails here, as it would in numpy
    return np.asarray(planes, dtype=np.float32)


def _answer(network: Network, planes: Any) -> tuple[list[float], list[float]]:
    policy, value = network.evaluate(_as_array(planes)[None])
    return np.asarray(policy[0]).tolist(), np.asarray(value[0]).tolist()


class SyncNetwork:
    def __init__(self, network: Network) -> None:
        self.network = network
        self.pending: Any = None
        self.requests = 0

    def put(self, request: tuple[int, Any]) -> None:
        self.pending = request[1]
        self.requests += 1

    def recv(self) -> tuple[list[float], list[float]]:
        planes, self.pending = self.pending, None
        return _answer(self.network, planes)


class SyncQueue:
    """One network's request queue on a ``SyncPipe``."""

    def __init__(self, pipe: SyncPipe, network: Network) -> None:
        self.pipe = pipe
        self.network = network
        self.requests = 0

    def put(self, request: tuple[int, Any]) -> None:
        self.pipe.pending = (self.network, request[1])
        self.requests += 1


class SyncPipe:
    def __init__(self) -> None:
        self.pending: tuple[Network, Any] | None = None

    def queue(self, network: Network) -> SyncQueue:
        return SyncQueue(self, network)

    def recv(self) -> tuple[list[float], list[float]]:
        if self.pending is None:
            raise RuntimeError("a reply was asked for with no request put")
        (network, planes), self.pending = self.pending, None
        return _answer(network, planes)
