"""A network answering request messages in batches: what an inference server does with the
messages of every worker, and what a worker does itself when it runs the network in its own
process.
"""

from __future__ import annotations

import dataclasses
import time
import traceback
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from ..networks.backend import Backend
from ..networks.builtin import Network, evaluate
from ..networks.errors import BackendUnavailable, CheckpointError
from ..networks.inputs import InputKind, network_inputs, refusal, request_arrays
from ..networks.loading import load_network
from ..networks.names import NetworkName
from .events import EventKind, EventSink
from .wire import Requests, encode_failure, encode_replies


@dataclasses.dataclass
class NetworkStatistics:
    requests: int = 0
    batches: int = 0
    network_seconds: float = 0.0  # inside the network's evaluate()

    def as_list(self) -> list[float]:
        return [self.requests, self.batches, self.network_seconds]


def planes_array(planes: npt.NDArray[np.uint8], side: int, rep: int
                 ) -> npt.NDArray[np.float32]:
    """Requests' five planes, uint8 (batch, features * side * side) in layout 1 or 2 ->
    float32 (batch, features, side, side), planes first (``request_arrays`` takes every
    layout)."""
    return request_arrays(planes, side, rep)[0]


class BatchAnswerer:
    """One network answering request messages, batch_size positions at a time at most, in
    the request layout ``rep`` (3 for a network of the full position, whose global features
    go to it beside the planes).

    A network that raises, or returns scores of the wrong shape, fails the whole batch: every
    request in it gets a failure report, and `report` is told what went wrong."""

    def __init__(self, name: str, network: Network, side: int, rep: int, batch_size: int,
                 report: Callable[[str], None], shared: Any = None) -> None:
        self.name = name
        self.network = network
        self.side = side
        self.rep = rep
        self.batch_size = batch_size
        self.report = report
        self.statistics = NetworkStatistics()
        # Where the statistics are published after every batch, if anywhere: a shared array of
        # three doubles (requests, batches, seconds), written by this answerer alone.
        self.shared = shared

    def answer(self, messages: Sequence[Requests]) -> list[tuple[bytes | memoryview, ...]]:
        """The reply to each message, in order."""
        planes, globals_ = request_arrays(np.concatenate([p for _, p in messages])
                                          if len(messages) > 1 else messages[0][1],
                                          self.side, self.rep)
        try:
            started = time.perf_counter()
            scores = self._scores(planes, globals_)
            self.statistics.network_seconds += time.perf_counter() - started
            answers = []
            start = 0
            for ids, message_planes in messages:
                end = start + len(message_planes)
                answers.append(encode_replies(ids, scores[start:end]))
                start = end
        except Exception as error:
            text = f"{type(error).__name__}: {error}"
            self.report(f"network {self.name!r} failed: {text}")
            answers = [encode_failure(ids, text, self.side) for ids, _ in messages]
        self.statistics.requests += len(planes)
        self.statistics.batches += 1
        if self.shared is not None:
            self.shared[:] = self.statistics.as_list()
        return answers

    def _scores(self, planes: npt.NDArray[np.float32],
                globals_: npt.NDArray[np.float32] | None) -> npt.NDArray[np.float32]:
        """Float32 (positions, side * side + 4): each row the policy scores, then the value
        scores."""
        tiles = self.side * self.side
        parts = []
        for start in range(0, len(planes), self.batch_size):
            chunk = planes[start:start + self.batch_size]
            policy, value = evaluate(self.network, chunk, None if globals_ is None
                                     else globals_[start:start + self.batch_size])
            policy = np.asarray(policy, dtype=np.float32).reshape(len(chunk), -1)
            value = np.asarray(value, dtype=np.float32).reshape(len(chunk), -1)
            if (policy.shape[1], value.shape[1]) != (tiles, 4):
                raise ValueError(f"network returned policy {policy.shape} and value "
                                 f"{value.shape}; expected ({len(chunk)}, {tiles}) and "
                                 f"({len(chunk)}, 4)")
            parts.append(np.concatenate((policy, value), axis=1))
        return parts[0] if len(parts) == 1 else np.concatenate(parts)


def load_answerer(network: NetworkName, side: int, rep: int, batch_size: int, torch_threads: int,
                  events: EventSink, shared: Any, backend: Backend = Backend.TORCH
                  ) -> BatchAnswerer | None:
    """The network ready to answer requests of layout ``rep`` on the run's settled
    ``backend``, publishing its statistics to `shared` (see BatchAnswerer.shared); None, with
    the failure reported on events, when it cannot be loaded or does not take that layout."""
    try:
        loaded = load_network(network, side, torch_threads, backend)
    except (CheckpointError, BackendUnavailable) as error:  # all there is to say
        events.put((EventKind.SERVER_ERROR, f"could not load network: {error}"))
        return None
    except Exception:
        events.put((EventKind.SERVER_ERROR, f"could not load network {str(network)!r}:\n"
                    + traceback.format_exc()))
        return None
    try:
        inputs = network_inputs(loaded)
        if inputs is not InputKind.of_rep(rep):
            raise ValueError(refusal(str(network), inputs))
    except ValueError as error:
        events.put((EventKind.SERVER_ERROR, f"could not load network: {error}"))
        return None
    return BatchAnswerer(str(network), loaded, side, rep, batch_size,
                         lambda text: events.put((EventKind.SERVER_ERROR, text)), shared)
