"""The settings handed to the module as its config object."""

from __future__ import annotations

import dataclasses
from typing import Any

MIN_SIDE, MAX_SIDE = 4, 256  # the board sides the rules engine plays


@dataclasses.dataclass(frozen=True)
class SearchSettings:
    """Board side, input layout and search constants of one run.

    The module reads these eight attributes by name at the start of every game.
    """

    dim: int = 20
    rep: int = 1
    sims_per_move: int = 64
    sample_moves: int = 30
    c_base: float = 19652.0
    c_init: float = 1.25
    dirichlet_alpha: float = 0.3
    exploration_fraction: float = 0.25

    def __post_init__(self) -> None:
        if not MIN_SIDE <= self.dim <= MAX_SIDE:
            raise ValueError(f"board side must be from {MIN_SIDE} to {MAX_SIDE}, not {self.dim}")
        if self.rep not in (1, 2):
            raise ValueError(f"representation must be 1 or 2, not {self.rep}")
        if self.sims_per_move < 0 or self.sample_moves < 0:
            raise ValueError("simulations and sampled moves must not be negative")
        if not self.dirichlet_alpha > 0:
            raise ValueError(f"dirichlet alpha must be above 0, not {self.dirichlet_alpha}")

    def as_dict(self) -> dict[str, Any]:
        return dataclasses.asdict(self)
