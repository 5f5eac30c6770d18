"""Command-line values checked as they are parsed: a bad one ends the command with one line
naming the option and exit status 2, before any process starts."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any, NoReturn, cast

from ..base.settings import out_of_bounds
from ..networks.names import NetworkKind, NetworkName


class Parser(argparse.ArgumentParser):
    """An argument parser whose errors are a single line (no usage block)."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: {message}\n")


class Renamed(argparse.Action):
    """An option's former name, kept for a release: its value goes where the new name's does,
    with a line on standard error that gives the new name (``new``)."""

    def __init__(self, option_strings: Sequence[str], dest: str, new: str,
                 **kwargs: Any) -> None:
        super().__init__(option_strings, dest, **kwargs)
        self.new = new

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: str | None = None) -> None:
        sys.stderr.write(f"{parser.prog}: warning: {option_string} is deprecated here and "
                         f"goes in a coming release: use {self.new}\n")
        setattr(namespace, self.dest, values)


def number(kind: type[int] | type[float], least: float | None = None,
           most: float | None = None, above: float | None = None,
           below: float | None = None) -> Callable[[str], float]:
    """A whole number (``kind`` int) or a number within bounds, as the settings' fields
    declare them (base.settings.option)."""
    def parse(text: str) -> float:
        value = _int(text) if kind is int else _float(text)
        problem = out_of_bounds(value, least, most, above, below)
        if problem is not None:
            raise argparse.ArgumentTypeError(problem)
        return value

    parse.__name__ = kind.__name__  # what argparse calls the value in its own messages
    return parse


def int_at_least(low: int) -> Callable[[str], int]:
    return cast(Callable[[str], int], number(int, least=low))


def int_from_to(low: int, high: int) -> Callable[[str], int]:
    return cast(Callable[[str], int], number(int, least=low, most=high))


def path_text(text: str) -> str:
    """A path as typed, refused when empty (which would name the current folder, or make
    the option's default stand in for it)."""
    if not text.strip():
        raise argparse.ArgumentTypeError("an empty path")
    return text


def _existing(text: str, is_kind: Callable[[Path], bool], noun: str) -> str:
    path = Path(path_text(text))
    if not is_kind(path):
        raise argparse.ArgumentTypeError(
            f"{text}: {f'is not a {noun}' if path.exists() else f'no such {noun}'}")
    return text


def existing_path(text: str) -> str:
    """A file or a folder that exists (a data file or a run folder)."""
    if not Path(path_text(text)).exists():
        raise argparse.ArgumentTypeError(f"{text}: no such file or folder")
    return text


def existing_file(text: str) -> str:
    return _existing(text, Path.is_file, "file")


def existing_directory(text: str) -> str:
    return _existing(text, Path.is_dir, "folder")


def network(text: str) -> NetworkName:
    """uniform, heuristic, torch:CHECKPOINT or onnx:FILE (whether the file loads is checked
    before the run starts, naming it) or module:factory (the module must import and hold the
    factory)."""
    try:
        name = NetworkName.parse(text)
        if name.kind is NetworkKind.FACTORY:
            name.check()
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    if name.kind in (NetworkKind.TORCH, NetworkKind.ONNX):
        given = text.partition(":")[2]
        if not given.strip():
            raise argparse.ArgumentTypeError(f"{text!r}: an empty path")
        if Path(given).is_dir():
            raise argparse.ArgumentTypeError(f"{given}: is a folder, not a "
                                             f"{'checkpoint' if name.kind is NetworkKind.TORCH
                                                else 'network file'}")
    return name


def checkpoint(text: str) -> tuple[str, NetworkName]:
    """A checkpoint's path (an ``.onnx`` file: an exported network), or any network name
    (``network``); the text as typed beside it. A file of that path is taken before a name
    (a checkpoint named ``heuristic`` is read as a file)."""
    path = Path(path_text(text))
    if path.is_file():
        return text, (NetworkName.onnx(path) if path.suffix == ".onnx"
                      else NetworkName.torch(path))
    if path.is_dir():
        raise argparse.ArgumentTypeError(f"{text}: is a folder, not a checkpoint")
    if text in (NetworkKind.UNIFORM, NetworkKind.HEURISTIC) or ":" in text:
        return text, network(text)
    raise argparse.ArgumentTypeError(f"{text}: no such checkpoint")


def _int(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None


def _float(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
