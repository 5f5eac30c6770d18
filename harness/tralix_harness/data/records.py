"""Self-play data on disk: one finished game per line of a gzip-compressed JSON Lines file.

Each line holds id, side, history ([player, tile] pairs), records (per move, [tile, share]
pairs in the search's order), outcome (four values by seat) and settings; games whose search
recorded them, root_values too (per move the four win shares by seat that the move's search
met, or null for a move played without a search), which readers that do not use them ignore.
A line is written whole and flushed, so a run that stops keeps every game it finished; a file
may hold several gzip members (a run appended to it). One reader for every user of the files:
it gives the complete games of a file cut short by a killed run, with a warning.
"""

from __future__ import annotations

import dataclasses
import gzip
import json
import logging
import math
import os
import zlib
from collections.abc import Iterator
from pathlib import Path
from typing import Any, NamedTuple

logger = logging.getLogger(__name__)


class TrainingGame(NamedTuple):
    """A finished training game as the module reports it, what a line of a data file holds."""

    history: list[tuple[int, int]]               # (player, tile) per tile laid
    records: list[list[tuple[int, float]]]       # per move, (tile, visit share) per child
    outcome: list[float]                         # by seat


# What a search that records them reports beside a training game: per move, the four values by
# seat its search met, or None for a move played without a search.
RootValues = list[list[float] | None]


def _share(value: float) -> float | None:
    # Shares are NaN when a move ran no simulation; JSON has no NaN, null stands for it.
    return None if math.isnan(value) else value


def game_line(game_id: int, side: int, game: TrainingGame, settings: dict[str, Any],
              extra: dict[str, Any] | None = None, root_values: RootValues | None = None
              ) -> str:
    history, records, outcome = game
    searched = {} if root_values is None else {"root_values": [
        None if values is None else list(values) for values in root_values]}
    return json.dumps({
        "id": game_id,
        "side": side,
        "history": [[player, tile] for player, tile in history],
        "records": [[[tile, _share(share)] for tile, share in record] for record in records],
        "outcome": list(outcome),
        **searched,
        "settings": settings,
        **(extra or {}),
    }, separators=(",", ":"), allow_nan=False)


class UnreadableFile(OSError):
    """A data file that is not gzip JSON Lines: names the file and the line."""


class WriteFailed(OSError):
    """A game could not be written (a full disk, a file too large, a read-only folder)."""


class _Sink:
    """The file under the compressor: each write made whole (or an error raised), nothing
    written after a failure."""

    def __init__(self, fd: int) -> None:
        self.fd = fd
        self.failed = False

    def write(self, data: bytes) -> int:
        view = memoryview(data).cast("B")
        while view and not self.failed:
            view = view[os.write(self.fd, view):]
        return len(data)

    def flush(self) -> None:
        pass


class GameWriter:
    """Writes games one line at a time, each flushed to the file (a sync flush of the
    compressor) before the next, so a process killed at any moment leaves every game written
    before it readable.

    A failed write (a full disk, a file too large) is raised as WriteFailed, saying how many
    games the file keeps: the file is cut back to the end of the last whole game and left
    without its gzip trailer, which the reader takes for a file cut short. ``append`` adds a
    gzip member to an existing file (members concatenate); otherwise the file is replaced.
    """

    def __init__(self, path: Path, append: bool = False) -> None:
        self.path = path
        self.games = 0
        flags = os.O_WRONLY | os.O_CREAT | os.O_CLOEXEC | (os.O_APPEND if append else os.O_TRUNC)
        try:
            path.parent.mkdir(parents=True, exist_ok=True)
            fd = os.open(path, flags, 0o666)
        except FileExistsError:  # a file stands where a folder of the path should be
            raise WriteFailed(f"{path}: cannot be written: {path.parent} is not a folder"
                              ) from None
        except OSError as error:
            raise WriteFailed(f"{path}: cannot be written: {error.strerror or error}") from None
        self._sink = _Sink(fd)
        self._whole = os.lseek(fd, 0, os.SEEK_END)  # the size after the last whole game
        try:
            self._file = gzip.GzipFile(filename="", mode="wb", fileobj=self._sink)
        except OSError as error:
            try:
                self._fail(error, "starting it failed")
            finally:
                os.close(fd)

    def write(self, line: str) -> None:
        if self._sink.failed:
            raise WriteFailed(f"{self.path}: an earlier write failed")
        try:
            self._file.write((line + "\n").encode("utf-8"))
            self._file.flush()
        except OSError as error:
            self._fail(error, f"writing game {self.games + 1} failed")
        self.games += 1
        self._whole = os.lseek(self._sink.fd, 0, os.SEEK_CUR)

    def _fail(self, error: OSError, what: str) -> None:
        self._sink.failed = True
        try:
            os.ftruncate(self._sink.fd, self._whole)  # drop a partly written game
        except OSError:
            logger.debug("could not cut %s back to its whole games", self.path)
        raise WriteFailed(f"{self.path}: {what} ({error.strerror or error}); the file keeps "
                          f"the {self.games} game(s) written before") from error

    def close(self) -> None:
        if self._sink.fd < 0:
            return
        try:
            self._file.close()  # the trailer; nothing after a failure
        except OSError as error:
            self._fail(error, "closing it failed")
        finally:
            os.close(self._sink.fd)
            self._sink.fd = -1

    def __enter__(self) -> GameWriter:
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()


@dataclasses.dataclass
class GameLines:
    """The complete lines of a data file as (line number, bytes), read member after member.

    A file cut short (its compressed stream stops early, or its last line has no newline)
    gives every complete line, then a warning naming the file and how many games it gave;
    ``cut_short`` and ``partial`` (the bytes of the unfinished line) say so afterwards. Data
    that is not gzip is UnreadableFile, naming the file and the line.
    """

    path: Path
    cut_short: bool = False
    partial: int = 0
    lines: int = 0
    warn: bool = True  # False: the caller reports a file cut short itself

    def __iter__(self) -> Iterator[tuple[int, bytes]]:
        pending = b""
        decompressor = zlib.decompressobj(wbits=31)  # gzip framing
        started = False
        with open(self.path, "rb") as f:
            while chunk := f.read(1 << 20):
                started = True
                while chunk:
                    try:
                        pending += decompressor.decompress(chunk)
                    except zlib.error as error:
                        raise UnreadableFile(f"{self.path}, line {self.lines + 1}: the file is "
                                             f"not readable gzip data ({error})") from None
                    *complete, pending = pending.split(b"\n")
                    for line in complete:
                        self.lines += 1
                        yield self.lines, line
                    chunk = b""
                    if decompressor.eof and decompressor.unused_data:  # another gzip member
                        chunk = decompressor.unused_data
                        decompressor = zlib.decompressobj(wbits=31)
        if pending or (started and not decompressor.eof):
            self.cut_short, self.partial = True, len(pending)
            if not self.warn:
                return
            logger.warning("%s is cut short (a run stopped while writing it?): kept its %d "
                           "complete game(s), skipped %d bytes of an unfinished line",
                           self.path, self.lines, self.partial)


def read_games(source: Path | GameLines) -> Iterator[dict[str, Any]]:
    """Every complete game of the file, in order; a file cut short gives what it holds, with
    a warning (and, given the GameLines, says so in its ``cut_short`` afterwards). A line that
    is not JSON is UnreadableFile, naming the file and the line."""
    lines = source if isinstance(source, GameLines) else GameLines(source)
    for number, line in lines:
        try:
            yield json.loads(line)
        except (UnicodeDecodeError, json.JSONDecodeError, RecursionError) as error:
            raise UnreadableFile(f"{lines.path}, line {number}: not a JSON line ({error})"
                                 ) from None
