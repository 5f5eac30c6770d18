"""Policy targets from a one-tile look-ahead with the network's value head.

For every decision of a stored game, each valid tile is laid on a copy of the position and the
network values the result; the target is a softmax over the valid tiles of the value that the
player to move would then have, at a low temperature. Finished positions are valued by their
outcome.

Why not the visit shares of the self-play search: the search credits each node with the value
of the player to move there, so the tile that completes a piece is chosen for the next
player's benefit, and with few simulations and root noise the shares mostly echo the priors.
Trained on those shares, a greedy policy plays no better than chance; trained on these
targets it beats random play (figures in bench/README.md).
"""

from __future__ import annotations

import itertools
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from ..networks.inputs import InputKind

# Value probabilities (n, 4), player to move first: value(planes) for float32 planes (n, 5,
# side, side), or for a network of the full position value(planes, globals) with its six
# planes and its global features (n, 88).
ValueFunction = Callable[..., npt.NDArray[Any]]

CHUNK = 1024  # positions valued at once


def lookahead_targets(value: ValueFunction, side: int, tiles: Sequence[int],
                      temperature: float, inputs: InputKind = InputKind.PLANES
                      ) -> list[list[list[float]]]:
    """One target per decision of the game whose tiles are ``tiles``: [[tile, share], ...]
    over the decision's valid tiles, ascending. ``inputs`` is what the value function sees."""
    import tralix_rules

    game = tralix_rules.Game(side)
    children: list[tuple[int, int, Any]] = []  # (tile, mover, position after), decision by
    starts = [0]                               # decision: children[starts[d]:starts[d + 1]]
    for played in tiles:
        mover = game.current_player
        for tile in game.valid_tiles():
            child = game.copy()
            child.apply(tile)
            children.append((tile, mover, child))
        starts.append(len(children))
        game.apply(played)

    worth = np.zeros(len(children))
    live = [i for i, (_, _, child) in enumerate(children) if not child.is_over()]
    for start in range(0, len(live), CHUNK):
        part = live[start:start + CHUNK]
        if inputs is InputKind.FULL:
            positions = [children[i][2].encode_full() for i in part]
            values = value(np.stack([p for p, _ in positions]).astype(np.float32),
                           np.stack([g for _, g in positions]).astype(np.float32))
        else:
            planes = np.stack([children[i][2].encode(1) for i in part]).astype(np.float32)
            values = value(planes)
        for row, i in enumerate(part):
            _, mover, child = children[i]
            worth[i] = values[row, (mover - child.current_player) % 4]
    for i, (_, mover, child) in enumerate(children):
        if child.is_over():
            worth[i] = child.outcome()[mover]

    targets: list[list[list[float]]] = []
    for first, last in itertools.pairwise(starts):
        shares = np.exp((worth[first:last] - worth[first:last].max()) / temperature)
        shares /= shares.sum()
        targets.append([[children[i][0], round(float(s), 6)]
                        for i, s in zip(range(first, last), shares, strict=True)])
    return targets


def torch_value(model: Any) -> ValueFunction:
    """The value function of a network (evaluation mode, no gradients)."""
    import torch

    def value(planes: npt.NDArray[np.float32],
              globals_: npt.NDArray[np.float32] | None = None) -> npt.NDArray[Any]:
        with torch.inference_mode():
            _, logits = model(torch.from_numpy(planes),
                              None if globals_ is None else torch.from_numpy(globals_))
        result: npt.NDArray[Any] = torch.softmax(logits, dim=1).numpy()
        return result

    return value
