"""``tralix show``: a stored game's board, drawn from its history with the module's glyphs, and
with ``--replay`` the board after every turn (or tile)."""

from __future__ import annotations

import argparse
import logging
from pathlib import Path
from typing import Any

from ..data.records import read_games
from ..viewer.games import owners_after, tiles_laid
from . import arguments

logger = logging.getLogger(__name__)

GLYPHS = ("\u2b1c", "\U0001f7e5", "\U0001f7e6", "\U0001f7e8", "\U0001f7e9")


def board_text(side: int, owners: list[int]) -> str:
    return "".join("".join(GLYPHS[owners[r * side + c]] for c in range(side)) + "\n"
                   for r in range(side))


def add_command(commands: Any) -> None:
    show = commands.add_parser("show", help="print a stored game's board")
    show.add_argument("file", type=arguments.existing_file)
    show.add_argument("--id", type=int, help="the game's id (default: --index)")
    show.add_argument("--index", type=arguments.int_at_least(0), default=0,
                      help="position in the file (%(default)s)")
    show.add_argument("--replay", action="store_true", help="print the board after every turn")
    show.add_argument("--tiles", action="store_true", help="with --replay: after every tile")
    show.set_defaults(handler=cmd_show)


def cmd_show(args: argparse.Namespace) -> int:
    chosen = None
    for index, game in enumerate(read_games(Path(args.file))):
        if (args.id is not None and game["id"] == args.id) or (args.id is None and
                                                               index == args.index):
            chosen = game
            break
    if chosen is None:
        logger.error("no such game in the file")
        return 1
    side, history = chosen["side"], chosen["history"]
    if args.replay:
        for i, (player, tile) in enumerate(history):
            turn_ends = i + 1 == len(history) or history[i + 1][0] != player
            if turn_ends or args.tiles:
                print(f"after move {i + 1}: player {player}, tile {tile}")
                print(board_text(side, owners_after(side, history[:i + 1])))
    owners = owners_after(side, history)
    print(f"game {chosen['id']}, side {side}, {len(history)} tiles, "
          f"tiles laid by seat {tiles_laid(owners)}, outcome {chosen['outcome']}")
    print(board_text(side, owners))
    return 0
