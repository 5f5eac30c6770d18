"""What the worker and server processes report to the main process on the run's event queue:
(kind, payload) pairs."""

from __future__ import annotations

import enum
from typing import Any


class EventKind(enum.StrEnum):
    GAME = "game"                  # payload: the GameResult of a finished or abandoned game
    PANIC = "panic"                # payload: text; a fatal stop inside the module
    SERVER_ERROR = "server-error"  # payload: text; a network failed to load or to evaluate


Event = tuple[EventKind, Any]
