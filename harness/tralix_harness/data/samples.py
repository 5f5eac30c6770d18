"""Training samples from self-play data files.

Every decision of a stored game (one tile laid) becomes a sample: the position before it
(from the rules engine's replay, planes first: the five planes, or for a network of the full
position its six planes and 88 global features, ``tralix_rules.replay_full``), the policy
target (the game's look-ahead target for the decision when it has one and it is asked for, see
learning/lookahead.py, else the record's visit shares or, for a game searched with the Gumbel
root, its improved policy; spread over the side * side tiles), the value target (the outcome
turned so that the player to move comes first), the value the move's search met where the game
recorded it (turned the same way; minibatches may mix it into the value target), the player to
move, and the game's final board (who laid each tile, kept once per game) for the ownership
and score targets. A decision whose record has no shares (its move ran no simulation), whose
record is empty (a cheap search under the playout cap), or that had a single valid tile, is
left out of the policy loss: its policy mask is false.

Samples are kept compactly: planes and global features bit-packed (``pack_bits``; not
``tralix_rules.pack_planes``, which writes a request's planes one byte per bool), policy
targets sparse (the record's tiles and float16 shares).
"""

from __future__ import annotations

import collections
import dataclasses
import json
import logging
import math
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

import tralix_rules

from .records import GameLines, UnreadableFile

logger = logging.getLogger(__name__)

Array = npt.NDArray[Any]


class DataError(ValueError):
    """A data file that cannot be used: names the file and, for a bad game, its line."""


@dataclasses.dataclass
class Samples:
    """The samples of one or more games, in order."""

    planes: Array        # uint8 (n, bytes): the planes of each position, bit-packed
    offsets: Array       # int64 (n + 1,): sample i's policy entries are [offsets[i], [i+1])
    tiles: Array         # int16: tile of each policy entry
    shares: Array        # float16: visit share of each policy entry
    policy_mask: Array   # bool (n,): the sample counts in the policy loss
    value: Array         # float32 (n, 4): outcome, player to move first
    mover: Array         # int8 (n,): the seat to move
    sharpen: Array       # bool (n,): the target is the search's record (visit shares or an
    #                      improved policy), which minibatches may sharpen
    boards: Array        # int8 (games, side * side): the seat that laid each tile, -1 if none
    game: Array          # int32 (n,): the sample's game, a row of boards
    # uint8 (n, bytes): the global features of each position, bit-packed; (n, 0) for samples
    # of the five planes.
    globals_: Array
    # float32 (n, 4): the values the move's search met, player to move first; NaN where the
    # game recorded none.
    searched: Array
    # bool (n,): the record is the Gumbel root's improved policy (a game of search mode 2).
    improved: Array

    def __len__(self) -> int:
        return len(self.mover)

    @staticmethod
    def concatenate(parts: Sequence[Samples]) -> Samples:
        starts = np.cumsum([0] + [len(p.tiles) for p in parts[:-1]])
        offsets = [np.zeros(1, np.int64)] + [p.offsets[1:] + start
                                             for p, start in zip(parts, starts, strict=True)]
        first_boards = np.cumsum([0] + [len(p.boards) for p in parts[:-1]])
        return Samples(
            planes=np.concatenate([p.planes for p in parts]),
            offsets=np.concatenate(offsets),
            tiles=np.concatenate([p.tiles for p in parts]),
            shares=np.concatenate([p.shares for p in parts]),
            policy_mask=np.concatenate([p.policy_mask for p in parts]),
            value=np.concatenate([p.value for p in parts]),
            mover=np.concatenate([p.mover for p in parts]),
            sharpen=np.concatenate([p.sharpen for p in parts]),
            boards=np.concatenate([p.boards for p in parts]),
            game=np.concatenate([p.game + first
                                 for p, first in zip(parts, first_boards, strict=True)]),
            globals_=np.concatenate([p.globals_ for p in parts]),
            searched=np.concatenate([p.searched for p in parts]),
            improved=np.concatenate([p.improved for p in parts]))


def pack_bits(planes: Array) -> Array:
    """Planes (n, planes, side, side), or any (n, ...) array, of 0 and 1 -> (n, bytes) uint8,
    eight to a byte."""
    return np.packbits(planes.reshape(len(planes), -1).astype(np.uint8), axis=1)


def unpack_bits(packed: Array, side: int, planes: int = tralix_rules.feature_count) -> Array:
    """pack_bits' inverse for planes: (n, planes, side, side) uint8."""
    flat = np.unpackbits(packed, axis=1, count=planes * side * side)
    return flat.reshape(len(packed), planes, side, side)


def unpack_globals(packed: Array) -> Array:
    """pack_bits' inverse for the global features: (n, 88) uint8."""
    count: int = tralix_rules.global_count
    return np.unpackbits(packed, axis=1, count=count)


# ----- one game ------------------------------------------------------------------------------


def _fail(reason: str) -> None:
    raise ValueError(reason)


def _share(x: Any) -> bool:
    """Whether ``x`` is a number from 0 on that a float holds (an int too large for one, as
    JSON may write, is not)."""
    if not isinstance(x, int | float):
        return False
    try:
        return math.isfinite(x) and x >= 0
    except OverflowError:
        return False


def _searched_values(game: dict[str, Any], moves: int) -> Array:
    """The game's root values, float32 (moves, 4) by seat, NaN for a move without them (or
    every move of a game that has none). ValueError when they are malformed."""
    values = np.full((moves, 4), np.nan, np.float32)
    stored = game.get("root_values")
    if stored is None:
        return values
    if not isinstance(stored, list) or len(stored) != moves:
        _fail(f"'root_values' is not a list of {moves} values, one per tile")
    for i, entry in enumerate(stored):
        if entry is None:
            continue
        if (not isinstance(entry, list) or len(entry) != 4
                or not all(_share(x) and not isinstance(x, bool) for x in entry)
                or not math.isclose(sum(entry), 1.0, abs_tol=1e-3)):
            _fail(f"root value {i} is not four shares adding up to 1")
        values[i] = entry
    return values


def game_samples(game: Any, side: int, lookahead: bool = True, full: bool = False) -> Samples:
    """The samples of one stored game, with its look-ahead targets when it has them and
    ``lookahead`` asks for them, and with ``full`` the full position (six planes and the
    global features) rather than the five planes; a game stored with ``"policy_targets":
    false`` teaches the value alone. ValueError says what is wrong with it."""
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
            or not all(_share(x) for x in outcome)
            or not math.isclose(sum(outcome), 1.0, abs_tol=1e-4)):
        _fail("'outcome' is not four shares adding up to 1")
    tiles = [tile for _, tile in history]
    if not all(0 <= t < side * side for t in tiles):
        _fail(f"a tile of 'history' is off a board of side {side}")
    try:
        if full:
            planes, features, players, valid = tralix_rules.replay_full(side, tiles)
        else:
            planes, players, valid = tralix_rules.replay(side, tiles, 1)
            features = np.zeros((len(tiles), 0), np.uint8)
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
        if not isinstance(record, list) or (not record and name != "record"):
            _fail(f"{name} {i} is not a non-empty list")
        if not record:
            continue  # searched cheaply under the playout cap: no policy target
        try:
            pairs = [(int(t), s) for t, s in record]
        except (TypeError, ValueError, OverflowError):  # OverflowError: a tile of Infinity
            _fail(f"{name} {i} holds something other than [tile, share] pairs")
        if not all(0 <= t < side * side and valid[i, t] for t, _ in pairs):
            _fail(f"{name} {i} names a tile that was not valid")
        if all(s is None for _, s in pairs):
            continue  # the move ran no simulation: no policy target
        if not all(_share(s) for _, s in pairs):
            _fail(f"{name} {i} holds a share that is not a number from 0 to 1")
        total = sum(s for _, s in pairs)
        if not math.isclose(total, 1.0, abs_tol=1e-3):
            _fail(f"the shares of {name} {i} add up to {total}, not 1")
        kept = [(t, s) for t, s in pairs if s > 0]
        counts[i] = len(kept)
        entry_tiles += [t for t, _ in kept]
        entry_shares += [s / total for _, s in kept]
        mask[i] = valid[i].sum() > 1  # a forced tile teaches the policy nothing
    if game.get("policy_targets") is False:
        mask[:] = False  # a game whose search says nothing yet: value targets only
    outcome_array = np.asarray(outcome, np.float32)
    movers = players.astype(np.int64)
    seats = (movers[:, None] + np.arange(4)[None, :]) % 4  # player to move first
    value = outcome_array[seats]
    searched = np.take_along_axis(_searched_values(game, n), seats, axis=1)
    board = np.full((1, side * side), -1, np.int8)
    board[0, tiles] = players
    settings = game.get("settings")
    improved = (name == "record" and isinstance(settings, dict)
                and settings.get("search_mode") == 2)
    return Samples(planes=pack_bits(planes),
                   offsets=np.concatenate([[0], np.cumsum(counts)]).astype(np.int64),
                   tiles=np.asarray(entry_tiles, np.int16),
                   shares=np.asarray(entry_shares, np.float16),
                   policy_mask=mask, value=value.astype(np.float32),
                   mover=players.astype(np.int8),
                   sharpen=np.full(n, name == "record"),
                   boards=board, game=np.zeros(n, np.int32),
                   globals_=pack_bits(features) if full else features,
                   searched=searched.astype(np.float32),
                   improved=np.full(n, improved))


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
                   lookahead: bool = True, full: bool = False) -> FileContents:
    """The games of one data file as samples (with their look-ahead targets when they have
    them and ``lookahead`` asks for them; with ``full``, of the full position), at most
    ``limit`` of them. A file cut short by a
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
            contents.games.append(game_samples(game, side, lookahead, full))
        except ValueError as error:
            raise DataError(f"{path}, line {number}: {error}") from None
    contents.cut_short = lines.cut_short
    contents.other_side = sum(sides.values())
    if sides:
        found = ", ".join(f"{n} of side {s}" for s, n in sorted(sides.items()))
        logger.warning("%s: skipped %s (this run plays side %d)", path, found, side)
    return contents
