"""Networks answering the module's requests in the calling thread, for matches played without
worker processes (``tralix play``, the loop's rating matches, the benchmarks).

``SyncNetwork`` is the request queue and the pipe in one object: ``recv`` evaluates the
request put last, as a batch of one. ``SyncPipe`` serves several networks through one pipe, as
a match between different networks needs: each network has a queue of its own on the pipe,
and ``recv`` evaluates the request put last on the network whose queue it was put on."""

from __future__ import annotations

from typing import Any

import numpy as np

from .builtin import Network


def _answer(network: Network, planes: Any) -> tuple[list[float], list[float]]:
    policy, value = network.evaluate(np.asarray(planes, dtype=np.float32)[None])
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
