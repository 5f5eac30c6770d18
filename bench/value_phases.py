"""Where in the game a network's value head stands: its value loss (against each game's outcome)
by the share of the game played, beside two references on the same positions:

- a uniform guess (ln 4 = 1.386);
- a count: a softmax over each seat's tiles laid, tiles still in hand and whether it is out,
  with weights shared by the seats and a bias for each seat from the mover's on, one set for
  each phase, fitted on every other game and scored on the others (the network is scored
  on those too).

Where the count beats the network, the network does not yet read what the position plainly
shows; where the network beats it, it has learnt more than the tally.

    .venv/bin/python bench/value_phases.py bench/runs/side20-90min/s1/gen-0037.pt \
        data/runs20/s1/games/gen-0036.jsonl.gz data/runs20/s1/games/gen-0037.jsonl.gz \
        --side 20 --phases 10

The games should be recent ones of the network's own run; it was trained on them at most a
few passes over its window, which the table does not correct for.
"""

from __future__ import annotations

import argparse
import math
from pathlib import Path

import numpy as np
import torch

import tralix_rules
from tralix_harness.data.samples import read_data_file, unpack_bits, unpack_globals
from tralix_harness.data.symmetries import HAND_TILES
from tralix_harness.networks.model import load_model
from tralix_harness.viewer.pieces import PIECE_COUNT, base_cells

# The tiles of each catalogue piece, in the order of the global features' hand flags.
PIECE_TILES = np.array([len(base_cells(p)) for p in range(PIECE_COUNT)], np.float32)


def _count_log_p(x: torch.Tensor, y: torch.Tensor, weights: torch.Tensor,
                 bias: torch.Tensor) -> torch.Tensor:
    return (y * torch.log_softmax(x @ weights + bias, dim=1)).sum(dim=1).mean()


def fitted(x: torch.Tensor, y: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
    """The count's weights (per feature) and biases (per seat) that fit features ``x`` (n, 4,
    3) to outcomes ``y`` (n, 4) best."""
    weights = torch.zeros(3, requires_grad=True)
    bias = torch.zeros(4, requires_grad=True)
    optimiser = torch.optim.LBFGS([weights, bias], max_iter=200, line_search_fn="strong_wolfe")

    def closure() -> torch.Tensor:
        optimiser.zero_grad()
        loss = -_count_log_p(x, y, weights, bias)
        loss.backward()
        return loss

    optimiser.step(closure)
    return weights.detach(), bias.detach()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("checkpoint", type=Path)
    parser.add_argument("games", type=Path, nargs="+", help="data files of the network's run")
    parser.add_argument("--side", type=int, default=20)
    parser.add_argument("--phases", type=int, default=5)
    parser.add_argument("--limit", type=int, default=None, help="games read from each file")
    args = parser.parse_args()
    torch.set_num_threads(1)

    games = [g for path in args.games
             for g in read_data_file(path, args.side, args.limit, lookahead=False, full=True).games]
    model, _ = load_model(args.checkpoint, args.side)
    model.eval()
    parts: list[tuple[np.ndarray, ...]] = []
    for number, g in enumerate(games):
        planes = unpack_bits(g.planes, args.side, tralix_rules.full_plane_count)
        globals_ = unpack_globals(g.globals_).astype(np.float32)
        with torch.no_grad():
            _, value = model(torch.from_numpy(planes.astype(np.float32)),
                             torch.from_numpy(globals_))
        log_p = torch.log_softmax(value.float(), dim=1).numpy()
        laid = planes[:, :4].reshape(len(planes), 4, -1).sum(axis=2).astype(np.float32)
        # For each seat from the mover's on: a flag per piece still in hand, then one that
        # is set once the seat is out.
        seats = globals_.reshape(-1, 4, PIECE_COUNT + 1)
        in_hand = seats[:, :, :PIECE_COUNT] @ PIECE_TILES
        between_pieces = planes[:, 5].reshape(len(planes), -1).sum(axis=1) == 0
        assert np.allclose((laid + in_hand)[between_pieces], HAND_TILES), "hands out of order"
        n = len(planes)
        parts.append((np.minimum(np.arange(n) * args.phases // n, args.phases - 1),
                      -(g.value * log_p).sum(axis=1),
                      np.stack([laid / HAND_TILES, in_hand / HAND_TILES,
                                seats[:, :, PIECE_COUNT]], axis=2),
                      g.value, np.full(n, number % 2 == 0)))
    # Per position: its phase, the network's loss, the count's features (4, 3), the outcome,
    # and whether its game is among those that fit the count.
    phase, network_loss, features, outcome, fits = (
        np.concatenate(column) for column in zip(*parts, strict=True))

    print(f"{len(games)} games, {len(phase)} positions; value loss by the share of the game "
          f"played (ln 4 = {math.log(4):.3f}); the count fitted on every other game, every "
          "column on the others")
    print("| share of the game | positions | network | count | uniform |")
    print("| --- | --- | --- | --- | --- |")
    network_sum = count_sum = 0.0
    for k in range(args.phases):
        fit, held = (phase == k) & fits, (phase == k) & ~fits
        x, y = torch.from_numpy(features[held]), torch.from_numpy(outcome[held])
        with torch.no_grad():
            count = float(-_count_log_p(x, y, *fitted(torch.from_numpy(features[fit]),
                                                       torch.from_numpy(outcome[fit]))))
        network = float(network_loss[held].mean())
        network_sum += network * held.sum()
        count_sum += count * held.sum()
        low, high = 100 * k // args.phases, 100 * (k + 1) // args.phases
        print(f"| {low} to {high} % | {held.sum()} | {network:.3f} | {count:.3f} | "
              f"{math.log(4):.3f} |")
    n = int((~fits).sum())
    print(f"| all | {n} | {network_sum / n:.3f} | {count_sum / n:.3f} | {math.log(4):.3f} |")


if __name__ == "__main__":
    main()
