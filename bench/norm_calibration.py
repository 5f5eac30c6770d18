"""How a saved network's batch norms change what it says: the policy and value cross-entropy on
minibatches of its own training window, with the network as saved (running statistics), with
each minibatch's own statistics (as training saw it), and with the statistics measured afresh
from the weights as saved (what saving now does).

    .venv/bin/python bench/norm_calibration.py RUN_DIR/checkpoints/gen-0010.pt --side 10
        [--batches 16] [--seed 1]

A checkpoint saved before the calibration shows the gap; one saved after it shows none.
"""

from __future__ import annotations

import argparse
from pathlib import Path

import numpy as np
import torch

from tralix_harness.learning.losses import batch_losses
from tralix_harness.learning.trainer import Trainer


def losses(trainer: Trainer, batches: int, seed: int, train_mode: bool) -> tuple[float, float]:
    """Mean policy and value cross-entropy over ``batches`` minibatches drawn with ``seed``."""
    rng = np.random.default_rng(seed)
    policy, value = [], []
    trainer.model.train(train_mode)
    with torch.no_grad():
        for _ in range(batches):
            found = batch_losses(trainer.model, trainer.draw(rng))
            policy.append(float(found.policy))
            value.append(float(found.value))
    return float(np.mean(policy)), float(np.mean(value))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("checkpoint", type=Path)
    parser.add_argument("--side", type=int, required=True)
    parser.add_argument("--batches", type=int, default=16)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    torch.set_num_threads(1)
    trainer = Trainer.load(args.checkpoint, args.side)
    rows = [("as saved (running statistics)", losses(trainer, args.batches, args.seed, False)),
            ("each minibatch's own statistics", losses(trainer, args.batches, args.seed, True))]
    trainer.calibrate_norms()
    rows.append(("statistics measured afresh", losses(trainer, args.batches, args.seed, False)))
    print(f"{args.checkpoint}: {args.batches} minibatches of {trainer.settings.batch_size} "
          f"from its window of {trainer.window.games} games")
    print("| batch norms | policy cross-entropy | value cross-entropy |")
    print("| --- | --- | --- |")
    for name, (policy, value) in rows:
        print(f"| {name} | {policy:.3f} | {value:.3f} |")


if __name__ == "__main__":
    main()
