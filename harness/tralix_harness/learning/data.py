"""Training samples from self-play data files, the window of recent games, and minibatches.

Every decision of a stored game (one tile laid) becomes a sample: the planes of the position
before it (from the rules engine's replay, planes first), the policy target (the game's
look-ahead target for the decision when it has one and it is asked for, see lookahead.py, else
the record's visit shares, which minibatches sharpen; spread over the side * side tiles), the
value target (the outcome turned so that the
player to move comes first) and the player to move. A decision whose record has no shares
(its move ran no simulation), or that had a single valid tile, is left out of the policy loss:
its policy mask is false.

Samples are kept compactly: planes bit-packed, policy targets sparse (the record's tiles and
float16 shares).

The board's symmetries: a clockwise quarter turn moves each seat's start corner onto the next
seat's, so it keeps the turn order, and as the planes are relative to the player to move, a
turned sample is a position of the same game seen from a turned board: its planes, valid tiles
and policy target turn together and its value target stays. A reflection (about the main
diagonal) swaps the start corners of seats 1 and 3, which reverses the turn order; it becomes
a consistent position only when the planes and value targets of the next and the previous
player are swapped too, and it then stands for a game played in the opposite order.
"""

from __future__ import annotations

import collections
import dataclasses
import json
import logging
import math
import os
from collections.abc import Iterable, Iterator, Sequence
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from ..records import GameLines, UnreadableFile

logger = logging.getLogger(__name__)

Array = npt.NDArray[Any]


class DataError(ValueError):
    """A data file that cannot be used: names the file and, for a bad game, its line."""


@dataclasses.dataclass
class Samples:
    """The samples of one or more games, in order."""

    planes: Array        # uint8 (n, bytes): the 5 planes of each position, bit-packed
    offsets: Array       # int64 (n + 1,): sample i's policy entries are [offsets[i], [i+1])
    tiles: Array         # int16: tile of each policy entry
    shares: Array        # float16: visit share of each policy entry
    policy_mask: Array   # bool (n,): the sample counts in the policy loss
    value: Array         # float32 (n, 4): outcome, player to move first
    mover: Array         # int8 (n,): the seat to move
    sharpen: Array       # bool (n,): the target is visit shares (sharpened in minibatches)

    def __len__(self) -> int:
        return len(self.mover)

    @staticmethod
    def concatenate(parts: Sequence[Samples]) -> Samples:
        starts = np.cumsum([0] + [len(p.tiles) for p in parts[:-1]])
        offsets = [np.zeros(1, np.int64)] + [p.offsets[1:] + start
                                             for p, start in zip(parts, starts, strict=True)]
        return Samples(
            planes=np.concatenate([p.planes for p in parts]),
            offsets=np.concatenate(offsets),
            tiles=np.concatenate([p.tiles for p in parts]),
            shares=np.concatenate([p.shares for p in parts]),
            policy_mask=np.concatenate([p.policy_mask for p in parts]),
            value=np.concatenate([p.value for p in parts]),
            mover=np.concatenate([p.mover for p in parts]),
            sharpen=np.concatenate([p.sharpen for p in parts]))


def pack_planes(planes: Array) -> Array:
    """(n, 5, side, side) 0/1 -> (n, bytes) uint8."""
    return np.packbits(planes.reshape(len(planes), -1).astype(np.uint8), axis=1)


def unpack_planes(packed: Array, side: int) -> Array:
    """pack_planes' inverse: (n, 5, side, side) uint8."""
    flat = np.unpackbits(packed, axis=1, count=5 * side * side)
    return flat.reshape(len(packed), 5, side, side)


# ----- one game ------------------------------------------------------------------------------


def _fail(reason: str) -> None:
    raise ValueError(reason)


def game_samples(game: Any, side: int, lookahead: bool = True) -> Samples:
    """The samples of one stored game, with its look-ahead targets when it has them and
    ``lookahead`` asks for them. ValueError says what is wrong with it."""
    import tralix_rules

    if not isinstance(game, dict):
        _fail("not a JSON object")
    for key in ("history", "records", "outcome"):
        if key not in game:
            _fail(f"no {key!r}")
    history, records, outcome = game["history"], game["records"], game["outcome"]
    if not isinstance(history, list) or not history:
        _fail("'history' is not a non-empty list")
    if not all(isinstance(m, list) and len(m) == 2 and all(type(x) is int for x in m)
               for m in history):
        _fail("'history' holds something other than [player, tile] pairs")
    if not isinstance(records, list) or len(records) != len(history):
        _fail(f"'records' is not a list of {len(history)} records, one per tile")
    name = "record"
    if lookahead and "lookahead" in game:
        records, name = game["lookahead"], "look-ahead target"
        if not isinstance(records, list) or len(records) != len(history):
            _fail(f"'lookahead' is not a list of {len(history)} targets, one per tile")
    if (not isinstance(outcome, list) or len(outcome) != 4
            or not all(isinstance(x, int | float) and math.isfinite(x) and x >= 0
                       for x in outcome)
            or not math.isclose(sum(outcome), 1.0, abs_tol=1e-4)):
        _fail("'outcome' is not four shares adding up to 1")
    tiles = [tile for _, tile in history]
    if not all(0 <= t < side * side for t in tiles):
        _fail(f"a tile of 'history' is off a board of side {side}")
    try:
        planes, players, valid = tralix_rules.replay(side, tiles, 1)
    except ValueError as error:
        raise ValueError(f"the history does not replay: {error}") from None
    if [p for p, _ in history] != players.tolist():
        _fail("the players of 'history' are not the players to move")
    n = len(history)
    counts = np.zeros(n, np.int64)
    entry_tiles: list[int] = []
    entry_shares: list[float] = []
    mask = np.zeros(n, bool)
    for i, record in enumerate(records):
        if not isinstance(record, list) or not record:
            _fail(f"{name} {i} is not a non-empty list")
        try:
            pairs = [(int(t), s) for t, s in record]
        except (TypeError, ValueError, OverflowError):  # OverflowError: a tile of Infinity
            _fail(f"{name} {i} holds something other than [tile, share] pairs")
        if not all(0 <= t < side * side and valid[i, t] for t, _ in pairs):
            _fail(f"{name} {i} names a tile that was not valid")
        if all(s is None for _, s in pairs):
            continue  # the move ran no simulation: no policy target
        if not all(isinstance(s, int | float) and math.isfinite(s) and s >= 0 for _, s in pairs):
            _fail(f"{name} {i} holds a share that is not a number from 0 to 1")
        total = sum(s for _, s in pairs)
        if not math.isclose(total, 1.0, abs_tol=1e-3):
            _fail(f"the shares of {name} {i} add up to {total}, not 1")
        kept = [(t, s) for t, s in pairs if s > 0]
        counts[i] = len(kept)
        entry_tiles += [t for t, _ in kept]
        entry_shares += [s / total for _, s in kept]
        mask[i] = valid[i].sum() > 1  # a forced tile teaches the policy nothing
    outcome_array = np.asarray(outcome, np.float32)
    movers = players.astype(np.int64)
    value = outcome_array[(movers[:, None] + np.arange(4)[None, :]) % 4]
    return Samples(planes=pack_planes(planes),
                   offsets=np.concatenate([[0], np.cumsum(counts)]).astype(np.int64),
                   tiles=np.asarray(entry_tiles, np.int16),
                   shares=np.asarray(entry_shares, np.float16),
                   policy_mask=mask, value=value.astype(np.float32),
                   mover=players.astype(np.int8),
                   sharpen=np.full(n, name == "record"))


# ----- files ---------------------------------------------------------------------------------


@dataclasses.dataclass
class FileContents:
    path: Path
    games: list[Samples]
    other_side: int = 0     # games of another side, skipped
    cut_short: bool = False


def _checked(lines: GameLines) -> Iterator[tuple[int, bytes]]:
    try:
        yield from lines
    except UnreadableFile as error:
        raise DataError(str(error)) from None


def read_data_file(path: Path, side: int, limit: int | None = None,
                   lookahead: bool = True) -> FileContents:
    """The games of one data file as samples (with their look-ahead targets when they have
    them and ``lookahead`` asks for them), at most ``limit`` of them. A file cut short by a
    killed run gives every complete game, with a warning; a malformed game is a DataError
    naming the file and the line. Games of another side are skipped with a warning."""
    contents = FileContents(path, [])
    sides: collections.Counter[int] = collections.Counter()
    lines = GameLines(path)  # a file cut short gives its complete games, with a warning
    for number, line in _checked(lines):
        if limit is not None and len(contents.games) >= limit:
            break
        try:
            game = json.loads(line)
        except (UnicodeDecodeError, json.JSONDecodeError, RecursionError) as error:
            raise DataError(f"{path}, line {number}: not a JSON line ({error})") from None
        game_side = game.get("side") if isinstance(game, dict) else None
        if type(game_side) is not int:
            raise DataError(f"{path}, line {number}: no board side")
        if game_side != side:
            sides[game_side] += 1
            continue
        try:
            contents.games.append(game_samples(game, side, lookahead))
        except ValueError as error:
            raise DataError(f"{path}, line {number}: {error}") from None
    contents.cut_short = lines.cut_short
    contents.other_side = sum(sides.values())
    if sides:
        found = ", ".join(f"{n} of side {s}" for s, n in sorted(sides.items()))
        logger.warning("%s: skipped %s (this run plays side %d)", path, found, side)
    return contents


# ----- the window ----------------------------------------------------------------------------


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


# ----- minibatches and symmetries ------------------------------------------------------------


@dataclasses.dataclass
class Batch:
    planes: Array       # float32 (n, 5, side, side)
    policy: Array       # float32 (n, side * side): the policy target
    policy_mask: Array  # bool (n,)
    value: Array        # float32 (n, 4)

    @property
    def side(self) -> int:
        return int(self.planes.shape[-1])

    def turned(self, turns: Array) -> Batch:
        """Sample i turned clockwise by turns[i] quarter turns."""
        planes, policy = self.planes.copy(), self.policy.copy()
        side = self.side
        for k in (1, 2, 3):
            chosen = turns == k
            if chosen.any():
                planes[chosen] = turn_boards(self.planes[chosen], k)
                grid = self.policy[chosen].reshape(-1, side, side)
                policy[chosen] = turn_boards(grid, k).reshape(-1, side * side)
        return Batch(planes, policy, self.policy_mask, self.value)

    def reflected(self, flips: Array) -> Batch:
        """Sample i mirrored about the main diagonal where flips[i], the next and the previous
        player swapped."""
        planes, policy, value = self.planes.copy(), self.policy.copy(), self.value.copy()
        side = self.side
        if flips.any():
            planes[flips] = np.swapaxes(self.planes[flips], -1, -2)[:, REFLECTED_PLANES]
            grid = self.policy[flips].reshape(-1, side, side)
            policy[flips] = np.swapaxes(grid, -1, -2).reshape(-1, side * side)
            value[flips] = self.value[flips][:, REFLECTED_SEATS]
        return Batch(planes, policy, self.policy_mask, value)


# A reflection reverses the turn order: the next player and the previous one trade places.
REFLECTED_PLANES = [0, 3, 2, 1, 4]
REFLECTED_SEATS = [0, 3, 2, 1]


def turn_boards(boards: Array, turns: int) -> Array:
    """Boards (on the last two axes) turned clockwise by ``turns`` quarter turns: the tile at
    (row, column) goes to (column, side - 1 - row), the start corner of seat s to that of seat
    s + 1."""
    return np.ascontiguousarray(np.rot90(boards, -turns, axes=(-2, -1)))


def turn_tile(tile: int, side: int, turns: int) -> int:
    """Where a tile goes under ``turn_boards``."""
    row, column = divmod(tile, side)
    for _ in range(turns % 4):
        row, column = column, side - 1 - row
    return row * side + column


def make_batch(pool: Samples, index: Array, side: int, temperature: float) -> Batch:
    """Samples ``index`` of the pool, unpacked: dense policy targets, the visit shares among
    them sharpened by the temperature (shares ** (1 / T), renormalised)."""
    n = len(index)
    starts, ends = pool.offsets[index], pool.offsets[index + 1]
    counts = ends - starts
    rows = np.repeat(np.arange(n), counts)
    entries = np.repeat(starts - np.cumsum(counts) + counts, counts) + np.arange(counts.sum())
    policy = np.zeros((n, side * side), np.float32)
    policy[rows, pool.tiles[entries]] = pool.shares[entries].astype(np.float32)
    sharpen = pool.sharpen[index]
    if temperature != 1.0 and sharpen.any():
        sharp = policy[sharpen] ** (1.0 / temperature)
        totals = sharp.sum(axis=1, keepdims=True)
        policy[sharpen] = np.divide(sharp, totals, out=np.zeros_like(sharp), where=totals > 0)
    return Batch(planes=unpack_planes(pool.planes[index], side).astype(np.float32),
                 policy=policy, policy_mask=pool.policy_mask[index],
                 value=pool.value[index])


def relative_path(path: Path, start: Path) -> str:
    """A path as stored in a checkpoint: relative to the checkpoint's folder when it can be."""
    try:
        return os.path.relpath(path, start)
    except ValueError:
        return str(path.resolve())
