"""Stored games for the viewer: the games of a data file or of a run folder's ``games/``
files, read with the data package's reader and checked by replaying them, with the search's
shares of each move; and what a position shows (the owner of each tile, the tiles laid by
each seat, the pieces' ends)."""

from __future__ import annotations

import dataclasses
import logging
from collections.abc import Iterable, Sequence
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from ..data.records import GameLines, UnreadableFile, read_games
from ..data.samples import game_samples

logger = logging.getLogger(__name__)

Array = npt.NDArray[Any]

# The seats' colours (red, blue, yellow, green, as ``tralix show`` draws them) and a free
# tile's, as RGB.
SEAT_COLOURS = ((214, 39, 40), (31, 119, 180), (242, 190, 0), (44, 160, 44))
FREE_COLOUR = (238, 238, 238)


class ViewError(ValueError):
    """A file or a choice that cannot be shown: one line naming what was wrong."""


@dataclasses.dataclass
class StoredGame:
    """One game as the viewer shows it: where it came from, its tiles and players in the
    order laid, its outcome, and the search's shares of each move (``offsets[i]`` to
    ``offsets[i + 1]`` index ``share_tiles`` and ``shares``; none for a move that ran no
    simulation)."""

    source: str      # the data file's name
    line: int        # the game's line in it
    id: int
    side: int
    players: Array   # int8, one per tile laid
    tiles: Array     # int32, one per tile laid
    outcome: list[float]
    offsets: Array   # int64, len(tiles) + 1
    share_tiles: Array
    shares: Array    # float16
    settings: dict[str, Any]

    @property
    def moves(self) -> int:
        return len(self.tiles)

    def owners(self, laid: int) -> Array:
        """The owner of each tile (0 free, seat + 1) after the first ``laid`` tiles."""
        owners = np.zeros(self.side * self.side, np.int8)
        owners[self.tiles[:laid]] = self.players[:laid] + 1
        return owners

    def player_to_move(self, laid: int) -> int | None:
        """The seat that lays the next tile, or None once the game is over."""
        return int(self.players[laid]) if laid < self.moves else None

    def move_shares(self, laid: int) -> list[tuple[int, float]]:
        """The search's shares of the move that lays tile ``laid`` (empty: no simulation)."""
        if laid >= self.moves:
            return []
        start, end = int(self.offsets[laid]), int(self.offsets[laid + 1])
        return [(int(t), float(s)) for t, s in
                zip(self.share_tiles[start:end], self.shares[start:end], strict=True)]

    def check_move(self, move: int) -> None:
        """ViewError unless 0 <= move <= the tiles laid."""
        if not 0 <= move <= self.moves:
            raise ViewError(f"--move {move} is past the end of game {self.id}, which lays "
                            f"{self.moves} tiles (moves 0 to {self.moves})")


def owners_after(side: int, history: Iterable[Sequence[int]]) -> list[int]:
    """Owner of each tile (0 free, player + 1) after the given moves."""
    owners = [0] * (side * side)
    for player, tile in history:
        owners[tile] = player + 1
    return owners


def tiles_laid(owners: Sequence[int] | Array) -> list[int]:
    """Tiles laid by each seat."""
    counts = np.bincount(np.asarray(owners, np.int64), minlength=5)
    return [int(n) for n in counts[1:5]]


def piece_ends(players: Sequence[int] | Array) -> list[int]:
    """The counts of tiles laid at which a turn ends (the mover changes, or the game ends)."""
    n = len(players)
    return [i + 1 for i in range(n) if i + 1 == n or players[i + 1] != players[i]]


@dataclasses.dataclass
class GameCollection:
    games: list[StoredGame]
    cut_short: list[str]   # the files cut short, whose complete games are kept

    def pick(self, index: int) -> StoredGame:
        if not 0 <= index < len(self.games):
            raise ViewError(f"--index {index} is past the end: the data holds "
                            f"{len(self.games)} game(s) (indexes 0 to {len(self.games) - 1})")
        return self.games[index]


def data_files(path: Path) -> list[Path]:
    """The data file itself, or a run folder's games files in generation order (its
    ``games/`` folder, else the ``*.jsonl.gz`` files directly in it)."""
    if not path.is_dir():
        return [path]
    folder = path / "games" if (path / "games").is_dir() else path
    files = sorted(folder.glob("*.jsonl.gz"))
    if not files:
        raise ViewError(f"{path}: a folder without data files (*.jsonl.gz, or games/*.jsonl.gz)")
    return files


def _stored_game(raw: Any, source: Path, line: int) -> StoredGame:
    where = f"{source}, line {line}"
    if not isinstance(raw, dict) or type(raw.get("side")) is not int \
            or not 4 <= raw["side"] <= 256:
        raise ViewError(f"{where}: not a game of this system's data files (no board side)")
    try:
        samples = game_samples(raw, raw["side"], lookahead=False)
    except ValueError as error:
        raise ViewError(f"{where}: not a game that can be shown: {error}") from None
    history = raw["history"]
    settings = raw.get("settings")
    return StoredGame(source=source.name, line=line, id=int(raw.get("id", line)),
                      side=raw["side"],
                      players=np.asarray([p for p, _ in history], np.int8),
                      tiles=np.asarray([t for _, t in history], np.int32),
                      outcome=[float(x) for x in raw["outcome"]],
                      offsets=samples.offsets, share_tiles=samples.tiles, shares=samples.shares,
                      settings=settings if isinstance(settings, dict) else {})


def load_games(path: Path, limit: int | None = None) -> GameCollection:
    """Every complete game of a data file or a run folder (at most ``limit``), each checked by
    replaying it. A file that is not a data file, or a game that does not replay, is a
    ViewError naming the file and the line; a file cut short keeps its complete games and is
    named in ``cut_short``."""
    collection = GameCollection([], [])
    for file in data_files(path):
        lines = GameLines(file)
        try:
            for number, raw in enumerate(read_games(lines), start=1):
                if limit is not None and len(collection.games) >= limit:
                    break
                collection.games.append(_stored_game(raw, file, number))
        except UnreadableFile as error:
            raise ViewError(f"not a data file: {error}") from None
        if lines.cut_short:
            collection.cut_short.append(file.name)
    return collection

