"""Ctrl-C and SIGTERM while a command runs: the first asks for a clean stop, a second aborts
with KeyboardInterrupt, though never inside a ``held`` block (storing a finished game): there
it strikes when the block ends."""

from __future__ import annotations

import contextlib
import logging
import signal
from collections.abc import Callable, Iterator
from types import FrameType

logger = logging.getLogger(__name__)


class SignalStop:
    """The stop asked by a signal. ``ask`` is called at the first signal and says whether a
    clean stop could be asked (a run was going and was told to stop); when it cannot (None,
    or it returns False), the signal aborts at once. Without ``ask`` the first signal only
    sets ``requested``, for the caller to look at between steps."""

    def __init__(self, ask: Callable[[], bool] | None = None,
                 message: str = "stopping...") -> None:
        self.ask = ask
        self.message = message
        self.requested = False
        self._holding = False
        self._aborted = False

    def _handle(self, signum: int, frame: FrameType | None) -> None:
        if self.requested:
            self._aborted = True
            if not self._holding:
                raise KeyboardInterrupt
            return
        if self.ask is not None and not self.ask():
            raise KeyboardInterrupt
        self.requested = True
        logger.warning("\n%s", self.message)

    @contextlib.contextmanager
    def installed(self) -> Iterator[SignalStop]:
        """Handles SIGINT and SIGTERM in the block; the previous handlers afterwards."""
        previous = {s: signal.signal(s, self._handle) for s in (signal.SIGINT, signal.SIGTERM)}
        try:
            yield self
        finally:
            for s, old in previous.items():
                signal.signal(s, old)

    @contextlib.contextmanager
    def held(self) -> Iterator[None]:
        """Holds back the abort of a second signal to the end of the block (unless the block
        fails on its own)."""
        self._holding = True
        try:
            yield
        finally:
            self._holding = False
        if self._aborted:
            raise KeyboardInterrupt
