"""Command-line values checked as they are parsed: a bad one ends the command with one line
naming the option and exit status 2, before any process starts."""

from __future__ import annotations

import argparse
import importlib
import importlib.util
from collections.abc import Callable
from pathlib import Path
from typing import NoReturn

from .networks import factory_parts
from .settings import MAX_SIDE, MIN_SIDE


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


def side(text: str) -> int:
    value = _int(text)
    if not MIN_SIDE <= value <= MAX_SIDE:
        raise argparse.ArgumentTypeError(
            f"a board side must be from {MIN_SIDE} to {MAX_SIDE}, not {value}")
    return value


def existing_file(text: str) -> str:
    path = Path(text)
    if not path.is_file():
        raise argparse.ArgumentTypeError(
            f"{text}: {'is not a file' if path.exists() else 'no such file'}")
    return text


def network(text: str) -> str:
    """uniform, heuristic, torch:CHECKPOINT (whether the checkpoint loads is checked before the
    run starts, naming the file) or module:factory (the module must import and hold the
    factory)."""
    if text in ("uniform", "heuristic") or text.startswith("torch:"):
        return text
    try:
        module_name, factory_name = factory_parts(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    try:
        found = importlib.util.find_spec(module_name) is not None
    except (ImportError, ValueError):
        found = False
    if not found:
        raise argparse.ArgumentTypeError(f"{text}: no module named {module_name!r}")
    try:
        module = importlib.import_module(module_name)
    except Exception as error:  # the user's module failed while importing
        raise argparse.ArgumentTypeError(
            f"{text}: importing {module_name} failed: {type(error).__name__}: {error}") from None
    if not callable(getattr(module, factory_name, None)):
        raise argparse.ArgumentTypeError(f"{text}: {module_name} has no factory {factory_name!r}")
    return text


def _int(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None

