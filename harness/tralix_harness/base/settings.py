"""Settings as dataclasses: the search settings handed to the module as its config object, and
what every settings class of the harness shares: each field with its help text and, for its
command-line option, its name and bounds (``option``); one check when the settings are made,
of every field's bounds and enum, naming the option as the user types it; a nested dict view;
rebuilding from one; the differences between two.

``SearchSettings`` keeps the module's names for its fields (``dim`` for the board side,
``sims_per_move``...): the module reads them by name at the start of every game.
"""

from __future__ import annotations

import dataclasses
import enum
import typing
from collections.abc import Mapping
from typing import Any, Self

MIN_SIDE, MAX_SIDE = 4, 256  # the board sides the rules engine plays
SOUND_SEARCH = 1  # tralix_engine's search mode 1: sound PUCT, the searching seats' search

# The bounds a field's metadata may hold: inclusive (least, most) and exclusive (above, below).
BOUNDS = ("least", "most", "above", "below")


def option(default: Any, help: str, flag: str | None = None, least: float | None = None,
           most: float | None = None, above: float | None = None,
           below: float | None = None) -> Any:
    """A dataclass field with its help text, and for its command-line option: the option's
    name where it is not the field's (``flag``, without dashes) and the bounds of its value,
    checked as the option is parsed and again when the settings are made."""
    metadata: dict[str, Any] = {"help": help}
    for key, value in (("flag", flag), ("least", least), ("most", most), ("above", above),
                       ("below", below)):
        if value is not None:
            metadata[key] = value
    return dataclasses.field(default=default, metadata=metadata)


def out_of_bounds(value: float, least: float | None = None, most: float | None = None,
                  above: float | None = None, below: float | None = None) -> str | None:
    """What is wrong with ``value`` for these bounds ('must be at least 1, not 0'), if
    anything; NaN is outside any bound."""
    if ((least is None or value >= least) and (most is None or value <= most)
            and (above is None or value > above) and (below is None or value < below)):
        return None
    lower: str | None
    upper: str | None
    if least is not None and most is not None:
        lower, upper = f"from {least} to {most}", None
    else:
        lower = (f"at least {least}" if least is not None else
                 f"above {above}" if above is not None else None)
        upper = (f"at most {most}" if most is not None else
                 f"below {below}" if below is not None else None)
    return f"must be {' and '.join(p for p in (lower, upper) if p)}, not {value}"


def flag_name(field: dataclasses.Field[Any]) -> str:
    """How the user names a field: its command-line option ('--side' for ``dim``), or the
    field's own name where it has none."""
    if "help" not in field.metadata:
        return field.name
    return "--" + str(field.metadata.get("flag", field.name)).replace("_", "-")


def _plain(value: Any) -> Any:
    """A value as a settings file or a checkpoint stores it: enums by their value."""
    if isinstance(value, enum.Enum):
        return value.value
    if isinstance(value, dict):
        return {k: _plain(v) for k, v in value.items()}
    return value


_TYPES: dict[type, dict[str, Any]] = {}


def _field_types(kind: type) -> dict[str, Any]:
    """The fields' declared types, resolved (once per class)."""
    if kind not in _TYPES:
        _TYPES[kind] = typing.get_type_hints(kind)
    return _TYPES[kind]


class Settings:
    """Shared behaviour of the settings dataclasses: checked when made, a nested dict view of
    plain values, rebuilding from one."""

    def __post_init__(self) -> None:
        """Every field's enum made from its value and its bounds checked, then what the class
        checks across its fields (``check``); a ValueError naming the option otherwise."""
        types = _field_types(type(self))
        for field in dataclasses.fields(self):  # type: ignore[arg-type]
            if not field.init:
                continue
            value = getattr(self, field.name)
            kind = types.get(field.name)
            if isinstance(kind, type) and issubclass(kind, enum.Enum):
                if not isinstance(value, kind):
                    try:
                        value = kind(value)
                    except ValueError:
                        raise ValueError(
                            f"{flag_name(field)}: must be one of "
                            f"{', '.join(str(k.value) for k in kind)}, not {value!r}") from None
                    object.__setattr__(self, field.name, value)
                continue
            bounds = {key: field.metadata[key] for key in BOUNDS if key in field.metadata}
            problem = out_of_bounds(value, **bounds) if bounds else None
            if problem is not None:
                raise ValueError(f"{flag_name(field)}: {problem}")
        self.check()

    def check(self) -> None:
        """What the class checks across its fields, once each field is checked on its own."""

    @classmethod
    def option_name(cls, name: str) -> str:
        """How the user names the field ``name`` (``flag_name``)."""
        fields = {f.name: f for f in dataclasses.fields(cls)}  # type: ignore[arg-type]
        return flag_name(fields[name])

    def as_dict(self) -> dict[str, Any]:
        values: dict[str, Any] = _plain(dataclasses.asdict(self))  # type: ignore[call-overload]
        return values

    @classmethod
    def from_dict(cls, values: Mapping[str, Any]) -> Self:
        """Rebuilds the settings from ``as_dict``'s output; an unknown name is an error."""
        fields = {f.name for f in dataclasses.fields(cls)}  # type: ignore[arg-type]
        unknown = sorted(set(values) - fields)
        if unknown:
            raise ValueError(f"unknown setting(s): {', '.join(unknown)}")
        types = _field_types(cls)
        built: dict[str, Any] = {}
        for name, value in values.items():
            kind = types.get(name)
            if isinstance(kind, type) and issubclass(kind, Settings):
                value = kind.from_dict(value)
            built[name] = value
        return cls(**built)


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


@dataclasses.dataclass(frozen=True)
class SearchSettings(Settings):
    """Board side, input layout and search constants of one run.

    The module reads these attributes by name at the start of every game: tralix_self_play
    the first eight, tralix_engine also ``search_mode``, the Gumbel root's settings
    (``gumbel_considered``, ``gumbel_min_spread``), the playout value blend (``playout_mix``)
    and, in its training games, the playout cap (``full_search_share``, ``cheap_sims``), the
    Gumbel draws at every move, the forced moves played without a search and the searched
    values recorded (``gumbel_every_move``, ``skip_forced_moves``, ``record_root_values``).
    """

    dim: int = option(20, "board side", flag="side", least=MIN_SIDE, most=MAX_SIDE)
    # 3, the full position, is set for the networks that see it (``RunOptions``), never
    # asked for on the command line.
    rep: int = dataclasses.field(default=1, metadata={
        "help": "request layout of a five-plane network: 1 planes first, 2 values last (a "
                "network of the full position takes 3, its own)",
        "least": 1, "most": 3, "command_most": 2})
    sims_per_move: int = option(64, "simulations per move", flag="sims", least=0)
    sample_moves: int = option(30, "moves (tiles) before this count are sampled by visits",
                               least=0)
    c_base: float = option(19652.0, "exploration base of the search")
    c_init: float = option(1.25, "exploration constant of the search")
    dirichlet_alpha: float = option(0.3, "concentration of the root noise", flag="alpha",
                                    above=0)
    exploration_fraction: float = option(0.25, "weight of the root noise")
    search_mode: int = option(
        0, "search: 0 the self-play module's (each node credited with its own player's "
        "value), 1 sound PUCT (each child credited to the player who laid its tile), 2 Gumbel "
        "root (sequential halving, the improved policy as the record); 1 and 2 play through "
        "tralix_engine", least=0, most=2)
    gumbel_considered: int = option(
        16, "search mode 2: the most root children the Gumbel root considers (with fewer "
        "simulations than this, each considered child is visited at most once)",
        least=1, most=1024)
    gumbel_min_spread: float = option(
        0.0, "search mode 2: the least spread of the root's values that the Gumbel root's value "
        "transform stretches to its full scale (values are win shares; 0: any spread, as "
        "small as it is)", least=0, most=1)
    full_search_share: float = option(
        1.0, "playout cap: the share of moves searched in full, whose records are the policy "
        "targets; the others are searched with --cheap-sims and teach the value alone "
        "(search modes 1 and 2)", least=0, most=1)
    cheap_sims: int = option(
        0, "playout cap: simulations of a cheap search (from 1 to --sims when "
        "--full-search-share is below 1)", least=0)
    playout_mix: float = option(
        0.0, "search modes 1 and 2, in self-play and for searching players (--sims): the "
        "weight of one random playout's outcome blended into each network value the search "
        "sees (0: the network's value alone)", least=0, most=1)
    gumbel_every_move: bool = option(
        False, "search mode 2, training games: Gumbel draws choose the root's considered "
        "children at every move, not only before --sample-moves (the move played after those "
        "is still the survivor compared without its draws)")
    skip_forced_moves: bool = option(
        False, "search modes 1 and 2, training games: a position with one valid tile is played "
        "without a search and teaches the policy nothing")
    record_root_values: bool = option(
        False, "search modes 1 and 2, training games: store with each game the values each "
        "move's search met (root_values: four win shares by seat per move, null for a move "
        "played without a search); the loop always does")

    def check(self) -> None:
        """The playout blend, the playout cap and the training games' flags are
        tralix_engine's: the self-play module's search (mode 0) has none of them; the Gumbel
        draws at every move are mode 2's."""
        mode = self.option_name("search_mode")
        if self.playout_mix and self.search_mode == 0:
            raise ValueError(f"{self.option_name('playout_mix')} needs {mode} 1 or 2")
        for flag in ("skip_forced_moves", "record_root_values"):
            if getattr(self, flag) and self.search_mode == 0:
                raise ValueError(f"{self.option_name(flag)} needs {mode} 1 or 2")
        if self.gumbel_every_move and self.search_mode != 2:
            raise ValueError(f"{self.option_name('gumbel_every_move')} needs {mode} 2")
        if self.full_search_share < 1:
            if self.search_mode == 0:
                share = self.option_name("full_search_share")
                raise ValueError(f"the playout cap ({share} below 1) needs {mode} 1 or 2")
            if not 1 <= self.cheap_sims <= self.sims_per_move:
                raise ValueError(f"{self.option_name('cheap_sims')}: must be from 1 to "
                                 f"{self.option_name('sims_per_move')} ({self.sims_per_move}) when "
                                 f"{self.option_name('full_search_share')} is below 1, not "
                                 f"{self.cheap_sims}")

    @property
    def side(self) -> int:
        """The board side (the module's ``dim``)."""
        return self.dim
