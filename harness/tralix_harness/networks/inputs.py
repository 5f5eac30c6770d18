"""What a network sees of a position: the five planes, or the full position (six planes and a
vector of global features); the request layouts that carry each, and the arrays a network is
handed.

- ``planes``: five planes, planes first (``tralix_rules.feature_count``): the tiles of the
  player to move and of the next players in turn order, then the tiles the player to move may
  choose. Requests carry them in layout (``rep``) 1 or 2, as nested lists of bools.
- ``full``: the five planes, a sixth of the tiles of the piece being laid, and 88 global
  features (``tralix_rules.global_count``), 22 per player from the player to move on in turn
  order: 1 for each of the 21 catalogue pieces still in that player's hand, then 1 once that
  player is retired. Requests carry them in layout 3, as bytes of 0 and 1: the planes (planes
  first), then the features.

A network is five-plane unless it says otherwise by an attribute ``inputs`` of
``InputKind.FULL`` (or ``"full"``).
"""

from __future__ import annotations

import enum
from typing import Any

import numpy as np
import numpy.typing as npt

import tralix_rules

FULL_REP = 3  # the request layout of the full position
FIVE_PLANE_REPS = (1, 2)  # the request layouts of the five planes


class InputKind(enum.StrEnum):
    """What a network sees of a position."""

    PLANES = "planes"  # the five planes
    FULL = "full"      # six planes and the global features

    @property
    def planes(self) -> int:
        """Planes per position."""
        count: int = (tralix_rules.full_plane_count if self is InputKind.FULL
                      else tralix_rules.feature_count)
        return count

    @property
    def globals(self) -> int:
        """Global features per position (none for the five planes)."""
        count: int = tralix_rules.global_count if self is InputKind.FULL else 0
        return count

    @property
    def description(self) -> str:
        """The layout in words, for errors."""
        if self is InputKind.FULL:
            return (f"the full position (layout {FULL_REP}: {self.planes} planes and "
                    f"{self.globals} global features)")
        return f"the five planes (layout 1 or 2: {self.planes} planes, no global features)"

    def rep(self, planes_rep: int = 1) -> int:
        """The request layout of a network of this kind: 3 for the full position, else the
        five planes' ``planes_rep`` (1 or 2)."""
        return FULL_REP if self is InputKind.FULL else planes_rep

    @classmethod
    def of_rep(cls, rep: int) -> InputKind:
        """What requests of layout ``rep`` carry."""
        return InputKind.FULL if rep == FULL_REP else InputKind.PLANES


def network_inputs(network: Any) -> InputKind:
    """What ``network`` (any object with ``evaluate``, or a factory) sees: its ``inputs``
    attribute, the five planes without one. ValueError for an attribute of another value."""
    kind = getattr(network, "inputs", InputKind.PLANES)
    try:
        return InputKind(kind)
    except ValueError:
        raise ValueError(f"{type(network).__name__}.inputs is {kind!r}: use 'planes' or "
                         "'full'") from None


def refusal(name: str, inputs: InputKind) -> str:
    """The one line that refuses a network of ``inputs`` the other layout."""
    other = InputKind.PLANES if inputs is InputKind.FULL else InputKind.FULL
    return f"network {name} takes {inputs.description}, not {other.description}"


def request_bytes(side: int, rep: int) -> int:
    """Bytes of one request's position on the wire, in layout ``rep``."""
    kind = InputKind.of_rep(rep)
    return kind.planes * side * side + kind.globals


def request_arrays(raw: npt.NDArray[np.uint8], side: int, rep: int
                   ) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32] | None]:
    """Requests' positions, uint8 (batch, request_bytes) in layout ``rep`` -> float32 planes
    (batch, planes, side, side), planes first, and for the full position its float32 global
    features (batch, 88) (None for the five planes)."""
    count = len(raw)
    if rep == FULL_REP:
        kind = InputKind.FULL
        cut = kind.planes * side * side
        planes = raw[:, :cut].reshape(count, kind.planes, side, side).astype(np.float32)
        return planes, raw[:, cut:].astype(np.float32)
    features = InputKind.PLANES.planes
    if rep == 1:
        shaped = raw.reshape(count, features, side, side)
    else:
        shaped = raw.reshape(count, side, side, features).transpose(0, 3, 1, 2)
    return shaped.astype(np.float32), None


def check_arrays(name: str, inputs: InputKind, planes: npt.NDArray[Any],
                 globals_: npt.NDArray[Any] | None) -> None:
    """ValueError (``refusal``) unless the arrays are of the layout the network takes."""
    given = InputKind.FULL if globals_ is not None else InputKind.PLANES
    if (given is not inputs or planes.ndim != 4 or planes.shape[1] != inputs.planes
            or (globals_ is not None
                and tuple(globals_.shape) != (planes.shape[0], inputs.globals))):
        raise ValueError(refusal(name, inputs))
