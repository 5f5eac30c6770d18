"""Self-play data on disk: one finished game per line of a gzip-compressed JSON Lines file.

Each line holds id, side, history ([player, tile] pairs), records (per move, [tile, share]
pairs in the search's order), outcome (four values by seat) and settings. A line is written
whole and flushed, so a run that stops keeps every game it finished.
"""

from __future__ import annotations

import gzip
import json
import math
import zlib
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any


def _share(value: float) -> float | None:
    # Shares are NaN when a move ran no simulation; JSON has no NaN, null stands for it.
    return None if math.isnan(value) else value


# A finished training game as the module reports it: (history, records, outcome).
TrainingData = tuple[Sequence[Sequence[int]], Sequence[Sequence[Sequence[float]]], Sequence[float]]


def game_line(game_id: int, side: int, data: TrainingData, settings: dict[str, Any],
              extra: dict[str, Any] | None = None) -> str:
    history, records, outcome = data
    return json.dumps({
        "id": game_id,
        "side": side,
        "history": [[player, tile] for player, tile in history],
        "records": [[[tile, _share(share)] for tile, share in record] for record in records],
        "outcome": list(outcome),
        "settings": settings,
        **(extra or {}),
    }, separators=(",", ":"), allow_nan=False)


class GameWriter:
    def __init__(self, path: Path) -> None:
        path.parent.mkdir(parents=True, exist_ok=True)
        self.path = path
        self._file = gzip.open(path, "wt", encoding="utf-8")
        self.games = 0

    def write(self, line: str) -> None:
        self._file.write(line + "\n")
        self._file.flush()
        self.games += 1

    def close(self) -> None:
        self._file.close()

    def __enter__(self) -> GameWriter:
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()


def read_games(path: Path) -> Iterator[dict[str, Any]]:
    """Every complete line of the file; a file cut short by a crash yields what it holds."""
    with gzip.open(path, "rt", encoding="utf-8") as f:
        try:
            for line in f:
                if line.endswith("\n"):
                    yield json.loads(line)
        except (EOFError, zlib.error):
            return
