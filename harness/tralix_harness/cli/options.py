"""Command-line options generated from the dataclasses of settings and run options: one option
per field, its help text, its name and its bounds the field's (base.settings.option), its
default the field's or the command's."""

from __future__ import annotations

import argparse
import dataclasses
import enum
from collections.abc import Callable
from typing import Any, cast

from ..base.settings import BOUNDS, flag_name
from . import arguments


def _parse(field: dataclasses.Field[Any], default: Any) -> Callable[[str], Any]:
    """What turns the option's text into the field's value, checking the field's bounds (a
    command may ask more than the settings do: ``command_least``, ``command_most``)."""
    bounds = {key: field.metadata[key] for key in BOUNDS if key in field.metadata}
    for key in ("least", "most"):
        if f"command_{key}" in field.metadata:
            bounds[key] = field.metadata[f"command_{key}"]
    if not bounds:
        return type(default)
    return arguments.number(int if isinstance(default, int) else float, **bounds)


def add_options(parser: argparse.ArgumentParser | Any, kind: type[Any], defaults: Any = None,
                only: tuple[str, ...] | None = None, skip: tuple[str, ...] = ()) -> None:
    """One option per field of the dataclass ``kind`` that has a help text (those named in
    ``only``, if given), its help ending with the default, ``defaults``' value where given.
    Options not given are absent from the parsed namespace, so that a caller can tell them
    from defaults (``given``)."""
    for field in dataclasses.fields(kind):
        if (field.name in skip or (only is not None and field.name not in only)
                or "help" not in field.metadata):
            continue
        default = getattr(defaults, field.name) if defaults is not None else field.default
        flag = flag_name(field)
        common: dict[str, Any] = dict(dest=field.name, default=argparse.SUPPRESS,
                                      help=f"{field.metadata['help']} ({default})")
        if isinstance(default, bool):
            parser.add_argument(flag, action=argparse.BooleanOptionalAction, **common)
        elif isinstance(default, enum.Enum):
            parser.add_argument(flag, type=type(default), choices=list(type(default)), **common)
        else:
            parser.add_argument(flag, type=_parse(field, default),
                                metavar=flag.removeprefix("--").replace("-", "_").upper(),
                                **common)


def given(args: argparse.Namespace, kind: type[Any]) -> dict[str, Any]:
    """The fields of the dataclass ``kind`` that the command line set."""
    names = {f.name for f in dataclasses.fields(kind)}
    return {name: value for name, value in vars(args).items() if name in names}


def build[S](kind: type[S], args: argparse.Namespace, base: S | None = None) -> S:
    """``base`` (or the dataclass's defaults) with what the command line set."""
    start: Any = base if base is not None else kind()
    return cast(S, dataclasses.replace(start, **given(args, kind)))
