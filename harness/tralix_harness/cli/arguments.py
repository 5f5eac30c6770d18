"""Command-line values checked as they are parsed: a bad one ends the command with one line
naming the option and exit status 2, before any process starts."""

from __future__ import annotations

import argparse
from collections.abc import Callable
from pathlib import Path
from typing import NoReturn

from ..networks.names import NetworkKind, NetworkName


class Parser(argparse.ArgumentParser):
    """An argument parser whose errors are a single line (no usage block)."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: {message}\n")


def int_at_least(low: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        value = _int(text)
        if value < low:
            raise argparse.ArgumentTypeError(f"must be at least {low}, not {value}")
        return value

    parse.__name__ = f"int_at_least_{low}"
    return parse


def int_from_to(low: int, high: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        value = _int(text)
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"must be from {low} to {high}, not {value}")
        return value

    parse.__name__ = f"int_from_{low}_to_{high}"
    return parse


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


def _int(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None

