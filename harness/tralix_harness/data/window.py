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


@dataclasses.dataclass(frozen=True)
class WindowSize:
    """How many of the most recent games the window holds: ``capacity``, or with ``growth``
    a window that grows with the run, ``growth`` times the games added so far but at least
    ``least``, and at most ``capacity``. A growth of at most 1 lets the window's oldest game
    only move forward: a game that has left it never comes back."""

    capacity: int
    growth: float = 0.0
    least: int = 0

    def __post_init__(self) -> None:
        if not 0.0 <= self.growth <= 1.0:
            raise ValueError(f"the window's growth must be from 0 to 1, not {self.growth}")

    def games(self, total: int) -> int:
        """The window's size once ``total`` games have been added."""
        if not self.growth:
            return self.capacity
        return min(self.capacity, max(self.least, int(self.growth * total)))


class Window:
    """The most recent games, the ones minibatches are drawn from.

    What it holds follows from its sources alone (the files in the order they were added and
    how many games each gave), so a checkpoint can store the sources and rebuild the window.
    ``size`` is the number of games it holds (an int), or a ``WindowSize`` that grows with
    the games added. With ``full``, its samples are of the full position.
    """

    def __init__(self, side: int, size: int | WindowSize, lookahead: bool = True,
                 full: bool = False) -> None:
        self.side = side
        self.size = size if isinstance(size, WindowSize) else WindowSize(size)
        self.lookahead = lookahead
        self.full = full
        self.sources: list[Source] = []
        self._games: collections.deque[Samples] = collections.deque()
        self._pool: Samples | None = None

    @property
    def capacity(self) -> int:
        """The games the window holds now."""
        if not self.size.growth:
            return self.size.capacity
        return self.size.games(self.total_games)

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
        contents = read_data_file(path, self.side, lookahead=self.lookahead, full=self.full)
        self.add(contents.games, Source(path, len(contents.games)))
        return len(contents.games)

    def add(self, games: Iterable[Samples], source: Source) -> None:
        self.sources.append(source)
        capacity = self.capacity  # with the source's games counted
        for game in games:
            self._games.append(game)
            if len(self._games) > capacity:
                self._games.popleft()
        self._pool = None

    @classmethod
    def restore(cls, side: int, size: int | WindowSize, sources: Sequence[Source],
                lookahead: bool = True, full: bool = False) -> Window:
        """The window a sequence of sources leaves, reading only the files still in it."""
        window = cls(side, size, lookahead, full)
        total = sum(s.games for s in sources)
        needed = total - window.size.games(total)  # games that have left the window
        for source in sources:
            skip = min(max(needed, 0), source.games)
            needed -= source.games
            if skip == source.games:
                window.sources.append(source)
                continue
            contents = read_data_file(source.path, side, limit=source.games,
                                      lookahead=lookahead, full=full)
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
             reflections: bool, sharpen_improved: bool = False,
             value_mix: float = 0.0) -> Batch:
        """A minibatch of samples drawn uniformly from every game in the window, augmented
        (``make_batch`` says what the other arguments do)."""
        pool = self.pool()
        index = rng.integers(0, len(pool), size)
        batch = make_batch(pool, index, self.side, temperature, sharpen_improved, value_mix)
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
