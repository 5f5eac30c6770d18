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
from tralix_harness.networks.model import load_model

PIECES = 21
# The catalogue in order of size: one piece of 1 tile, one of 2, two of 3, five of 4, twelve
# of 5 (89 tiles in all); checked against the board below.
PIECE_TILES = np.array([1, 2, 3, 3] + [4] * 5 + [5] * 12, np.float32)


Row = tuple[int, float, np.ndarray, np.ndarray, bool]


def _count_log_p(rows: list[Row], weights: torch.Tensor, bias: torch.Tensor) -> torch.Tensor:
    x = torch.from_numpy(np.stack([r[2] for r in rows]))
    y = torch.from_numpy(np.stack([r[3] for r in rows]))
    return (y * torch.log_softmax(x @ weights + bias, dim=1)).sum(dim=1).mean()


def fitted(rows: list[Row]) -> tuple[torch.Tensor, torch.Tensor]:
    """The count's weights (per feature) and biases (per seat) that fit ``rows`` best."""
    weights = torch.zeros(3, requires_grad=True)
    bias = torch.zeros(4, requires_grad=True)
    optimiser = torch.optim.LBFGS([weights, bias], max_iter=200, line_search_fn="strong_wolfe")

    def closure() -> torch.Tensor:
        optimiser.zero_grad()
        loss = -_count_log_p(rows, weights, bias)
        loss.backward()
        return loss

    optimiser.step(closure)
    return weights.detach(), bias.detach()


def count_loss(parameters: tuple[torch.Tensor, torch.Tensor], rows: list[Row]) -> float:
    with torch.no_grad():
        return float(-_count_log_p(rows, *parameters))


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
    planes_count = tralix_rules.full_plane_count
    rows: list[Row] = []  # per position: phase, network loss, features (4, 3), outcome,
    #                      whether its game is among those that fit the count
    for number, g in enumerate(games):
        planes = unpack_bits(g.planes, args.side, planes_count)
        globals_ = unpack_globals(g.globals_).astype(np.float32)
        with torch.no_grad():
            _, value = model(torch.from_numpy(planes.astype(np.float32)),
                             torch.from_numpy(globals_))
        log_p = torch.log_softmax(value.float(), dim=1).numpy()
        outcome = g.value
        loss = -(outcome * log_p).sum(axis=1)
        laid = planes[:, :4].reshape(len(planes), 4, -1).sum(axis=2).astype(np.float32)
        # For each seat from the mover's on: a flag per piece still in hand, then one that
        # is set once the seat is out.
        seats = globals_.reshape(-1, 4, PIECES + 1)
        in_hand = seats[:, :, :PIECES] @ PIECE_TILES
        out = seats[:, :, PIECES]
        between_pieces = planes[:, 5].reshape(len(planes), -1).sum(axis=1) == 0
        assert np.allclose((laid + in_hand)[between_pieces], 89.0), "piece sizes out of order"
        features = np.stack([laid / 89.0, in_hand / 89.0, out], axis=2)
        phase = np.minimum((np.arange(len(planes)) * args.phases) // len(planes),
                           args.phases - 1)
        fit = number % 2 == 0
        rows += [(int(phase[i]), float(loss[i]), features[i], outcome[i], fit)
                 for i in range(len(planes))]

    print(f"{len(games)} games, {len(rows)} positions; value loss by the share of the game "
          f"played (ln 4 = {math.log(4):.3f}); the count fitted on every other game, every "
          "column on the others")
    print("| share of the game | positions | network | count | uniform |")
    print("| --- | --- | --- | --- | --- |")
    total = {"network": 0.0, "count": 0.0, "n": 0}
    for phase in range(args.phases):
        held = [r for r in rows if r[0] == phase and not r[4]]
        count = count_loss(fitted([r for r in rows if r[0] == phase and r[4]]), held)
        network = float(np.mean([r[1] for r in held]))
        total["network"] += network * len(held)
        total["count"] += count * len(held)
        total["n"] += len(held)
        low, high = 100 * phase // args.phases, 100 * (phase + 1) // args.phases
        print(f"| {low} to {high} % | {len(held)} | {network:.3f} | {count:.3f} | "
              f"{math.log(4):.3f} |")
    n = total["n"]
    print(f"| all | {n} | {total['network'] / n:.3f} | {total['count'] / n:.3f} | "
          f"{math.log(4):.3f} |")


if __name__ == "__main__":
    main()
