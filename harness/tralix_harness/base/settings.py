"""Settings as frozen dataclasses: the search settings handed to the module as its config
object, and what every settings class of the harness shares (each field with its help text, a
nested dict view, rebuilding from one, the differences between two).

``SearchSettings`` keeps the module's names for its fields (``dim`` for the board side,
``sims_per_move``...): the module reads them by name at the start of every game.
"""

from __future__ import annotations

import dataclasses
import enum
from collections.abc import Mapping
from typing import Any, ClassVar, Self

MIN_SIDE, MAX_SIDE = 4, 256  # the board sides the rules engine plays
SOUND_SEARCH = 1  # tralix_engine's search mode 1: sound PUCT, the searching seats' search


def option(default: Any, help: str, flag: str | None = None, least: int | None = None,
           most: int | None = None) -> Any:
    """A dataclass field with its help text, and for its command-line option: the option's
    name where it is not the field's (``flag``, without dashes) and the bounds of a whole
    number, checked as the option is parsed."""
    metadata: dict[str, Any] = {"help": help}
    for key, value in (("flag", flag), ("least", least), ("most", most)):
        if value is not None:
            metadata[key] = value
    return dataclasses.field(default=default, metadata=metadata)


def _plain(value: Any) -> Any:
    """A value as a settings file or a checkpoint stores it: enums by their value."""
    if isinstance(value, enum.Enum):
        return value.value
    if isinstance(value, dict):
        return {k: _plain(v) for k, v in value.items()}
    return value


class Settings:
    """Shared behaviour: a nested dict view of plain values, rebuilding from one."""

    # The settings classes that may be nested in this one, by the name of the field's type.
    nested: ClassVar[dict[str, type[Settings]]] = {}

    def as_dict(self) -> dict[str, Any]:
        values: dict[str, Any] = _plain(dataclasses.asdict(self))  # type: ignore[call-overload]
        return values

    @classmethod
    def from_dict(cls, values: Mapping[str, Any]) -> Self:
        """Rebuilds the settings from ``as_dict``'s output; an unknown name is an error."""
        fields = {f.name: f for f in dataclasses.fields(cls)}  # type: ignore[arg-type]
        unknown = sorted(set(values) - set(fields))
        if unknown:
            raise ValueError(f"unknown setting(s): {', '.join(unknown)}")
        built: dict[str, Any] = {}
        for name, value in values.items():
            declared = fields[name].type
            kind = cls.nested.get(declared) if isinstance(declared, str) else None
            built[name] = kind.from_dict(value) if kind is not None else value
        return cls(**built)


def positive(**values: float) -> None:
    for name, value in values.items():
        if not value > 0:
            raise ValueError(f"{name.replace('_', ' ')} must be above 0, not {value}")


def not_negative(**values: float) -> None:
    for name, value in values.items():
        if value < 0:
            raise ValueError(f"{name.replace('_', ' ')} must not be negative, not {value}")


def check_side(side: int) -> None:
    if not MIN_SIDE <= side <= MAX_SIDE:
        raise ValueError(f"board side must be from {MIN_SIDE} to {MAX_SIDE}, not {side}")


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
    and, in its training games, the playout cap (``full_search_share``, ``cheap_sims``).
    """

    dim: int = option(20, "board side", flag="side", least=MIN_SIDE, most=MAX_SIDE)
    rep: int = option(1, "input layout: 1 planes first, 2 values last", least=1, most=2)
    sims_per_move: int = option(64, "simulations per move", flag="sims", least=0)
    sample_moves: int = option(30, "moves (tiles) before this count are sampled by visits",
                               least=0)
    c_base: float = option(19652.0, "exploration base of the search")
    c_init: float = option(1.25, "exploration constant of the search")
    dirichlet_alpha: float = option(0.3, "concentration of the root noise", flag="alpha")
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
        "small as it is)")
    full_search_share: float = option(
        1.0, "playout cap: the share of moves searched in full, whose records are the policy "
        "targets; the others are searched with --cheap-sims and teach the value alone "
        "(search modes 1 and 2)")
    cheap_sims: int = option(
        0, "playout cap: simulations of a cheap search (from 1 to --sims when "
        "--full-search-share is below 1)", least=0)
    playout_mix: float = option(
        0.0, "search modes 1 and 2, in self-play and for searching players (--sims): the "
        "weight of one random playout's outcome blended into each network value the search "
        "sees (0: the network's value alone)")

    def __post_init__(self) -> None:
        check_side(self.dim)
        if self.rep not in (1, 2):
            raise ValueError(f"representation must be 1 or 2, not {self.rep}")
        if self.sims_per_move < 0 or self.sample_moves < 0:
            raise ValueError("simulations and sampled moves must not be negative")
        if self.search_mode not in (0, 1, 2):
            raise ValueError(f"search mode must be 0, 1 or 2, not {self.search_mode}")
        if not self.dirichlet_alpha > 0:
            raise ValueError(f"dirichlet alpha must be above 0, not {self.dirichlet_alpha}")
        if not 0 <= self.full_search_share <= 1:
            raise ValueError(f"the full search share must be from 0 to 1, not "
                             f"{self.full_search_share}")
        if not 1 <= self.gumbel_considered <= 1024:
            raise ValueError(f"the considered children must be from 1 to 1024, not "
                             f"{self.gumbel_considered}")
        if not 0 <= self.gumbel_min_spread <= 1:
            raise ValueError(f"the least spread must be from 0 to 1, not "
                             f"{self.gumbel_min_spread}")
        if not 0 <= self.playout_mix <= 1:
            raise ValueError(f"the playout mix must be from 0 to 1, not {self.playout_mix}")
        if self.playout_mix and self.search_mode == 0:
            raise ValueError("the playout mix needs search mode 1 or 2")
        if self.full_search_share < 1:
            if self.search_mode == 0:
                raise ValueError("the playout cap needs search mode 1 or 2")
            if not 1 <= self.cheap_sims <= self.sims_per_move:
                raise ValueError(f"cheap simulations must be from 1 to the simulations per "
                                 f"move ({self.sims_per_move}), not {self.cheap_sims}")

    @property
    def side(self) -> int:
        """The board side (the module's ``dim``)."""
        return self.dim
