"""Settings of training and of the generation loop, as frozen dataclasses.

Each field carries its help text, so the dataclasses are the one source of the defaults, of
the command line's options (``add_options``) and of what a run folder's settings file holds.
``LoopSettings`` is what makes a run what it is: a folder made with other values is refused.
``LoopControl`` is how this invocation runs it (how long, on how many processes), free to
change from one invocation to the next.
"""

from __future__ import annotations

import argparse
import dataclasses
from collections.abc import Mapping
from typing import Any, Self, cast

# The inference server reads its torch thread count from this variable of its environment:
# the loop and the commands set it before starting their processes.
TORCH_THREADS_VARIABLE = "TRALIX_TORCH_THREADS"


def option(default: Any, help: str) -> Any:
    """A dataclass field with its help text."""
    return dataclasses.field(default=default, metadata={"help": help})


class _Settings:
    """Shared behaviour: checks, a nested dict view, rebuilding from one."""

    def as_dict(self) -> dict[str, Any]:
        return dataclasses.asdict(self)  # type: ignore[call-overload, no-any-return]

    @classmethod
    def from_dict(cls, values: Mapping[str, Any]) -> Self:
        """Rebuilds the settings from ``as_dict``'s output; an unknown name is an error."""
        fields = {f.name: f for f in dataclasses.fields(cls)}  # type: ignore[arg-type]
        unknown = sorted(set(values) - set(fields))
        if unknown:
            raise ValueError(f"unknown setting(s): {', '.join(unknown)}")
        built: dict[str, Any] = {}
        for name, value in values.items():
            nested = fields[name].type
            kind = _NESTED.get(nested) if isinstance(nested, str) else None
            built[name] = kind.from_dict(value) if kind is not None else value
        return cls(**built)


def _positive(**values: float) -> None:
    for name, value in values.items():
        if not value > 0:
            raise ValueError(f"{name.replace('_', ' ')} must be above 0, not {value}")


def _not_negative(**values: float) -> None:
    for name, value in values.items():
        if value < 0:
            raise ValueError(f"{name.replace('_', ' ')} must not be negative, not {value}")


@dataclasses.dataclass(frozen=True)
class ModelSettings(_Settings):
    """The network's size."""

    blocks: int = option(4, "residual blocks in the tower")
    channels: int = option(32, "channels of the tower's convolutions")

    def __post_init__(self) -> None:
        _positive(blocks=self.blocks, channels=self.channels)


POLICY_TARGETS = ("lookahead", "visits")


@dataclasses.dataclass(frozen=True)
class TrainSettings(_Settings):
    """How the network learns from the window of recent games."""

    batch_size: int = option(256, "samples in a minibatch")
    learning_rate: float = option(2e-3, "learning rate after the warm-up (AdamW)")
    warmup_steps: int = option(100, "steps over which the learning rate rises from zero")
    weight_decay: float = option(1e-3, "decoupled weight decay (AdamW)")
    window_games: int = option(3000, "the most recent games that minibatches are drawn from")
    policy_target: str = option(
        "lookahead", "policy targets: 'lookahead' (the games' one-tile look-ahead targets where "
                     "they have them, else visit shares) or 'visits' (visit shares only)")
    target_temperature: float = option(
        0.5, "visit-share targets are raised to 1/T and renormalised")
    value_weight: float = option(1.0, "weight of the value loss beside the policy loss")
    rotations: bool = option(True, "turn each sample by a random quarter turn")
    reflections: bool = option(
        False, "also mirror half the samples (this reverses the turn order of the position)")
    seed: int = option(0, "seed of the initial weights and of the minibatch draws")

    def __post_init__(self) -> None:
        _positive(batch_size=self.batch_size, learning_rate=self.learning_rate,
                  window_games=self.window_games, target_temperature=self.target_temperature)
        _not_negative(warmup_steps=self.warmup_steps, weight_decay=self.weight_decay,
                      value_weight=self.value_weight)
        if self.policy_target not in POLICY_TARGETS:
            raise ValueError(f"policy target must be one of {', '.join(POLICY_TARGETS)}, "
                             f"not {self.policy_target!r}")


@dataclasses.dataclass(frozen=True)
class LoopSettings(_Settings):
    """What a run of the generation loop plays and learns; fixed for the life of a run."""

    side: int = option(10, "board side")
    games: int = option(192, "self-play games per generation")
    sims: int = option(8, "simulations per move in self-play")
    first_games: int = option(
        192, "self-play games of generation 1, played by the untrained network")
    first_sims: int = option(
        8, "simulations per move in generation 1 (the untrained network's search is worth "
            "little: its games are for the value)")
    sample_moves: int = option(
        24, "self-play tiles before this count are drawn by visits, later ones the most visited")
    # Above the module's usual 1.25: an unvisited child counts as value 0 while values are
    # shares of 1 among four players (about 0.25), so with many valid tiles and flat priors a
    # small constant keeps the search on the first children it tried, and the visit shares
    # then tell more about the root noise than about the values.
    c_init: float = option(2.0, "exploration constant of the search")
    alpha: float = option(0.3, "concentration of the root noise")
    exploration_fraction: float = option(0.25, "weight of the root noise")
    lookahead_temperature: float = option(
        0.03, "temperature of the look-ahead policy targets (values are win shares of 1)")
    steps: int = option(400, "training steps per generation")
    model: ModelSettings = dataclasses.field(default_factory=ModelSettings)
    train: TrainSettings = dataclasses.field(default_factory=TrainSettings)

    def __post_init__(self) -> None:
        if not 4 <= self.side <= 256:
            raise ValueError(f"board side must be from 4 to 256, not {self.side}")
        _positive(games=self.games, first_games=self.first_games, alpha=self.alpha,
                  lookahead_temperature=self.lookahead_temperature)
        _not_negative(sims=self.sims, first_sims=self.first_sims,
                      sample_moves=self.sample_moves, steps=self.steps,
                      exploration_fraction=self.exploration_fraction)


@dataclasses.dataclass(frozen=True)
class LoopControl(_Settings):
    """How long this invocation of the loop goes on and what it runs on."""

    generations: int = option(0, "stop after this many generations in all (0: no limit)")
    minutes: float = option(0.0, "stop after this much wall time in all, in minutes (0: no limit)")
    eval_games: int = option(256, "games against three random players per generation")
    arena_games: int = option(32, "games against the previous generation per generation")
    arena_opening: int = option(
        6, "tiles played at random at the start of each game against the previous generation")
    workers: int = option(2, "worker processes for self-play and evaluation")
    threads: int = option(8, "games played at once by each worker")
    server_batch: int = option(64, "largest batch the inference server evaluates at once")
    torch_threads: int = option(1, "torch threads of the inference server")
    train_threads: int = option(2, "torch threads of training and of the greedy matches")

    def __post_init__(self) -> None:
        _not_negative(generations=self.generations, minutes=self.minutes,
                      eval_games=self.eval_games, arena_games=self.arena_games,
                      arena_opening=self.arena_opening)
        _positive(workers=self.workers, threads=self.threads, server_batch=self.server_batch,
                  torch_threads=self.torch_threads, train_threads=self.train_threads)


_NESTED: dict[str, type[_Settings]] = {"ModelSettings": ModelSettings,
                                       "TrainSettings": TrainSettings}


# ----- the command line ----------------------------------------------------------------------


def _flag(name: str) -> str:
    return "--" + name.replace("_", "-")


def add_options(parser: argparse.ArgumentParser | Any, kind: type[_Settings],
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
        else:
            parser.add_argument(_flag(field.name), type=type(default),
                                default=argparse.SUPPRESS, help=text)


def given(args: argparse.Namespace, kind: type[_Settings]) -> dict[str, Any]:
    """The fields of ``kind`` that the command line set."""
    names = {f.name for f in dataclasses.fields(kind)}  # type: ignore[arg-type]
    return {name: value for name, value in vars(args).items() if name in names}


def build[S: _Settings](kind: type[S], args: argparse.Namespace, base: S | None = None) -> S:
    """``base`` (or the defaults) with what the command line set."""
    start: Any = base if base is not None else kind()
    return cast(S, dataclasses.replace(start, **given(args, kind)))


def loop_settings(args: argparse.Namespace, base: LoopSettings | None = None) -> LoopSettings:
    """The loop's settings from the command line, on top of ``base`` or the defaults."""
    base = base or LoopSettings()
    return dataclasses.replace(build(LoopSettings, args, base),
                               model=build(ModelSettings, args, base.model),
                               train=build(TrainSettings, args, base.train))


def differences(saved: Mapping[str, Any], asked: Mapping[str, Any],
                prefix: str = "") -> list[str]:
    """'name: saved -> asked' for every (nested) value that differs."""
    lines = []
    for name in sorted(set(saved) | set(asked)):
        old, new = saved.get(name), asked.get(name)
        if isinstance(old, Mapping) and isinstance(new, Mapping):
            lines += differences(old, new, f"{prefix}{name}.")
        elif old != new:
            lines.append(f"{prefix}{name}: {old!r} -> {new!r}")
    return lines
