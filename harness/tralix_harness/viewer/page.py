"""``tralix view``'s page: one self-contained HTML file (no server, nothing fetched) showing a
list of stored games (filtered by winner or id, sorted by id, length or winner) and, for the
chosen one, the board drawn on a canvas in the seats' colours with each piece's border,
stepped tile by tile or piece by piece (buttons, arrow keys, a slider), each seat's pieces in
hand, the player to move, the tiles laid by each seat, the result in words, the game's
settings as its file holds them, and the search's shares of the next move as a heat map.

The games are packed, not written as one JSON object per tile: the players, tiles and shares
of every game go into typed arrays, one gzip stream, base64 in the page, which the browser
unpacks with its DecompressionStream. A page of a thousand side-20 self-play games weighs a
few megabytes (bench/README.md)."""

from __future__ import annotations

import base64
import gzip
import html
import json
import re
from pathlib import Path
from typing import Any

import numpy as np

from .games import FREE_COLOUR, SEAT_COLOURS, GameCollection
from .pieces import catalogue

_TEMPLATE = Path(__file__).with_name("page.html")
# The mark of a page in its head, by which view knows a file it may replace.
GENERATOR = '<meta name="generator" content="tralix view">'
_OLD_OPENING = (b'<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n'
                b'<title>tralix games: ')


def board_script() -> str:
    """The script that draws a board on a canvas, shared with the play page."""
    return Path(__file__).with_name("board.js").read_text(encoding="utf-8")


def _rgb(colour: tuple[int, int, int]) -> str:
    return "rgb({},{},{})".format(*colour)


def pack(collection: GameCollection) -> tuple[dict[str, Any], bytes]:
    """The games' summary (small JSON: a row per game, its settings as an index into the
    distinct settings) and their moves as one binary block: the share offsets of every move
    (uint32, one more than the moves), the tiles laid (uint16), the tiles with a share
    (uint16), the players (uint8), the shares (uint8, 1 to 255 of the whole; a share that
    rounds to nothing is kept as 1) and for each move the piece it completes (uint8, its
    catalogue id + 1, or 0 when the piece goes on), little-endian, in that order so that each
    array starts aligned."""
    games = collection.games
    sources: list[str] = []
    settings: list[str] = []
    rows: list[list[Any]] = []
    offsets = [np.zeros(1, np.uint32)]
    shared = 0
    for game in games:
        if game.source not in sources:
            sources.append(game.source)
        described = json.dumps(game.settings, sort_keys=True, default=str)
        if described not in settings:
            settings.append(described)
        rows.append([game.id, game.side, sources.index(game.source), game.line, game.moves,
                     *[round(x, 4) for x in game.outcome], settings.index(described)])
        offsets.append((game.offsets[1:] + shared).astype(np.uint32))
        shared += int(game.offsets[-1])

    def joined(parts: list[Any], dtype: type[Any]) -> bytes:
        if not parts:
            return b""
        return np.concatenate(parts).astype(np.dtype(dtype).newbyteorder("<")).tobytes()

    quantized = [np.maximum(1, np.rint(g.shares.astype(np.float32) * 255)) for g in games]
    completes = []
    for game in games:
        flags = np.zeros(game.moves, np.uint8)
        flags[game.ends - 1] = game.pieces + 1
        completes.append(flags)
    blocks = [joined(offsets, np.uint32), joined([g.tiles for g in games], np.uint16),
              joined([g.share_tiles for g in games], np.uint16),
              joined([g.players for g in games], np.uint8), joined(quantized, np.uint8),
              joined(completes, np.uint8)]
    summary = {"games": rows, "sources": sources,
               "settings": [json.loads(text) for text in settings], "pieces": catalogue(),
               "cutShort": [name for name, _ in collection.cut_short],
               "moves": int(sum(g.moves for g in games)), "shared": shared}
    return summary, b"".join(blocks)


def is_page(path: Path) -> bool:
    """Whether the file at ``path`` is a page written by ``tralix view``: its generator mark,
    or the opening every page had before the mark."""
    try:
        with open(path, "rb") as f:
            head = f.read(1024)
    except OSError:
        return False
    return GENERATOR.encode() in head or head.startswith(_OLD_OPENING)


def page(collection: GameCollection, title: str) -> str:
    """The HTML page of the collection's games."""
    summary, block = pack(collection)
    summary["seatColours"] = [_rgb(c) for c in SEAT_COLOURS]
    summary["freeColour"] = _rgb(FREE_COLOUR)
    data = base64.b64encode(gzip.compress(block, compresslevel=6, mtime=0)).decode("ascii")
    parts = {"BOARD_JS": board_script(), "TITLE": html.escape(title),
             # The summary goes into a script element: "</" must not end it early.
             "SUMMARY": json.dumps(summary, separators=(",", ":")).replace("</", "<\\/"),
             "DATA": data}
    # One pass, so that a file name holding a placeholder's text is left as it is.
    return re.sub(r"\{\{([A-Z_]+)\}\}", lambda m: parts[m.group(1)],
                  _TEMPLATE.read_text(encoding="utf-8"))
