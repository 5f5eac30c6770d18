"""What a network is, and the two built in.

A network evaluates a batch of positions at once and returns policy scores of shape (batch,
side * side), one per tile, and value scores of shape (batch, 4), player to move first. Scores
are raw logits: the module applies the softmax. It sees a position in one of two forms
(inputs.py), always planes first whatever layout the games' requests use:

- the five planes (``PlanesNetwork``, the default): ``evaluate(planes)`` with planes a float32
  array (batch, 5, side, side) (``tralix_rules.feature_count`` planes): plane 0 holds the tiles
  of the player to move, planes 1 to 3 those of the next players in turn order, plane 4 the
  tiles the player to move may choose;
- the full position (``FullNetwork``, a network whose attribute ``inputs`` is
  ``InputKind.FULL``): ``evaluate(planes, globals)`` with planes (batch, 6, side, side), the
  five and the tiles of the piece being laid, and globals a float32 array (batch, 88), each
  player's pieces in hand and whether it is retired, from the player to move on.

Built in: "uniform" (all scores zero) and "heuristic" (a cheap hand-written evaluation, the
default of the command line), both five-plane networks.
"""

from __future__ import annotations

from typing import Any, Protocol, cast

import numpy as np
import numpy.typing as npt

from .inputs import InputKind, network_inputs

# What a network is handed, and what it may return for the policy and the value.
PlanesArray = npt.NDArray[np.float32]
GlobalsArray = npt.NDArray[np.float32]
Scores = npt.NDArray[Any]


class PlanesNetwork(Protocol):
    def evaluate(self, planes: PlanesArray) -> tuple[Scores, Scores]:
        """(batch, 5, side, side) float32 -> policy (batch, side * side), value (batch, 4)."""


class FullNetwork(Protocol):
    @property
    def inputs(self) -> InputKind:
        """InputKind.FULL."""

    def evaluate(self, planes: PlanesArray, globals_: GlobalsArray) -> tuple[Scores, Scores]:
        """(batch, 6, side, side) and (batch, 88) float32 -> policy (batch, side * side),
        value (batch, 4)."""


Network = PlanesNetwork | FullNetwork


def evaluate(network: Network, planes: PlanesArray, globals_: GlobalsArray | None = None
             ) -> tuple[Scores, Scores]:
    """The network's scores for a batch in its own form: the global features go to a full
    network only (ValueError when it gets none)."""
    if network_inputs(network) is InputKind.FULL:
        if globals_ is None:
            raise ValueError(f"a full-position network ({type(network).__name__}) was handed "
                             "no global features")
        return cast(FullNetwork, network).evaluate(planes, globals_)
    return cast(PlanesNetwork, network).evaluate(planes)


class UniformNetwork:
    """Every valid tile equally likely, every player equally placed."""

    def __init__(self, side: int) -> None:
        self.side = side

    def evaluate(self, planes: PlanesArray) -> tuple[Scores, Scores]:
        batch = planes.shape[0]
        return (np.zeros((batch, self.side * self.side), np.float32),
                np.zeros((batch, 4), np.float32))


def _box_sum(grid: PlanesArray, radius: int) -> PlanesArray:
    """Sum of each (2r+1) x (2r+1) neighbourhood of the last two axes, zero outside."""
    # The running sums of the grid with r zeros around it and one more zero row and column
    # in front. Slicing the grid into zeros rather than padding it is the same sums at a
    # fraction of the cost for the one-position batches of a search.
    size = 2 * radius + 1
    rows, cols = grid.shape[-2:]
    framed = np.zeros(grid.shape[:-2] + (rows + size, cols + size), grid.dtype)
    framed[..., radius + 1:radius + 1 + rows, radius + 1:radius + 1 + cols] = grid
    summed = framed.cumsum(-1).cumsum(-2)
    return (summed[..., size:, size:] - summed[..., :-size, size:]
            - summed[..., size:, :-size] + summed[..., :-size, :-size])


class HeuristicNetwork:
    """A cheap evaluation from the planes alone, clearly stronger than uniform play.

    Policy: a valid tile scores for the free space around it (room to grow later), for lying
    towards the centre of the board, and for pressing against the other players' tiles
    (taking space they would need). Value: each player's share of the tiles laid so far.
    """

    def __init__(self, side: int, openness: float = 0.25, centre: float = 0.6,
                 contact: float = 0.5, value_scale: float = 0.08) -> None:
        self.side = side
        self.openness = openness
        self.contact = contact
        self.value_scale = value_scale
        rows, cols = np.indices((side, side))
        middle = (side - 1) / 2
        distance = np.hypot(rows - middle, cols - middle) / max(middle, 1.0)
        self.centre_bonus = (-centre * distance).astype(np.float32)

    def evaluate(self, planes: PlanesArray) -> tuple[Scores, Scores]:
        occupied = planes[:, :4].sum(axis=1)
        free = 1.0 - occupied
        others = planes[:, 1:4].sum(axis=1)
        score = (self.openness * _box_sum(free, 2) + self.contact * _box_sum(others, 1)
                 + self.centre_bonus)
        policy = score.reshape(planes.shape[0], -1).astype(np.float32)
        counts = planes[:, :4].sum(axis=(2, 3))
        value = (self.value_scale * (counts - counts.mean(axis=1, keepdims=True)))
        return policy, value.astype(np.float32)
