"""``tralix show``: a stored game's board, drawn from its history with the module's glyphs, and
with ``--replay`` the board after every piece (or tile). The games are read and checked by the
reader of ``view`` and ``render``: bad input is one line naming it, exit status 2."""

from __future__ import annotations

import argparse
import logging
from pathlib import Path
from typing import Any

from ..viewer.games import load_games, tiles_laid
from . import arguments

logger = logging.getLogger(__name__)

GLYPHS = ("\u2b1c", "\U0001f7e5", "\U0001f7e6", "\U0001f7e8", "\U0001f7e9")


def board_text(side: int, owners: Any) -> str:
    return "".join("".join(GLYPHS[owners[r * side + c]] for c in range(side)) + "\n"
                   for r in range(side))


def add_command(commands: Any) -> None:
    show = commands.add_parser("show", help="print a stored game's board")
    show.add_argument("file", type=arguments.existing_path, help="a data file or a run folder")
    show.add_argument("--id", type=int, help="the game's id (default: --index)")
    show.add_argument("--index", type=arguments.int_at_least(0), default=0,
                      help="position in the file (%(default)s)")
    show.add_argument("--replay", action="store_true",
                      help="print the board after every piece")
    show.add_argument("--tiles", action="store_true", help="with --replay: after every tile")
    show.set_defaults(handler=cmd_show)


def cmd_show(args: argparse.Namespace) -> int:
    collection = load_games(Path(args.file), None if args.id is not None else args.index + 1)
    game = collection.by_id(args.id) if args.id is not None else collection.pick(args.index)
    collection.warn()
    if args.replay:
        ends = {int(e) for e in game.ends}
        for laid in range(1, game.moves + 1):
            if laid in ends or args.tiles:
                print(f"after move {laid}: player {game.players[laid - 1]}, "
                      f"tile {game.tiles[laid - 1]}")
                print(board_text(game.side, game.owners(laid)))
    owners = game.owners(game.moves)
    print(f"game {game.id}, side {game.side}, {game.moves} tiles, "
          f"tiles laid by seat {tiles_laid(owners)}, outcome {game.outcome}")
    print(board_text(game.side, owners))
    return 0
