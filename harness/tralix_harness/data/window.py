"""The window of recent games that minibatches are drawn from, and the data files that fed
it."""

from __future__ import annotations

import collections
import dataclasses
import os
from collections.abc import Iterable, Sequence
from pathlib import Path

import numpy as np

from .samples import DataError, Samples, read_data_file
from .symmetries import Batch, make_batch


@dataclasses.dataclass
class Source:
    """A data file that fed the window, and how many of its games it gave."""

    path: Path
    games: int


class Window:
    """The most recent games, the ones minibatches are drawn from.

    What it holds follows from its sources alone (the files in the order they were added and
    how many games each gave), so a checkpoint can store the sources and rebuild the window.
    """

    def __init__(self, side: int, capacity: int, lookahead: bool = True) -> None:
        self.side = side
        self.capacity = capacity
        self.lookahead = lookahead
        self.sources: list[Source] = []
        self._games: collections.deque[Samples] = collections.deque()
        self._pool: Samples | None = None

    @property
    def games(self) -> int:
        return len(self._games)

    @property
    def total_games(self) -> int:
        """Every game ever added, including those that have left the window."""
        return sum(s.games for s in self.sources)

    def __len__(self) -> int:
        return sum(len(g) for g in self._games)

    def add_file(self, path: Path) -> int:
        """Adds the games of a data file; returns how many."""
        contents = read_data_file(path, self.side, lookahead=self.lookahead)
        self.add(contents.games, Source(path, len(contents.games)))
        return len(contents.games)

    def add(self, games: Iterable[Samples], source: Source) -> None:
        self.sources.append(source)
        for game in games:
            self._games.append(game)
            if len(self._games) > self.capacity:
                self._games.popleft()
        self._pool = None

    @classmethod
    def restore(cls, side: int, capacity: int, sources: Sequence[Source],
                lookahead: bool = True) -> Window:
        """The window a sequence of sources leaves, reading only the files still in it."""
        window = cls(side, capacity, lookahead)
        needed = sum(s.games for s in sources) - capacity  # games that have left the window
        for source in sources:
            skip = min(max(needed, 0), source.games)
            needed -= source.games
            if skip == source.games:
                window.sources.append(source)
                continue
            contents = read_data_file(source.path, side, limit=source.games,
                                      lookahead=lookahead)
            if len(contents.games) < source.games:
                raise DataError(f"{source.path} holds {len(contents.games)} usable games, "
                                f"fewer than the {source.games} it gave before")
            window.add(contents.games[skip:], source)
        return window

    def pool(self) -> Samples:
        if self._pool is None:
            if not self._games:
                raise ValueError("the training window holds no games")
            self._pool = Samples.concatenate(list(self._games))
        return self._pool

    def draw(self, rng: np.random.Generator, size: int, temperature: float, rotations: bool,
             reflections: bool) -> Batch:
        """A minibatch of samples drawn uniformly from every game in the window, augmented."""
        pool = self.pool()
        index = rng.integers(0, len(pool), size)
        batch = make_batch(pool, index, self.side, temperature)
        if rotations:
            batch = batch.turned(rng.integers(0, 4, size))
        if reflections:
            batch = batch.reflected(rng.random(size) < 0.5)
        return batch


def relative_path(path: Path, start: Path) -> str:
    """A path as stored in a checkpoint: relative to the checkpoint's folder when it can be."""
    try:
        return os.path.relpath(path, start)
    except ValueError:
        return str(path.resolve())
