"""Speed of the learning loop's parts with the torch network, per board side: self-play through
the harness (network evaluations/s), the look-ahead policy targets (positions valued/s) and
training (samples/s).

    .venv/bin/python bench/learning_bench.py [--sides 10 20] [--games 8] [--sims 32]
        [--search-mode 2] [--precisions float32 bfloat16]

Self-play searches in the loop's mode by default (2, the Gumbel root through tralix_engine).
"""

from __future__ import annotations

import argparse
import tempfile
import time
from pathlib import Path

import torch

from tralix_harness.base.settings import SearchSettings
from tralix_harness.data.records import TrainingGame
from tralix_harness.data.samples import game_samples
from tralix_harness.data.window import Source
from tralix_harness.learning.lookahead import lookahead_targets, torch_value
from tralix_harness.learning.settings import LOOP_SEARCH, LoopControl, Precision, TrainSettings
from tralix_harness.learning.trainer import Trainer
from tralix_harness.local.lifecycle import GameStatus
from tralix_harness.local.options import RunKind, RunOptions
from tralix_harness.local.run import Run
from tralix_harness.networks.settings import ModelSettings


def measure(side: int, games: int, sims: int, mode: int, steps: int, precisions: list[str],
            folder: Path) -> None:
    control = LoopControl()
    torch.set_num_threads(control.train_threads)
    trainer = Trainer(side, ModelSettings(), TrainSettings())
    checkpoint = folder / f"side-{side}.pt"
    trainer.save(checkpoint)
    options = RunOptions(kind=RunKind.SELFPLAY, games=games,
                         settings=SearchSettings(dim=side, rep=1, sims_per_move=sims,
                                                 search_mode=mode),
                         networks=[f"torch:{checkpoint}"], workers=control.workers,
                         threads=control.threads, batch_size=control.server_batch)
    played: list[TrainingGame] = []
    with Run(options) as run:
        for result in run:
            if result.status is GameStatus.FINISHED and result.game is not None:
                played.append(result.game)
        seconds = time.perf_counter() - run.started
        served = run.requests_served()
    print(f"side {side}: self-play {served / seconds:,.0f} network evaluations/s "
          f"({len(played)} games of {sims} simulations per move in search mode {mode}, "
          f"{seconds:.1f} s)")

    trainer.model.eval()
    value = torch_value(trainer.model)
    start = time.perf_counter()
    valued = 0
    samples = []
    for history, records, outcome in played:
        tiles = [tile for _, tile in history]
        targets = lookahead_targets(value, side, tiles, 0.03)
        valued += sum(len(t) for t in targets)
        line = {"history": [list(m) for m in history],
                "records": [[list(e) for e in r] for r in records],
                "outcome": list(outcome), "lookahead": targets}
        samples.append(game_samples(line, side))
    seconds = time.perf_counter() - start
    print(f"side {side}: look-ahead targets {valued / seconds:,.0f} positions valued/s")

    for precision in precisions:
        learner = Trainer(side, ModelSettings(), TrainSettings(precision=Precision(precision)))
        learner.window.add(samples, Source(folder / "games", len(samples)))
        learner.train(5)  # warm-up
        stats = learner.train(steps)
        print(f"side {side}: training {stats.samples_per_second:,.0f} samples/s in {precision} "
              f"({steps} steps of {learner.settings.batch_size}, {control.train_threads} torch "
              f"threads)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sides", type=int, nargs="+", default=[10, 20])
    parser.add_argument("--games", type=int, default=8)
    parser.add_argument("--sims", type=int, default=32)
    parser.add_argument("--search-mode", type=int, default=LOOP_SEARCH.search_mode)
    parser.add_argument("--steps", type=int, default=40)
    parser.add_argument("--precisions", nargs="+", default=["float32", "bfloat16"],
                        choices=[p.value for p in Precision])
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        for side in args.sides:
            measure(side, args.games, args.sims, args.search_mode, args.steps, args.precisions,
                    Path(folder))


if __name__ == "__main__":
    main()
