"""The ``tralix`` command: the parser of every subcommand, the harness's diagnostics on
standard error, and the exit status of each kind of failure."""

from __future__ import annotations

import argparse
import logging
import sys
from collections.abc import Callable, Iterator
from contextlib import contextmanager

from ..cluster.errors import ClusterError
from ..cluster.options import close_session
from . import arguments, games, ladder, learning, show, viewing

logger = logging.getLogger(__name__)

DESCRIPTION = ("Command line: selfplay, eval-random, arena, show; view, render, play; train, loop, "
               "plot, ratings, ladder.")


@contextmanager
def _diagnostics_to_stderr() -> Iterator[None]:
    """While a command runs, the harness's warnings and errors go to standard error as bare
    lines, next to the progress line and the summary."""
    package = logging.getLogger("tralix_harness")
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(message)s"))
    level = package.level
    package.addHandler(handler)
    package.setLevel(logging.INFO)
    try:
        yield
    finally:
        package.removeHandler(handler)
        package.setLevel(level)


def _os_error_text(error: OSError) -> str:
    """The error as one line naming its file first, without the errno's bracket."""
    if error.filename is None or not error.strerror:
        return str(error)
    return f"{error.filename}: {error.strerror}"


def build_parser() -> argparse.ArgumentParser:
    parser = arguments.Parser(prog="tralix", description=DESCRIPTION)
    commands = parser.add_subparsers(dest="command", required=True)
    games.add_commands(commands)
    show.add_command(commands)
    viewing.add_commands(commands)
    learning.add_commands(commands)
    ladder.add_command(commands)
    return parser


def main(argv: list[str] | None = None) -> int:
    try:
        args = build_parser().parse_args(argv)
    except SystemExit as stop:  # --help, or a bad option already reported on one line
        return stop.code if isinstance(stop.code, int) else 2
    handler: Callable[[argparse.Namespace], int] = args.handler
    with _diagnostics_to_stderr():
        try:
            return handler(args)
        except ClusterError as error:
            logger.error("tralix: %s", error)
            return 1
        except ValueError as error:
            logger.error("tralix: %s", error)
            return 2
        except OSError as error:  # a file that cannot be read, a disk that fills up
            logger.error("tralix: %s", _os_error_text(error))
            return 1
        finally:
            close_session(args)
