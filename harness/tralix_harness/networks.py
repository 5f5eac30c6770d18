"""Networks the inference server can run.

A network evaluates a batch of positions at once. It receives the planes as a float32 array of
shape (batch, 5, dim, dim), always planes first whatever layout the games use: plane 0 holds
the tiles of the player to move, planes 1 to 3 those of the next players in turn order, plane
4 the tiles the player to move may choose. It returns policy scores of shape (batch, dim * dim),
one per tile, and value scores of shape (batch, 4), player to move first. Scores are raw
logits: the module applies the softmax.

Built in: "uniform" (all scores zero) and "heuristic" (a cheap hand-written evaluation, the
default); "torch:CHECKPOINT" runs a network trained by ``tralix train`` or ``tralix loop``.
Any other name is "module:factory": the factory is called with the board side and returns an
object with an ``evaluate(planes)`` method.
"""

from __future__ import annotations

import importlib
from typing import Any, Protocol, cast

import numpy as np
import numpy.typing as npt

# What a network is handed, and what it may return for the policy and the value.
PlanesArray = npt.NDArray[np.float32]
Scores = npt.NDArray[Any]


class Network(Protocol):
    def evaluate(self, planes: PlanesArray) -> tuple[Scores, Scores]:
        """(batch, 5, dim, dim) float32 -> policy (batch, dim*dim), value (batch, 4)."""


class UniformNetwork:
    """Every valid tile equally likely, every player equally placed."""

    def __init__(self, dim: int) -> None:
        self.dim = dim

    def evaluate(self, planes: PlanesArray) -> tuple[Scores, Scores]:
        batch = planes.shape[0]
        return (np.zeros((batch, self.dim * self.dim), np.float32),
                np.zeros((batch, 4), np.float32))


def _box_sum(grid: PlanesArray, radius: int) -> PlanesArray:
    """Sum of each (2r+1) x (2r+1) neighbourhood of the last two axes, zero outside."""
    padded = np.pad(grid, [(0, 0)] * (grid.ndim - 2) + [(radius, radius)] * 2)
    summed = padded.cumsum(-1).cumsum(-2)
    summed = np.pad(summed, [(0, 0)] * (grid.ndim - 2) + [(1, 0), (1, 0)])
    size = 2 * radius + 1
    return (summed[..., size:, size:] - summed[..., :-size, size:]
            - summed[..., size:, :-size] + summed[..., :-size, :-size])


class HeuristicNetwork:
    """A cheap evaluation from the planes alone, clearly stronger than uniform play.

    Policy: a valid tile scores for the free space around it (room to grow later), for lying
    towards the centre of the board, and for pressing against the other players' tiles
    (taking space they would need). Value: each player's share of the tiles laid so far.
    """

    def __init__(self, dim: int, openness: float = 0.25, centre: float = 0.6,
                 contact: float = 0.5, value_scale: float = 0.08) -> None:
        self.dim = dim
        self.openness = openness
        self.contact = contact
        self.value_scale = value_scale
        rows, cols = np.indices((dim, dim))
        middle = (dim - 1) / 2
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


def factory_parts(name: str) -> tuple[str, str]:
    """(module, factory) of a "module:factory" network name; ValueError for any other name
    than the built-in ones."""
    module_name, _, factory_name = name.partition(":")
    if not module_name or not factory_name:
        raise ValueError(f"unknown network {name!r}: use uniform, heuristic, torch:CHECKPOINT "
                         "or module:factory")
    return module_name, factory_name


def load_network(name: str, dim: int) -> Network:
    """"uniform", "heuristic", "torch:CHECKPOINT" (a trained network's checkpoint file, see
    the learning package; needs torch), or "package.module:factory" called with the board
    side."""
    if name == "uniform":
        return UniformNetwork(dim)
    if name == "heuristic":
        return HeuristicNetwork(dim)
    if name.startswith("torch:"):
        from .learning.model import load_torch_network

        return load_torch_network(name.removeprefix("torch:"), dim)
    module_name, factory_name = factory_parts(name)
    factory = getattr(importlib.import_module(module_name), factory_name)
    network = factory(dim)
    if not callable(getattr(network, "evaluate", None)):
        raise TypeError(f"{name} returned {type(network).__name__}, which has no evaluate()")
    return cast(Network, network)
