"""Self-play as the learning loop plays it (its search settings, two worker processes, the network
in each worker), per backend and games played at once by each worker: network evaluations/s
and games/s, each as a ratio to the first cell, measured in the same run.

    .venv/bin/python bench/selfplay_bench.py [--sides 10 20] [--games 96] \\
        [--cells onnxruntime:8 torch-bfloat16:8 onnxruntime:48 torch-bfloat16:48] \\
        [--checkpoint side=PATH ...] [--repeats 2]

A cell is BACKEND:GAMES_AT_ONCE, or BACKEND:GAMES_AT_ONCE:MIX to play with that playout blend
(--playout-mix) instead of the loop's.

Without a checkpoint for a side, an untrained network of the loop's size plays (the same
arithmetic per evaluation as a trained one; its games run a little longer). The cells of a
round run one after the other, the rounds repeat them in turn, so that a drift of the
machine's speed spreads over all cells.
"""

from __future__ import annotations

import argparse
import dataclasses
import statistics
import tempfile
import time
from pathlib import Path

from tralix_harness.learning.settings import LOOP_SEARCH, LoopControl, TrainSettings
from tralix_harness.learning.trainer import Trainer
from tralix_harness.local.lifecycle import GameStatus
from tralix_harness.local.options import RunKind, RunOptions
from tralix_harness.local.run import Run
from tralix_harness.networks.backend import Backend
from tralix_harness.networks.settings import ModelSettings


@dataclasses.dataclass(frozen=True)
class Cell:
    backend: Backend
    threads: int
    playout_mix: float = LOOP_SEARCH.playout_mix

    @staticmethod
    def parse(text: str) -> Cell:
        backend, threads, *mix = text.split(":")
        return Cell(Backend(backend), int(threads), *(float(m) for m in mix[:1]))

    def __str__(self) -> str:
        return f"{self.backend.value}:{self.threads}:{self.playout_mix:g}"


def play(checkpoint: Path, side: int, games: int, cell: Cell) -> tuple[float, float, int]:
    """(network evaluations/s, games/s, finished games) of one generation's self-play."""
    control = LoopControl()
    options = RunOptions(kind=RunKind.SELFPLAY, games=games,
                         settings=dataclasses.replace(LOOP_SEARCH, dim=side,
                                                      playout_mix=cell.playout_mix),
                         networks=[f"torch:{checkpoint}"], workers=control.workers,
                         threads=cell.threads, batch_size=control.server_batch,
                         torch_threads=control.torch_threads, backend=cell.backend)
    with Run(options) as run:
        finished = sum(r.status is GameStatus.FINISHED for r in run)
        seconds = time.perf_counter() - run.started
        served = run.requests_served()
    return served / seconds, finished / seconds, finished


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sides", type=int, nargs="+", default=[10, 20])
    parser.add_argument("--games", type=int, default=96)
    parser.add_argument("--cells", type=Cell.parse, nargs="+",
                        default=[Cell.parse(c) for c in ("onnxruntime:8", "torch-bfloat16:8",
                                                         "onnxruntime:48",
                                                         "torch-bfloat16:48")])
    parser.add_argument("--checkpoint", action="append", default=[],
                        help="SIDE=PATH: the network that plays on that side")
    parser.add_argument("--repeats", type=int, default=2)
    args = parser.parse_args()
    given = {int(side): Path(path) for side, _, path in
             (text.partition("=") for text in args.checkpoint)}
    with tempfile.TemporaryDirectory() as folder:
        for side in args.sides:
            checkpoint = given.get(side)
            if checkpoint is None:
                checkpoint = Path(folder) / f"side-{side}.pt"
                Trainer(side, ModelSettings(), TrainSettings()).save(checkpoint)
            measured: dict[Cell, list[tuple[float, float]]] = {c: [] for c in args.cells}
            for _ in range(args.repeats):
                for cell in args.cells:
                    evaluations, games, finished = play(checkpoint, side, args.games, cell)
                    if finished != args.games:
                        raise SystemExit(f"{cell}: {finished} of {args.games} games finished")
                    measured[cell].append((evaluations, games))
                    print(f"side {side} {cell}: {evaluations:,.0f} evaluations/s, "
                          f"{games:.2f} games/s", flush=True)
            first = statistics.mean(e for e, _ in measured[args.cells[0]])
            first_games = statistics.mean(g for _, g in measured[args.cells[0]])
            print(f"\nside {side}, {args.games} games per cell, {args.repeats} rounds "
                  f"({checkpoint}):")
            print("| backend:games at once per worker:playout mix | evaluations/s | ratio | "
                  "games/s | ratio |")
            print("| --- | --- | --- | --- | --- |")
            for cell, values in measured.items():
                evaluations = statistics.mean(e for e, _ in values)
                games = statistics.mean(g for _, g in values)
                print(f"| {cell} | {evaluations:,.0f} | {evaluations / first:.2f} | "
                      f"{games:.2f} | {games / first_games:.2f} |")


if __name__ == "__main__":
    main()
