"""``tralix view`` (a self-contained HTML page of stored games), ``tralix render`` (a picture
of one position, or a game as an animated GIF) and ``tralix play`` (a person against the
network, in the browser). They read stored games through the one reader ``tralix show`` uses
too (``viewer.games.load_games``): a file that is not a data file, a game that does not
replay, an index past the end or a move past the game's end is one line naming it, exit
status 2. An output is never a file being read, and an existing file that view or render did
not write is replaced only with --overwrite."""

from __future__ import annotations

import argparse
import logging
import time
import webbrowser
from pathlib import Path
from typing import Any

from ..base.files import write_text_atomically
from ..base.settings import MAX_SIDE, MIN_SIDE, SearchSettings
from ..data.records import GameLines, UnreadableFile
from ..local.options import RunOptions
from ..networks import Backend, NetworkKind, NetworkName, load_network
from ..networks.backend import settle
from ..viewer.games import ViewError, data_files, load_games
from ..viewer.page import is_page, page
from ..viewer.play import PlayServer
from ..viewer.render import is_rendered, picture_format, render
from . import arguments, paths
from .options import add_options, given

logger = logging.getLogger(__name__)


def add_commands(commands: Any) -> None:
    view = commands.add_parser("view", help="write a self-contained HTML page of stored games")
    view.add_argument("file", type=arguments.existing_path, help="a data file or a run folder")
    view.add_argument("--output", type=arguments.path_text,
                      help="the page (default: the data file's name with .html, or the run "
                           "folder's view.html); an existing file that is not a page view "
                           "wrote is refused unless --overwrite")
    view.add_argument("--overwrite", action="store_true",
                      help="replace an existing output file that is not a page view wrote")
    view.add_argument("--limit", type=arguments.int_at_least(1),
                      help="at most this many games (default: all)")
    view.set_defaults(handler=cmd_view)

    draw = commands.add_parser("render", help="draw a stored position (.png, .svg) or game "
                                              "(.gif)")
    draw.add_argument("file", type=arguments.existing_path, help="a data file or a run folder")
    draw.add_argument("--index", type=arguments.int_at_least(0), default=0,
                      help="the game's position in the data (%(default)s)")
    draw.add_argument("--move", type=arguments.int_at_least(0),
                      help="tiles laid before the picture (default: the whole game)")
    draw.add_argument("--output", type=arguments.path_text, required=True,
                      help="board.png, board.svg or game.gif; an existing file that is not a "
                           "picture render wrote is refused unless --overwrite")
    draw.add_argument("--overwrite", action="store_true",
                      help="replace an existing output file that is not a picture render "
                           "wrote")
    draw.set_defaults(handler=cmd_render)

    play = commands.add_parser("play", help="play one seat against the network, in the browser")
    play.add_argument("--network", type=arguments.network, default=NetworkName.parse("heuristic"),
                      help="uniform, heuristic, torch:CHECKPOINT, onnx:FILE or module:factory "
                           "(heuristic)")
    add_options(play, RunOptions, only=("backend",))
    play.add_argument("--sims", type=arguments.int_at_least(0), default=64,
                      help="the network's simulations per move, 0 plays its highest prior "
                           "(%(default)s)")
    play.add_argument("--seat", type=arguments.int_from_to(0, 3), default=0,
                      help="your seat; seat 0 moves first (%(default)s)")
    play.add_argument("--side", type=arguments.int_from_to(MIN_SIDE, MAX_SIDE), default=20,
                      help="board side (%(default)s)")
    play.add_argument("--port", type=arguments.int_from_to(0, 65535), default=0,
                      help="the port on 127.0.0.1, 0 for any free one (%(default)s)")
    play.add_argument("--output", type=arguments.path_text,
                      help="the data file a saved game goes to; an existing one gets the game "
                           "added (default: play-DATE-TIME.jsonl.gz)")
    play.add_argument("--no-browser", action="store_true",
                      help="print the page's address without opening a browser")
    play.set_defaults(handler=cmd_play)


def _default_page(source: Path) -> Path:
    if source.is_dir():
        return source / "view.html"
    name = source.name.removesuffix(".gz").removesuffix(".jsonl")
    return source.with_name(name + ".html")


def cmd_view(args: argparse.Namespace) -> int:
    source = Path(args.file)
    output = Path(args.output) if args.output is not None else _default_page(source)
    option = "--output" if args.output is not None else "the page"
    paths.check_output(output, option)
    paths.check_not_input(output, data_files(source), option)
    paths.check_replaceable(output, option, is_page, "a page written by tralix view",
                            args.overwrite)
    collection = load_games(source, args.limit)
    if not collection.games:
        raise ViewError(f"{source}: nothing to show: {collection.holds()}")
    text = page(collection, f"tralix games: {source.name}")
    write_text_atomically(output, text)
    collection.warn()
    cut = (f" ({', '.join(name for name, _ in collection.cut_short)} cut short)"
           if collection.cut_short else "")
    print(f"{output}: {len(collection.games)} game(s){cut}, {len(text) / 1e6:.1f} MB")
    return 0


def cmd_render(args: argparse.Namespace) -> int:
    source, output = Path(args.file), Path(args.output)
    paths.check_output(output, "--output")
    picture_format(output)
    paths.check_not_input(output, data_files(source), "--output")
    paths.check_replaceable(output, "--output", is_rendered, "a picture written by tralix "
                            "render", args.overwrite)
    collection = load_games(source, args.index + 1)
    game = collection.pick(args.index)
    drawn = render(game, args.move, output)
    collection.warn()
    print(f"{output}: game {game.id} ({game.source}, line {game.line}), {drawn}")
    return 0


def cmd_play(args: argparse.Namespace) -> int:
    name: NetworkName = args.network
    output = Path(args.output or time.strftime("play-%Y%m%d-%H%M%S.jsonl.gz"))
    paths.check_output(output, "--output")
    game_id = games_before(output)
    # A torch:CHECKPOINT on ONNX Runtime: its ONNX file, exported first if it must be.
    settled = settle([name], given(args, RunOptions).get("backend", Backend.AUTO))
    loaded = settled.names[0]
    if loaded.kind in (NetworkKind.TORCH, NetworkKind.ONNX):
        note = name.side_note(loaded.check(args.side), args.side)
        if note is not None:
            logger.warning("%s", note)
    network = load_network(loaded, args.side, backend=settled.backend)
    settings = SearchSettings(dim=args.side, sims_per_move=args.sims)
    try:
        server = PlayServer(network, str(name), settings, args.seat, output, args.port,
                            game_id=game_id)
    except OSError as error:  # the port is taken, or not ours to take
        raise ValueError(f"--port {args.port}: cannot listen on 127.0.0.1:{args.port} "
                         f"({error.strerror or error})") from None
    with server:
        print(f"playing seat {args.seat} against {name} at {server.url} (Ctrl-C or the page's "
              f"stop button ends it)", flush=True)
        if not args.no_browser:
            webbrowser.open(server.url)
        try:
            while not server.quit.wait(0.5):
                pass
        except KeyboardInterrupt:
            print("stopped", flush=True)
            return 130
    return 0


def games_before(output: Path) -> int:
    """The games of an existing output file, which the saved game is added to (its id the
    next number); a file that is not a whole data file is refused before the game starts."""
    if not output.exists():
        return 0
    try:
        lines = GameLines(output, warn=False)
        count = sum(1 for _ in lines)
    except UnreadableFile as error:
        raise ValueError(f"--output: not a data file: {error}") from None
    except OSError as error:
        raise ValueError(f"--output {output}: cannot be read ({error.strerror or error})"
                         ) from None
    if lines.cut_short:
        raise ValueError(f"--output {output}: the file is cut short; a game added to it could "
                         f"not be read")
    return count
