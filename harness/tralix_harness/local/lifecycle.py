"""The lifecycle that a run of games on this machine and one on a cluster share: ``GameRun``,
what it yields as games finish (``GameResult``) and the errors that end it (``RunFailed``,
``RunInterrupted``)."""

from __future__ import annotations

import abc
import dataclasses
import enum
import time
from collections.abc import Callable, Generator, Iterator
from types import TracebackType
from typing import Self

from ..data.records import RootValues, TrainingGame
from ..networks.errors import BackendUnavailable, CheckpointError
from .options import RunOptions


class GameStatus(enum.IntEnum):
    FINISHED = 0
    ABANDONED = 1  # after a failed evaluation


@dataclasses.dataclass
class GameResult:
    number: int          # the game's number: 0 .. games - 1 unless the run was given numbers
    status: GameStatus
    seconds: float
    game: TrainingGame | None = None  # selfplay, when finished
    score: float | None = None        # random and arena, when finished
    # Arena: the game's history, which tells games from the same opening apart.
    history: list[tuple[int, int]] | None = None
    # Selfplay, when its search recorded them: the values each move's search met.
    root_values: RootValues | None = None


class RunFailed(RuntimeError):
    """A worker or the network failed; the run was stopped."""


class RunInterrupted(RuntimeError):
    """The run was stopped from outside (Ctrl-C or SIGTERM)."""


class GameRun(abc.ABC):
    """A run of games, on this machine or on a cluster: iterate over it for the results as
    games finish. Best used as a context manager, ``with Run(options) as run: for result in
    run: ...``: leaving the block, early or through an exception, stops the run and frees what
    it holds. Iterating to the end, or to an exception, does the same without it."""

    def __init__(self, options: RunOptions) -> None:
        self.options = options
        self.kind = options.kind
        self.numbers = options.game_numbers
        self.failure: str | None = None
        self.interrupted = False
        self.started = time.perf_counter()
        self._results: Generator[GameResult] | None = None
        self._closed = False

    def __enter__(self) -> Self:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def __iter__(self) -> Iterator[GameResult]:
        """The run's one stream of results: the run starts with the first request."""
        if self._results is None:
            if self._closed:
                raise RuntimeError("the run is closed")
            self._results = self._play()
        return self._results

    def stop(self) -> None:
        """Asks the run to stop; safe from a signal handler."""
        self.interrupted = True

    def close(self) -> None:
        """Stops the run if it is still going and frees what it holds; idempotent."""
        if self._results is not None:
            self._results.close()  # a generator's close runs its clean-up
        self._closed = True

    def _settle_networks(self) -> RunOptions:
        """The options with the networks the processes load (RunOptions.settle), kept as the
        run's; a checkpoint that cannot be exported or ONNX Runtime missing is RunFailed,
        like a network that a process cannot load."""
        try:
            self.options = self.options.settle()
        except (CheckpointError, BackendUnavailable) as error:
            raise RunFailed(f"could not load network: {error}") from None
        return self.options

    @abc.abstractmethod
    def requests_served(self) -> int:
        """Network evaluations so far."""

    @abc.abstractmethod
    def _play(self) -> Generator[GameResult]:
        """The results, as games finish."""


# Opens a run of games: ``Run`` itself, or one on a cluster's session.
RunOpener = Callable[[RunOptions], GameRun]
