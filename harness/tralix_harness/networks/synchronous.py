"""A network answering the module's requests in the calling thread: the request queue and the
pipe in one object, for matches played without worker processes (``tralix play``, the
benchmarks). ``recv`` evaluates the request put last, as a batch of one."""

from __future__ import annotations

from typing import Any

import numpy as np

from .builtin import Network


class SyncNetwork:
    def __init__(self, network: Network) -> None:
        self.network = network
        self.pending: Any = None
        self.requests = 0

    def put(self, request: tuple[int, Any]) -> None:
        self.pending = request[1]
        self.requests += 1

    def recv(self) -> tuple[list[float], list[float]]:
        planes = np.asarray(self.pending, dtype=np.float32)[None]
        self.pending = None
        policy, value = self.network.evaluate(planes)
        return np.asarray(policy[0]).tolist(), np.asarray(value[0]).tolist()
