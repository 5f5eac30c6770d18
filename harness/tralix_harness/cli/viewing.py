"""``tralix view`` (a self-contained HTML page of stored games), ``tralix render`` (a picture
of one position, or a game as an animated GIF) and ``tralix play`` (a person against the
network, in the browser). A file that is not a data file, an index past the end or a move
past the game's end is one line naming it, exit status 2."""

from __future__ import annotations

import argparse
import logging
from pathlib import Path
from typing import Any

from ..base.files import write_text_atomically
from ..viewer.games import load_games
from ..viewer.page import page
from ..viewer.render import render
from . import arguments

logger = logging.getLogger(__name__)


def _existing(text: str) -> str:
    """A data file or a run folder that exists."""
    if not Path(text).exists():
        raise argparse.ArgumentTypeError(f"{text}: no such file or folder")
    return text


def add_commands(commands: Any) -> None:
    view = commands.add_parser("view", help="write a self-contained HTML page of stored games")
    view.add_argument("file", type=_existing, help="a data file or a run folder")
    view.add_argument("--output", type=Path,
                      help="the page (default: the data file's name with .html, or the run "
                           "folder's view.html)")
    view.add_argument("--limit", type=arguments.int_at_least(1),
                      help="at most this many games (default: all)")
    view.set_defaults(handler=cmd_view)

    draw = commands.add_parser("render", help="draw a stored position (.png, .svg) or game "
                                              "(.gif)")
    draw.add_argument("file", type=_existing, help="a data file or a run folder")
    draw.add_argument("--index", type=arguments.int_at_least(0), default=0,
                      help="the game's position in the data (%(default)s)")
    draw.add_argument("--move", type=arguments.int_at_least(0),
                      help="tiles laid before the picture (default: the whole game)")
    draw.add_argument("--output", type=Path, required=True,
                      help="board.png, board.svg or game.gif")
    draw.set_defaults(handler=cmd_render)


def _default_page(source: Path) -> Path:
    if source.is_dir():
        return source / "view.html"
    name = source.name.removesuffix(".gz").removesuffix(".jsonl")
    return source.with_name(name + ".html")


def cmd_view(args: argparse.Namespace) -> int:
    source = Path(args.file)
    collection = load_games(source, args.limit)
    output: Path = args.output or _default_page(source)
    text = page(collection, f"tralix games: {source.name}")
    write_text_atomically(output, text)
    cut = f" ({', '.join(collection.cut_short)} cut short)" if collection.cut_short else ""
    print(f"{output}: {len(collection.games)} game(s){cut}, {len(text) / 1e6:.1f} MB")
    return 0


def cmd_render(args: argparse.Namespace) -> int:
    game = load_games(Path(args.file), args.index + 1).pick(args.index)
    drawn = render(game, args.move, args.output)
    print(f"{args.output}: game {game.id} ({game.source}, line {game.line}), {drawn}")
    return 0
