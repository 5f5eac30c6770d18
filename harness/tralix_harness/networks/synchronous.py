"""Networks answering the module's requests in the calling thread, for matches played without
worker processes (``tralix play``, the loop's rating matches, the benchmarks).

``SyncNetwork`` is the request queue and the pipe in one object: ``recv`` evaluates the
request put last, as a batch of one. ``SyncPipe`` serves several networks through one pipe, as
a match between different networks needs: each network has a queue of its own on the pipe,
and ``recv`` evaluates the request put last on the network whose queue it was put on.

A request holds the five planes as the module's nested lists (layout 1, planes first), or the
full position as bytes (layout 3): its six planes and its global features, handed to a
network of the full position as they are and refused by a five-plane one (and the reverse).
"""

from __future__ import annotations

import math
from itertools import chain
from typing import Any

import numpy as np

from .builtin import GlobalsArray, Network, PlanesArray, evaluate
from .inputs import FULL_REP, InputKind, network_inputs, refusal, request_arrays


def _full_arrays(data: bytes) -> tuple[PlanesArray, GlobalsArray]:
    """A full position's bytes as a batch of one: its planes and its global features."""
    kind = InputKind.FULL
    side = math.isqrt(max(len(data) - kind.globals, 0) // kind.planes)
    if kind.planes * side * side + kind.globals != len(data) or side == 0:
        raise ValueError(f"a request of {len(data)} bytes is no full position")
    raw = np.frombuffer(data, np.uint8).reshape(1, -1)
    planes, globals_ = request_arrays(raw, side, FULL_REP)
    assert globals_ is not None
    return planes, globals_


def _as_array(planes: Any) -> np.ndarray[Any, Any]:
    """The request's planes as a float32 array. The module's nested lists are flattened
    first: numpy reads a flat iterable of floats in about half the time of nested lists."""
    if isinstance(planes, list) and planes and isinstance(planes[0], list) and planes[0]:
        shape = (len(planes), len(planes[0]), len(planes[0][0]))
        flat = np.fromiter(chain.from_iterable(chain.from_iterable(planes)), np.float32)
        return flat.reshape(shape)  # a ragged request fails here, as it would in numpy
    return np.asarray(planes, dtype=np.float32)


def _answer(network: Network, request: Any) -> tuple[list[float], list[float]]:
    inputs = network_inputs(network)
    full = isinstance(request, bytes | bytearray | memoryview)
    if full != (inputs is InputKind.FULL):
        raise ValueError(refusal(str(getattr(network, "name", type(network).__name__)), inputs))
    if full:
        policy, value = evaluate(network, *_full_arrays(bytes(request)))
    else:
        policy, value = evaluate(network, _as_array(request)[None])
    return np.asarray(policy[0]).tolist(), np.asarray(value[0]).tolist()


class SyncNetwork:
    def __init__(self, network: Network) -> None:
        self.network = network
        self.inputs = network_inputs(network)
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
        self.inputs = network_inputs(network)
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
