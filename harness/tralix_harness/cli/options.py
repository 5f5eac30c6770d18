"""Command-line options generated from the settings dataclasses: one option per field, its
help text the field's, its default the field's."""

from __future__ import annotations

import argparse
import dataclasses
import enum
from typing import Any, cast

from ..base.settings import Settings
from ..learning.settings import LoopSettings, TrainSettings
from ..networks.settings import ModelSettings


def _flag(name: str) -> str:
    return "--" + name.replace("_", "-")


def add_options(parser: argparse.ArgumentParser | Any, kind: type[Settings],
                skip: tuple[str, ...] = ()) -> None:
    """One option per plain field of ``kind``, its help ending with the default. Options not
    given are absent from the parsed namespace, so that a caller can tell them from defaults
    (``given``)."""
    for field in dataclasses.fields(kind):  # type: ignore[arg-type]
        if field.name in skip or "help" not in field.metadata:
            continue
        default = field.default
        text = f"{field.metadata['help']} ({default})"
        if isinstance(default, bool):
            parser.add_argument(_flag(field.name), action=argparse.BooleanOptionalAction,
                                default=argparse.SUPPRESS, help=text)
        elif isinstance(default, enum.Enum):
            parser.add_argument(_flag(field.name), type=type(default), choices=list(type(default)),
                                default=argparse.SUPPRESS, help=text)
        else:
            parser.add_argument(_flag(field.name), type=type(default),
                                default=argparse.SUPPRESS, help=text)


def given(args: argparse.Namespace, kind: type[Settings]) -> dict[str, Any]:
    """The fields of ``kind`` that the command line set."""
    names = {f.name for f in dataclasses.fields(kind)}  # type: ignore[arg-type]
    return {name: value for name, value in vars(args).items() if name in names}


def build[S: Settings](kind: type[S], args: argparse.Namespace, base: S | None = None) -> S:
    """``base`` (or the defaults) with what the command line set."""
    start: Any = base if base is not None else kind()
    return cast(S, dataclasses.replace(start, **given(args, kind)))


def loop_settings(args: argparse.Namespace, base: LoopSettings | None = None) -> LoopSettings:
    """The loop's settings from the command line, on top of ``base`` or the defaults."""
    base = base or LoopSettings()
    return dataclasses.replace(build(LoopSettings, args, base),
                               model=build(ModelSettings, args, base.model),
                               train=build(TrainSettings, args, base.train))
