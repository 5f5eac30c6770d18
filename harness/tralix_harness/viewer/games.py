"""Stored games for ``tralix show``, ``view`` and ``render``: the games of a data file or of a
run folder's ``games/`` files, read with the data package's reader and checked by replaying
them, with the search's shares of each move, the pieces' ends as the rules engine finds them
and the piece each end completes; and what a position shows (the owner of each tile, the
tiles laid by each seat, the hands, the scores). Every file or choice that cannot be shown is
one ViewError naming it."""

from __future__ import annotations

import dataclasses
import logging
from collections.abc import Iterable, Sequence
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

import tralix_rules

from ..data.records import GameLines, UnreadableFile, read_games
from ..data.samples import game_samples
from .pieces import LaidPiece, hands, laid_pieces

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
    ends: Array      # int32: the tiles laid at which a piece is complete, ascending
    pieces: Array    # int8: the catalogue id of the piece each end completes
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

    def laid_pieces(self, laid: int | None = None) -> list[LaidPiece]:
        """The pieces complete once ``laid`` tiles are down (default: the whole game)."""
        end = self.moves if laid is None else laid
        starts = [0, *(int(e) for e in self.ends[:-1])]
        return [LaidPiece(int(self.players[s]), int(p),
                          tuple(int(t) for t in self.tiles[s:e]), s, int(e))
                for s, e, p in zip(starts, self.ends, self.pieces, strict=True) if e <= end]

    def hands(self, laid: int) -> list[list[int]]:
        """Each seat's pieces still in hand after ``laid`` tiles."""
        return hands(self.laid_pieces(laid))

    def scores(self, laid: int) -> list[int]:
        """The four scores after ``laid`` tiles, by the rules engine."""
        game = tralix_rules.Game(self.side)
        for tile in self.tiles[:laid]:
            game.apply(int(tile))
        return [int(s) for s in game.scores()]

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


@dataclasses.dataclass
class GameCollection:
    games: list[StoredGame]
    cut_short: list[tuple[str, int]]   # the files cut short and the complete games each kept

    def notes(self) -> str:
        """What the files cut short kept, for a warning or an error: empty when none is."""
        return "; ".join(f"{name} is cut short (a run stopped while writing it?): "
                         f"{kept} complete game(s) kept" for name, kept in self.cut_short)

    def warn(self) -> None:
        """Logs the files cut short, once the collection is used."""
        if self.cut_short:
            logger.warning("%s", self.notes())

    def holds(self) -> str:
        """What the data holds, for an error about a choice in it."""
        note = f"; {self.notes()}" if self.cut_short else ""
        if not self.games:
            return f"the data holds no complete game{note}"
        return (f"the data holds {len(self.games)} game(s) (indexes 0 to "
                f"{len(self.games) - 1}){note}")

    def pick(self, index: int) -> StoredGame:
        if not 0 <= index < len(self.games):
            raise ViewError(f"--index {index} is past the end: {self.holds()}")
        return self.games[index]

    def by_id(self, game_id: int) -> StoredGame:
        for game in self.games:
            if game.id == game_id:
                return game
        raise ViewError(f"--id {game_id}: no game has this id; {self.holds()}")


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
    game_id = raw.get("id", line)
    tiles = np.asarray([t for _, t in history], np.int32)
    players = np.asarray([p for p, _ in history], np.int8)
    ends = tralix_rules.piece_ends(raw["side"], tiles)
    try:
        pieces = laid_pieces(raw["side"], players.tolist(), tiles.tolist(), ends)
    except ValueError as error:  # cannot be, once the game replays
        raise ViewError(f"{where}: not a game that can be shown: {error}") from None
    return StoredGame(source=source.name, line=line,
                      id=game_id if type(game_id) is int else line, side=raw["side"],
                      players=players, tiles=tiles,
                      outcome=[float(x) for x in raw["outcome"]], ends=ends,
                      pieces=np.asarray([p.piece for p in pieces], np.int8),
                      offsets=samples.offsets, share_tiles=samples.tiles, shares=samples.shares,
                      settings=settings if isinstance(settings, dict) else {})


def load_games(path: Path, limit: int | None = None) -> GameCollection:
    """Every complete game of a data file or a run folder (at most ``limit``), each checked by
    replaying it. A file that cannot be read or is not a data file (an empty file named
    itself among them), or a game that does not replay, is a ViewError naming the file (and
    the line); a file cut short keeps its complete games and is named in ``cut_short``, not
    warned about (``GameCollection.warn``). An empty file in a run folder counts as one cut
    short before its first game."""
    collection = GameCollection([], [])
    for file in data_files(path):
        if limit is not None and len(collection.games) >= limit:
            break
        lines = GameLines(file, warn=False)
        try:
            if file == path and file.stat().st_size == 0:
                raise ViewError(f"{file}: an empty file, not a data file (gzip JSON Lines)")
            for number, raw in enumerate(read_games(lines), start=1):
                if limit is not None and len(collection.games) >= limit:
                    break
                collection.games.append(_stored_game(raw, file, number))
        except UnreadableFile as error:
            raise ViewError(f"not a data file: {error}") from None
        except OSError as error:
            raise ViewError(f"{file}: cannot be read ({error.strerror or error})") from None
        if lines.cut_short or file.stat().st_size == 0:
            collection.cut_short.append((file.name, lines.lines))
    return collection
